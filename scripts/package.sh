#!/usr/bin/env bash
# Installs what the game needs, builds the game and what its Debian package
# adds (icon, man page, changelog), and writes build/dunebolt_VERSION_ARCH.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh game
command -v dpkg-shlibdeps >/dev/null && command -v file >/dev/null || {
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get install -y -q --no-install-recommends dpkg-dev file
}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target dunebolt gameicons packagedocs
cd build
cpack -G DEB
