#!/usr/bin/env bash
# The bundled voices on every LibriSpeech speaker in ../shared/libri (126 files, about half an
# hour on 2 cores): pitch targets, naturalness (DNSMOS) against Rubber Band R3 and sox, energy
# above the speech band. The figures of models/README.md come from this run.
#
#   scripts/quality-many-speakers.sh [all | tuned | held-out | ci]     (default: all)
#
# Environment: BUILD_DIR (default build), LIBRI_DIR, DNSMOS_DIR (default ../shared/...).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
libri=${LIBRI_DIR:-$root/../shared/libri}
dnsmos=${DNSMOS_DIR:-$root/../shared/dnsmos}
which=${1:-all}

"$root/scripts/install-deps.sh" --demo
(cd "$root" && cmake --preset default -B "$build" >/dev/null)
cmake --build "$build" -j "$(nproc)" --target ondrelix dnsmos default_models
exec /usr/bin/python3 "$root/tests/quality/many_speakers.py" "$build/tools/ondrelix/ondrelix" \
  "$build/tests/dnsmos" "$dnsmos/sig_bak_ovr.onnx" "$build/models" "$libri" \
  "$build/quality-many-$which" "$which"
