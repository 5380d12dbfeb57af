#!/usr/bin/env bash
# Installs, builds and runs every test inside one virtual X display with
# Mesa's software renderer. Network tests use 127.0.0.1 only. Run as root (as
# CI runs it), the tests include the Debian package's: it installs, plays and
# purges the package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
scripts/check-format.sh
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
# The race tests' quadtree cache goes here, not into the caller's home.
XDG_CACHE_HOME="$(mktemp -d)"
export XDG_CACHE_HOME
export DUNEBOLT_SEARCH_ADDRESS=127.0.0.1
export SDL_AUDIODRIVER=dummy
export LIBGL_ALWAYS_SOFTWARE=1
status=0
failed=()
xvfb-run -a -s '-screen 0 1024x768x24' \
  ctest --test-dir build --output-on-failure -j 2 --timeout 600 || { status=1; failed+=("the plain suite"); }
# The same tests again built by clang with the sanitizers, and the fuzzers.
scripts/test-san.sh || { status=1; failed+=("the sanitized build"); }
# The last lines are what a CI log shows first: say what failed there.
if ((status)); then
  echo "failed: ${failed[*]}"
  cat build/Testing/Temporary/LastTestsFailed.log build-san/Testing/Temporary/LastTestsFailed.log 2>/dev/null || true
fi
exit $status
