#!/usr/bin/env bash
# test_package.sh BUILD: builds the Debian package from BUILD, checks it with
# lintian, installs it, starts the installed game as a fresh user under an X
# server of its own, starts a one-lap race alone with the autopilot, finds
# the quadtree cache in that user's cache folder, then purges the package
# and checks that nothing it installed is left and that the game wrote
# nothing outside the user's home. Needs root.
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d)
user=dbtest$$
home=/home/$user
xvfb="" game=""
installed=0

# The game is the launcher's child, the launcher runuser's; the launcher
# removes its runtime folder when the game ends.
# It must end on SIGTERM, as a session's logout sends it.
stop_game() {
  [ -n "$game" ] || return 0
  local launcher pid ended=0
  launcher=$(pgrep -P "$game") || true
  pid=$(pgrep -P "$launcher") || true
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  wait_for 10 eval '! kill -0 "$game" 2>/dev/null' && ended=1
  [ "$ended" = 1 ] || kill -KILL "$pid" 2>/dev/null || true
  wait "$game" || true
  game=""
  [ "$ended" = 1 ] || fail "the game did not end on SIGTERM"
}
cleanup() {
  stop_game
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  id "$user" >/dev/null 2>&1 && userdel -r "$user" 2>/dev/null || true
  rm -rf "$home"
  [ "$installed" = 1 ] && dpkg --purge dunebolt >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  for ((i = 0; i < seconds * 4; i++)); do
    "$@" && return 0
    sleep 0.25
  done
  return 1
}

dpkg-query -W -f='${Status}' dunebolt 2>/dev/null | grep -q installed &&
  fail "dunebolt is installed already: purge it first, this test installs and purges it"

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(echo "$work"/pkg/dunebolt_*.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Depends
lintian --fail-on error "$deb" || fail "lintian reports errors"

dpkg -i "$deb" >/dev/null
installed=1
dpkg -L dunebolt >"$work/files"
test -x /usr/games/dunebolt || fail "no launcher /usr/games/dunebolt"

useradd --create-home --home-dir "$home" --shell /bin/sh "$user"
touch "$work/start"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -ac 3>"$work/display" 2>/dev/null &
xvfb=$!
wait_for 10 test -s "$work/display" || fail "no X server"
export DISPLAY=:$(cat "$work/display")

# As a player starts it: from the menu's PATH, without XDG_RUNTIME_DIR.
(cd / && exec runuser -u "$user" -- env -i HOME="$home" USER="$user" PATH=/usr/games:/usr/bin:/bin \
  DISPLAY="$DISPLAY" CI=1 DUNEBOLT_SEARCH_ADDRESS=127.0.0.1 DUNEBOLT_AUTOPILOT=1 \
  SDL_AUDIODRIVER=dummy LIBGL_ALWAYS_SOFTWARE=1 dunebolt) >"$work/game.log" 2>&1 &
game=$!
window=""
find_window() { window=$(xdotool search --onlyvisible --name '^Dunebolt' 2>/dev/null | head -1) && [ -n "$window" ]; }
wait_for 60 find_window || { cat "$work/game.log"; fail "no start window"; }
xdotool windowfocus --sync "$window"
click() { xdotool mousemove --window "$window" "$1" "$2" click 1 && sleep 0.5; }
# The start page's "Neues Spiel starten", the two names, "Weiter >>".
click 270 304
click 400 202
xdotool type --delay 30 Tom
click 400 232
xdotool type --delay 30 Allein
click 550 389
# In the lobby: three laps down to one, then "Das Spiel starten >>".
sleep 2
click 615 308
click 615 308
click 480 349

cache=$home/.cache/dunebolt/quadtree.dat
wait_for 120 test -s "$cache" || { cat "$work/game.log"; fail "no $cache after the race start"; }
sleep 10
kill -0 "$game" 2>/dev/null || { cat "$work/game.log"; fail "the game ended during the race"; }
import -display "$DISPLAY" -window root "$build/Testing/package-race.png" 2>/dev/null || true
[ "$(wc -l <"$cache")" -gt 1000 ] || fail "$cache is too short"
stop_game
grep -q "XDG_RUNTIME_DIR" "$work/game.log" && { cat "$work/game.log"; fail "Qt warned about XDG_RUNTIME_DIR"; }

echo "written in the player's home:"
(cd "$home" && find . -newer "$work/start" -type f | cut -d/ -f2-3 | sort -u)
outside=$(find / \( -path /proc -o -path /sys -o -path "$home" \) -prune -o -user "$user" -print 2>/dev/null || true)
[ -z "$outside" ] || fail "the game wrote outside the home: $outside"

dpkg --purge dunebolt >/dev/null
installed=0
while read -r path; do
  if [ -e "$path" ] && { [ ! -d "$path" ] || [[ "$path" == *dunebolt* ]]; }; then
    fail "$path is left after the purge"
  fi
done <"$work/files"
echo "installed, played and purged: $(wc -l <"$work/files") paths"
