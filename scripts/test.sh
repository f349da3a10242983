#!/usr/bin/env bash
# Installs what is missing, builds, and runs the test suite.
#
#   scripts/test.sh                 everything CI runs
#   scripts/test.sh -L signal       only the tests with a CTest label (extra arguments go to ctest)
#
# Environment: BUILD_DIR (default build), JOBS (default: number of cores).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
jobs=${JOBS:-$(nproc)}

"$root/scripts/install-deps.sh" --demo  # the quality tests use the sound tools
(cd "$root" && cmake --preset default -B "$build" >/dev/null)
cmake --build "$build" -j "$jobs"
cd "$build"
ctest --output-on-failure -j "$jobs" "$@"
