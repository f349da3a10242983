#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (plus AddressSanitizer and UBSan) and runs each
# for a while, starting from the seed corpora. A crash, leak or sanitizer report fails the run.
#
#   scripts/fuzz.sh [SECONDS]      default 60 seconds per target
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
jobs=${JOBS:-$(nproc)}
build=$root/build-fuzz

"$root/scripts/install-deps.sh" --fuzz
(cd "$root" && cmake --preset fuzz >/dev/null)
targets=(wav_read stream_options embeddings)
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}" fuzz_seeds fixture_models

# Full unwinding on malloc, so that allocations made inside ONNX Runtime (built without frame
# pointers) are attributed to it and its suppression applies.
export ASAN_OPTIONS="detect_leaks=1 fast_unwind_on_malloc=0"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
for t in "${targets[@]}"; do
  corpus=$build/fuzz-corpus/$t
  mkdir -p "$corpus"
  cp -n "$build/fuzz-seeds/$t"/* "$corpus/" 2>/dev/null || true
  echo "fuzz: $t for ${seconds}s"
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
    -artifact_prefix="$build/fuzz-$t-" "$corpus" 2>"$build/fuzz-$t.log" || {
    tail -n 40 "$build/fuzz-$t.log"
    echo "fuzz: $t FAILED (input saved beside $build/fuzz-$t.log)" >&2
    exit 1
  }
  grep -E '^(Done|#[0-9]+ *DONE)' "$build/fuzz-$t.log" | tail -n 1 | sed "s/^/fuzz: $t: /"
done
