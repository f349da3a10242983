#!/usr/bin/env bash
# Batches of files as corpora come: a list of inputs, FLAC and Ogg in, FLAC out, a batch that is
# run again and converts only what is missing, a log line per file, and the GNU parallel recipe
# of README.md on the local machine.
#   test_batch.sh ONDRELIX FIXTURE_DIR CORPUS_DIR
set -u
cli=$1 fixtures=$2 corpus=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ONDRELIX_MODELS=$fixtures/models
. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
corpus=$(corpus_or_tones "$corpus")

samples() { sox "$1" -t raw -e signed -b 16 - 2>/dev/null | sha256sum; }
count() { grep -c "\"status\":\"$1\"" "$2"; }

# The corpus as FLAC (16 and 24 bit) and Ogg Vorbis, and a file no decoder knows.
mkdir "$work/in" "$work/out"
sox "$corpus/spk1_a.wav" "$work/in/a.flac"
sox "$corpus/spk1_b.wav" -b 24 "$work/in/b.flac"
sox "$corpus/spk2_a.wav" "$work/in/c.ogg"
cp "$corpus/spk2_b.wav" "$work/in/d.wav"
sox "$corpus/spk3_a.wav" "$work/in/e.flac"
echo "not audio" >"$work/in/broken.flac"

# 16-bit FLAC in is the WAV it was made from; FLAC out holds the WAV output's samples.
check flac-in 0 "$cli" convert "$work/in/a.flac" "$work/from_flac.wav" --voice deep
expect flac-in-report grep -q "\"in_path\":\"$work/in/a.flac\"" "$work/stdout"
check wav-in 0 "$cli" convert "$corpus/spk1_a.wav" "$work/from_wav.wav" --voice deep
expect flac-in-same-output cmp -s "$work/from_flac.wav" "$work/from_wav.wav"
check flac-out 0 "$cli" convert "$corpus/spk1_a.wav" "$work/out.flac" --voice deep --out-format flac
expect flac-out-report grep -q "\"out_path\":\"$work/out.flac\"" "$work/stdout"
expect flac-out-is-flac test "$(soxi -t "$work/out.flac")" = flac
expect flac-out-same-samples test "$(samples "$work/out.flac")" = "$(samples "$work/from_wav.wav")"
check clone-from-flac 0 "$cli" convert "$corpus/spk2_a.wav" "$work/cloned.wav" --clone "$work/in/e.flac"
check bad-format 2 "$cli" convert "$work/in/a.flac" "$work/x.wav" --out-format mp3
check list-without-out-dir 2 "$cli" convert "$work/in/a.flac" "$work/x.wav" --list "$work/list"
check same-output-twice 2 "$cli" convert "$work/in/a.flac" "$corpus/spk1_a.wav" "$work/in/a.wav" --out-dir "$work/out"
expect same-output-named grep -q "would both be written to $work/out/a.wav" "$work/stderr"
check missing-list 2 "$cli" convert --list "$work/no-such-list" --out-dir "$work/out"

# A list with a blank line and CR LF endings; the file no decoder knows fails with libsndfile's
# message and the others go on.
printf '%s\n' "$work/in/a.flac" "$work/in/b.flac" "" "$work/in/c.ogg" >"$work/list"
printf '%s\r\n' "$work/in/broken.flac" "$work/in/d.wav" >>"$work/list"
check list 1 "$cli" convert --list "$work/list" "$work/in/e.flac" --out-dir "$work/out" --voice deep --log "$work/log"
expect list-failure-named grep -q "cannot convert $work/in/broken.flac: Format not recognised" "$work/stderr"
expect list-outputs test "$(cd "$work/out" && ls | tr '\n' ' ')" = "a.wav b.wav c.wav d.wav e.wav "
expect list-log test "$(count ok "$work/log") $(count failed "$work/log")" = "5 1"
expect no-private-files-left test -z "$(find "${TMPDIR:-/tmp}" -maxdepth 1 -name 'ondrelix-??????' -newer "$work/list" 2>/dev/null)"

# Run again with one output gone: only that one is converted, the rest are reported as skipped
# and left untouched.
cp -p "$work/out/c.wav" "$work/c_first.wav"
rm "$work/out/c.wav"
touch -d '2001-01-01' "$work/out/a.wav"
check rerun 1 "$cli" convert --list - --out-dir "$work/out" --voice deep --skip-existing --jobs 2 --log "$work/log2" <"$work/list"
expect rerun-counts test "$(count ok "$work/log2") $(count skipped "$work/log2") $(count failed "$work/log2")" = "1 3 1"
expect rerun-skip-report grep -q "{\"status\":\"skipped\",\"in_path\":\"$work/in/a.flac\",\"out_path\":\"$work/out/a.wav\",\"reason\":\"the output exists\"}" "$work/stdout"
expect rerun-same-file cmp -s "$work/out/c.wav" "$work/c_first.wav"
expect rerun-skipped-untouched test "$(date -r "$work/out/a.wav" +%Y)" = 2001

# FLAC out from worker processes.
check flac-out-no-folder 1 "$cli" convert "$work/in/a.flac" "$work/no/such/a.flac" --out-format flac
expect flac-out-no-folder-said grep -q "Failed to create output FLAC file: $work/no/such/a.flac" "$work/stderr"
mkdir "$work/flac"
check flac-out-jobs 0 "$cli" convert "$work/in/a.flac" "$work/in/d.wav" --out-dir "$work/flac" --out-format flac --voice deep --jobs 2
expect flac-out-jobs-files test "$(samples "$work/flac/a.flac")" = "$(samples "$work/from_wav.wav")"

# README.md's recipe for machines without Slurm, on this machine (-S :).
if command -v parallel >/dev/null; then
  grep -v broken "$work/list" | tr -d '\r' | grep . >"$work/corpus.list"
  mkdir "$work/parallel"
  (cd "$work" && PATH=$(dirname "$cli"):$PATH parallel --will-cite -S : --xargs ondrelix convert --out-dir parallel --voice deep --jobs 2 --skip-existing {} <corpus.list) >"$work/stdout" 2>"$work/stderr"
  same_as_batch() { for f in "$work"/parallel/*; do cmp -s "$f" "$work/out/$(basename "$f")" || return 1; done; }
  expect parallel-files test "$(ls "$work/parallel" | wc -l)" -eq 4
  expect parallel-same-outputs same_as_batch
else
  echo "GNU parallel is not installed (scripts/install-deps.sh installs it): its recipe is not checked"
fi

finish
