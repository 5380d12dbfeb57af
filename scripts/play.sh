#!/usr/bin/env bash
# Installs, builds and starts the game. Without a display it starts a virtual one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
if [ -n "${DISPLAY:-}" ]; then
  exec build/bin/dunebolt
else
  exec xvfb-run -a -s '-screen 0 1024x768x24' build/bin/dunebolt
fi
