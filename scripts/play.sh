#!/usr/bin/env bash
# Installs what the game needs, builds the game alone (the program, its two
# music modules and its data; no tests, no benchmarks) and starts it. Without
# a display it starts a virtual one.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Checking the Debian packages the game needs..."
scripts/install-deps.sh game
echo "Configuring the build in build/..."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "Building the game, its music modules and its data..."
# The program's target depends on its modules and its data.
cmake --build build -j "$(nproc)" --target dunebolt
# Qt warns when XDG_RUNTIME_DIR is not set (root, a bare shell): this run
# gets a private one, removed when the game ends.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
  trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi
echo "Starting Dunebolt."
if [ -n "${DISPLAY:-}" ]; then
  build/bin/dunebolt
else
  xvfb-run -a -s '-screen 0 1024x768x24' build/bin/dunebolt
fi
