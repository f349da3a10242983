#!/usr/bin/env bash
# The ondrelix command as a user runs it: exit codes, outputs, and the stream pipe.
#   test_cli.sh ONDRELIX FIXTURE_DIR CORPUS_DIR
set -u
cli=$1 fixtures=$2 corpus=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ONDRELIX_MODELS=$fixtures/models

. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
corpus=$(corpus_or_tones "$corpus")

# Usage errors exit 2, failures 1.
check no-command 2 "$cli"
check unknown-command 2 "$cli" frobnicate
check unknown-option 2 "$cli" convert a.wav b.wav --colour red
check missing-value 2 "$cli" convert a.wav b.wav --voice
check one-file 2 "$cli" convert a.wav
check unknown-voice 2 "$cli" convert "$corpus/spk1_a.wav" "$work/x.wav" --voice femal
check custom-without-clone 2 "$cli" convert "$corpus/spk1_a.wav" "$work/x.wav" --voice custom
check bad-mode 2 "$cli" stream --mode fast
check bad-latency 2 "$cli" stream --latency-ms 5
check input-without-output 2 "$cli" stream --input "$work/in.wav"
check fast-without-input 2 "$cli" stream --fast
check bad-rate 2 "$cli" stream --rate 100
check bad-channels 2 "$cli" stream --channels 0
check channels-with-input 2 "$cli" stream --input "$work/in.wav" --output "$work/o.wav" --channels 2
check blocks-with-dsp 2 "$cli" stream --mode dsp --blocks
check gate-with-blocks 2 "$cli" stream --blocks --gate-db -50
check bad-gate 2 "$cli" stream --gate-db 6
check bad-max-delay 2 "$cli" stream --max-delay-ms 10
check bad-jobs 2 "$cli" convert a.wav b.wav --out-dir "$work" --jobs 0
check jobs-without-out-dir 2 "$cli" convert a.wav b.wav --jobs 2
for sub in voices convert stream; do
  check "help-$sub" 0 "$cli" "$sub" --help
  expect "help-$sub-defaults" grep -q "default" "$work/stdout"
done

check version 0 "$cli" version
expect version-text grep -qx "1.1.0" "$work/stdout"
check voices 0 "$cli" voices
expect voices-report grep -q '"voices":\["female","deep","robot"\]' "$work/stdout"
check voices-bad-models 1 "$cli" voices --models "$work/none"
expect voices-bad-models-message grep -q "CreateSession" "$work/stderr"

# Conversion of recorded speech, one file and several.
check convert 0 "$cli" convert "$corpus/spk2_a.wav" "$work/deep.wav" --voice deep
expect convert-report grep -q '^{"status":"ok","voice":"deep"' "$work/stdout"
expect convert-output test -s "$work/deep.wav"
check convert-missing-input 1 "$cli" convert "$work/missing.wav" "$work/never.wav"
expect convert-missing-input-message grep -q "Failed to open input file" "$work/stderr"
expect convert-nothing-left test ! -e "$work/never.wav"
mkdir "$work/out"
check convert-many 0 "$cli" convert "$corpus/spk1_a.wav" "$corpus/spk1_b.wav" "$corpus/spk3_a.wav" \
  --out-dir "$work/out" --clone "$corpus/spk2_b.wav"
expect convert-many-lines test "$(grep -c '"voice":"custom"' "$work/stdout")" -eq 3
expect convert-many-files test -s "$work/out/spk3_a.wav"
# A failed conversion leaves an existing output file as it was.
echo keep > "$work/keep.wav"
check convert-fails-keeps 1 "$cli" convert "$corpus/spk1_a.wav" "$work/keep.wav" --models "$fixtures/reject_converter"
expect convert-fails-keeps-content grep -qx keep "$work/keep.wav"

# The stream in a pipe: a pass-through voice gives back exactly its input.
sox "$corpus/spk2_b.wav" -t raw -e signed -b 16 -c 1 -r 16000 "$work/in.raw" 2>/dev/null ||
  python3 -c "import sys,wave; sys.stdout.buffer.write(wave.open('$corpus/spk2_b.wav').readframes(10**7))" > "$work/in.raw"
check stream-pipe 0 sh -c "cat '$work/in.raw' | '$cli' stream --voice pass --mode dsp > '$work/out.raw'"
expect stream-pipe-identical cmp -s "$work/in.raw" "$work/out.raw"
expect stream-pipe-report grep -q '"total_in_frames":' "$work/stderr"
check stream-file 0 "$cli" stream --voice deep --input "$corpus/spk2_b.wav" --output "$work/s.wav" --fast
expect stream-file-output test -s "$work/s.wav"

expect stream-file-delay grep -q '"delay_ms":' "$work/stderr"
# Neural streams are continuous by default: as long as their input, with the continuous report.
expect stream-file-continuous grep -q '"continuous":true' "$work/stderr"
expect stream-file-length test "$(soxi -s "$work/s.wav")" = "$(soxi -s "$corpus/spk2_b.wav")"
check stream-blocks 0 "$cli" stream --voice deep --blocks --input "$corpus/spk2_b.wav" --output "$work/b.wav" --fast
expect stream-blocks-report sh -c "! grep -q '\"continuous\"' '$work/stderr'"

# At the host's rate: a 48 kHz stereo pipe through a DSP pass-through stream comes back at 48 kHz,
# as long as it went in, and equal to it within the resamplers' error.
sox "$corpus/spk2_b.wav" -r 48000 -c 2 -t raw -e signed -b 16 "$work/in48.raw" 2>/dev/null
check stream-48k 0 sh -c "'$cli' stream --voice pass --mode dsp --rate 48000 --channels 2 < '$work/in48.raw' > '$work/out48.raw'"
close_to_input() {  # close_to_input IN.raw OUT.raw: same length, error 30 dB below the signal
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
import numpy as np
a = np.fromfile(sys.argv[1], dtype="<i2").astype(float)
b = np.fromfile(sys.argv[2], dtype="<i2").astype(float)
error_db = 20 * np.log10(np.sqrt(np.mean((a - b[:len(a)]) ** 2)) / np.sqrt(np.mean(a ** 2)))
sys.exit(0 if len(a) == len(b) and error_db < -30 else 1)
PY
}
expect stream-48k-length-and-error close_to_input "$work/in48.raw" "$work/out48.raw"
expect stream-48k-delay grep -q '"rate":48000,"channels":2' "$work/stderr"
# A WAV file at any rate and channel count; the output at its rate, or at --rate.
sox "$corpus/spk2_b.wav" -r 44100 -c 4 -b 24 "$work/in44_4ch.wav" 2>/dev/null
check stream-wav-44k 0 "$cli" stream --voice pass --mode dsp --input "$work/in44_4ch.wav" --output "$work/out44.wav" --fast
expect stream-wav-44k-rate test "$(soxi -r "$work/out44.wav")" = 44100
expect stream-wav-44k-length test "$(soxi -s "$work/out44.wav")" = "$(soxi -s "$work/in44_4ch.wav")"
check stream-wav-rate 0 "$cli" stream --voice pass --mode dsp --input "$work/in44_4ch.wav" --output "$work/out8.wav" --rate 8000 --fast
expect stream-wav-rate-8k test "$(soxi -r "$work/out8.wav")" = 8000

# A batch over two worker processes gives the files one process gives, and names each failure.
mkdir "$work/j1" "$work/j2"
batch=("$corpus/spk1_a.wav" "$corpus/spk1_b.wav" "$corpus/spk2_a.wav" "$corpus/spk2_b.wav" "$corpus/spk3_a.wav")
check jobs-1 0 "$cli" convert "${batch[@]}" --out-dir "$work/j1" --voice robot
check jobs-2 0 "$cli" convert "${batch[@]}" --out-dir "$work/j2" --voice robot --jobs 2
expect jobs-2-reports test "$(grep -c '"status":"ok"' "$work/stdout")" -eq 5
same_outputs() { for f in "$work"/j1/*.wav; do cmp -s "$f" "$work/j2/$(basename "$f")" || return 1; done; }
expect jobs-2-same-files same_outputs
check jobs-2-failure 1 "$cli" convert "$corpus/spk1_a.wav" "$work/missing.wav" "$corpus/spk2_a.wav" --out-dir "$work/j2" --jobs 2
expect jobs-2-failure-named grep -q "cannot convert $work/missing.wav" "$work/stderr"
expect jobs-2-failure-others test "$(grep -c '"status":"ok"' "$work/stdout")" -eq 2

finish
