#!/usr/bin/env bash
# Windows x64 from Linux: installs what is missing (mingw-w64, wine, the Windows builds of the
# dependencies), builds the library, the command, the default models and the tests with the
# `windows` preset, lays out the Windows package, and runs every test that can run there under
# wine (unit, fixture, stream, soak, the default models, the command's tests through a wine
# wrapper, and the package itself).
#
#   scripts/test-windows.sh                 everything
#   scripts/test-windows.sh -L signal       only some tests (extra arguments go to ctest)
#
# Environment: JOBS (default: number of cores), WINEPREFIX (default: build-windows/wine).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-windows
jobs=${JOBS:-$(nproc)}

"$root/scripts/install-deps.sh" --windows

# One wine server for the build (the test lists are read by running the test programs) and the
# whole test run, started and warmed up first: otherwise the first program starts it and holds
# its pipe until the run times out.
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$build/wine}
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit >/dev/null 2>&1 || true

(cd "$root" && cmake --preset windows >/dev/null)
cmake --build "$build" -j "$jobs"

# The package a Windows host uses as it is: bin/ (the DLL, onnxruntime.dll, ondrelix.exe),
# lib/ (the import library), include/ and share/quorvane-ondrelix/models.
package=$build/package
rm -rf "$package"
cmake --install "$build" --prefix "$package" >/dev/null
echo "package: $(cd "$package" && find bin lib include share -maxdepth 1 -mindepth 1 | sort | tr '\n' ' ')"

# A test that fails is run once more. On a loaded machine wine now and then fails to start a
# program (it exits within a fraction of a second having printed nothing, not even the test
# framework's banner); our tests are deterministic, so a fault of the code fails both times, and
# ctest still prints the first failure's output.
cd "$build"
ctest --output-on-failure -j "$jobs" --repeat until-pass:2 "$@"
