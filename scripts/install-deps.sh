#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Dunebolt
# needs; with the argument "game", only what building and running the game
# needs. Idempotent: when everything is there it only checks and returns.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config zlib1g-dev
  # window and graphics
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev libegl-dev libglx-dev libx11-dev
  libgl1-mesa-dri libglx-mesa0 mesa-utils
  # fonts: Verdana is not free; DejaVu Sans is the close sans-serif fallback
  fonts-dejavu-core fontconfig
  # network, music
  libenet-dev libmpg123-dev libsdl2-dev lame libmp3lame-dev
  # a virtual display where there is none
  xvfb xauth
)
if [ "${1:-}" != game ]; then
  packages+=(
    # tests and tools
    xdotool imagemagick x11-utils
    libgtest-dev libgmock-dev libbenchmark-dev
    clang llvm libclang-rt-14-dev valgrind clang-format
    # the Debian package and its test
    dpkg-dev file lintian passwd procps
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
