#!/usr/bin/env bash
# Builds the library and tests with a sanitizer and runs the tests; any report fails the run.
#
#   scripts/sanitize.sh thread [ctest args]     ThreadSanitizer (default: stream, continuous and
#                                               soak tests)
#   scripts/sanitize.sh address [ctest args]    AddressSanitizer + UndefinedBehaviorSanitizer
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=${1:?usage: scripts/sanitize.sh thread|address [ctest args]}
shift
jobs=${JOBS:-$(nproc)}

case $kind in
  thread)
    preset=tsan
    # PipeWire cannot load a plugin built with ThreadSanitizer.
    targets=(test_stream test_continuous test_soak test_lv2_rt ondrelix_lv2)
    [ $# -gt 0 ] || set -- -L "stream|continuous|soak|lv2" -E "lv2_tools|pipewire"
    export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$root/tests/sanitizers/tsan.supp"
    ;;
  address)
    preset=asan
    targets=(all)
    # Python, lv2apply and PipeWire cannot load a library built with AddressSanitizer (its
    # runtime must come first). The quality runs measure the models, not the code's memory, and
    # would take a quarter of an hour more. The Slurm run tests the batch scripts around the
    # command, whose own batch code the cli tests run here.
    [ $# -gt 0 ] || set -- -LE "python|quality|slurm" -E "lv2_tools|pipewire"
    export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1"
    export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"
    ;;
  *) echo "sanitize: unknown kind '$kind' (thread or address)" >&2; exit 2 ;;
esac

build=$root/build-$kind
"$root/scripts/install-deps.sh"
(cd "$root" && cmake --preset "$preset" >/dev/null)
cmake --build "$build" -j "$jobs" --target "${targets[@]}" fixture_models
cd "$build"
ctest --output-on-failure -j "$jobs" "$@"
