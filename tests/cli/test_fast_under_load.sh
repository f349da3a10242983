#!/usr/bin/env bash
# `ondrelix stream --input F --fast` on a busy machine: a minute of speech through the default
# models while other processes keep every core busy comes back whole, not one sample dropped.
#   test_fast_under_load.sh ONDRELIX MODELS_DIR CORPUS_DIR
set -u
cli=$1 models=$2 corpus=$3
work=$(mktemp -d)
busy=()
cleanup() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

if [ -f "$corpus/spk2_a.wav" ]; then
  sox "$corpus"/spk*_[abc].wav -c 1 "$work/speech.wav" 2>/dev/null ||
    sox "$corpus/spk1_a.wav" "$corpus/spk2_a.wav" "$work/speech.wav"
else
  sox -n -r 16000 -c 1 -b 16 "$work/speech.wav" synth 10 sawtooth 140 vol 0.3
fi
sox "$work/speech.wav" "$work/minute.wav" repeat 30 trim 0 60

for _ in $(seq "$(nproc)"); do
  (while :; do :; done) &
  busy+=($!)
done
"$cli" stream --voice deep --input "$work/minute.wav" --output "$work/out.wav" --fast \
  --models "$models" 2>"$work/stderr" || { cat "$work/stderr"; exit 1; }

in_len=$(soxi -s "$work/minute.wav")
out_len=$(soxi -s "$work/out.wav")
report=$(grep '"total_in_frames"' "$work/stderr")
echo "$report"
status=0
echo "$report" | grep -q '"dropped_frames":0,' || { echo "FAIL: samples were dropped"; status=1; }
[ "$in_len" = "$out_len" ] || { echo "FAIL: $out_len samples out for $in_len in"; status=1; }
exit $status
