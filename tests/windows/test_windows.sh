#!/usr/bin/env bash
# The Windows package under wine, as a Windows user would use it: a file whose name and folder
# hold non-ASCII characters converted with the installed models, a --jobs 2 batch, and a DSP
# stream that gives the same bytes as on Linux.
#   test_windows.sh PACKAGE_DIR CORPUS_DIR
set -u
package=$1 corpus=$2
exe=$package/bin/ondrelix.exe
[ -f "$exe" ] || { echo "SKIP: no package at $package (scripts/test-windows.sh lays it out)"; exit 77; }
[ -f "$corpus/spk1_a.wav" ] || { echo "SKIP: no speech corpus at $corpus"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL $*"; failed=1; }

# A name and a folder beyond ASCII: the library opens them by their UTF-8 text as wide paths.
dir="$work/dossier été"
mkdir -p "$dir"
cp "$corpus/spk2_a.wav" "$dir/voix é.wav"
wine "$exe" convert "$dir/voix é.wav" "$dir/sortie è.wav" --voice deep >"$work/report" 2>"$work/err" ||
  fail "convert with non-ASCII paths: $(cat "$work/err")"
[ -s "$dir/sortie è.wav" ] || fail "no output at a non-ASCII path"
grep -q '"status":"ok"' "$work/report" || fail "no conversion report"
# What the command prints ends its lines with LF alone.
if grep -q $'\r' "$work/report"; then fail "CR in the report's line end"; fi

# Two worker processes of the command (CreateProcessW and pipes).
mkdir -p "$work/out"
wine "$exe" convert "$corpus/spk1_a.wav" "$corpus/spk2_b.wav" "$corpus/spk3_a.wav" \
  --out-dir "$work/out" --voice female --jobs 2 >"$work/batch" 2>"$work/err" ||
  fail "batch of --jobs 2: $(cat "$work/err")"
[ "$(grep -c '"status":"ok"' "$work/batch")" = 3 ] || fail "the batch did not report 3 conversions"
[ "$(ls "$work/out" | wc -l)" = 3 ] || fail "the batch did not write 3 files"

# The DSP stream is the same bytes as on Linux (its effect is pinned by this digest there too).
sox "$corpus/spk1_a.wav" -t raw -r 16000 -c 1 -b 16 -e signed "$work/in.raw"
digest=$(wine "$exe" stream --mode dsp --voice female <"$work/in.raw" 2>/dev/null | sha256sum | cut -d' ' -f1)
[ "$digest" = da2dfe8249e4f45145afa320e9e9e753a7ca654bd895ab0850b27df7cea79a55 ] ||
  fail "DSP stream bytes differ from Linux's ($digest)"

[ $failed -eq 0 ] && echo "all checks passed"
exit $failed
