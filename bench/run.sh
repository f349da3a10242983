#!/usr/bin/env bash
# Runs every benchmark and prints the figures of bench/README.md: the signal units, the peers
# (with ours / peer ratios from the same run) and the end-to-end figures with the default models.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
corpus=${CORPUS_DIR:-$root/../shared/corpus}
libri=${LIBRI_DIR:-$root/../shared/libri}

"$root/scripts/install-deps.sh" --demo --bench  # --demo brings rubberband-cli
(cd "$root" && cmake --preset default -B "$build" >/dev/null)
cmake --build "$build" -j "$(nproc)" --target bench_signal bench_peers bench_end_to_end bench_continuous bench_lv2 default_models ondrelix

inputs=$build/bench-inputs
mkdir -p "$inputs"
# A minute of speech at 44.1 kHz: the corpus, end to end, repeated.
if [ ! -f "$inputs/speech60s_44k.wav" ]; then
  # Each file down-mixed first: sox joins files only when their channel counts agree.
  parts=()
  for f in "$corpus"/*.wav; do
    parts+=("$inputs/part_$(basename "$f")")
    sox "$f" -c 1 -r 44100 "${parts[-1]}"
  done
  sox "${parts[@]}" "$inputs/corpus_44k.wav"
  sox "$inputs/corpus_44k.wav" "$inputs/speech60s_44k.wav" repeat 4 trim 0 60
fi

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "== signal units"
"$build/bench/bench_signal" --benchmark_min_time=0.5 2>/dev/null | grep -E '^BM_'
echo "== peers (ours / peer: time ratio; error of each against the exact sweep)"
"$build/bench/bench_peers" --benchmark_min_time=0.5 --benchmark_format=json 2>/dev/null > "$inputs/peers.json"
/usr/bin/python3 - "$inputs/peers.json" <<'PY'
import json, sys
rows = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
def pair(ours, peer, what):
    a, b = rows[ours], rows[peer]
    extra = ""
    if "error_dB" in a:
        extra = f"  error {a['error_dB']:.1f} dB vs {b['error_dB']:.1f} dB"
    print(f"{what:34s} ours {a['real_time']:9.3f} {a['time_unit']}  peer {b['real_time']:9.3f} {b['time_unit']}"
          f"  ratio {a['real_time'] / b['real_time']:6.2f}{extra}")
for i, label in enumerate(["16000->22050", "22050->16000", "44100->22050"]):
    pair(f"BM_Resample_Ours/{i}", f"BM_Resample_Soxr/{i}", f"resampler {label} vs soxr HQ")
pair("BM_Spectrogram_Ours", "BM_Spectrogram_Fftw", "spectrogram 10 s vs FFTW")
pair("BM_DspEffect_Ours/0", "BM_DspEffect_SoxPitch/0", "female block 320 vs sox pitch")
pair("BM_DspEffect_Ours/1", "BM_DspEffect_SoxPitch/1", "deep block 320 vs sox pitch")
PY
echo "== batch conversion: 20 corpus files, --jobs 2 against --jobs 1 in the same run"
batch_in=$inputs/batch
mkdir -p "$batch_in" "$inputs/batch_out1" "$inputs/batch_out2"
files=("$corpus"/spk*.wav)
for i in $(seq 1 20); do cp "${files[$(( i % ${#files[@]} ))]}" "$batch_in/f$i.wav"; done
ondrelix=$build/tools/ondrelix/ondrelix
t1=$( { /usr/bin/time -f %e "$ondrelix" convert "$batch_in"/*.wav --out-dir "$inputs/batch_out1" --models "$build/models" --jobs 1 >/dev/null; } 2>&1 )
t2=$( { /usr/bin/time -f %e "$ondrelix" convert "$batch_in"/*.wav --out-dir "$inputs/batch_out2" --models "$build/models" --jobs 2 >/dev/null; } 2>&1 )
echo "jobs 1: ${t1} s, jobs 2: ${t2} s, speed-up $(/usr/bin/python3 -c "print(f'{$t1 / $t2:.2f}')")x"
echo "== a corpus: 40 LibriSpeech utterances (FLAC, 16 kHz) to \"deep\", files per CPU second (a core's share)"
libri_files=("$libri"/*.flac)
if [ -f "${libri_files[0]}" ]; then
  printf '%s\n' "${libri_files[@]:0:40}" >"$inputs/libri.list"
  for jobs in 1 2; do
    rm -rf "$inputs/libri_out$jobs" && mkdir -p "$inputs/libri_out$jobs"
    /usr/bin/time -o "$inputs/libri_time" -f "%e %U %S" "$ondrelix" convert --list "$inputs/libri.list" \
      --out-dir "$inputs/libri_out$jobs" --models "$build/models" --voice deep --jobs $jobs >/dev/null
    read -r wall user sys <"$inputs/libri_time"
    /usr/bin/python3 -c "print(f'jobs $jobs: $wall s, CPU {$user + $sys:.2f} s, {40 / ($user + $sys):.2f} files per CPU second')"
  done
else
  echo "no LibriSpeech files at $libri: skipped"
fi
echo "== a minute of male speech to \"female\": CPU time (user + system) against Rubber Band R3, same run"
male60=$inputs/male60_16k.wav
if [ ! -f "$male60" ]; then
  sox "$corpus"/spk2_*.wav "$inputs/male_a.wav"
  sox "$corpus"/spk6_a_4ch.wav -c 1 "$inputs/male_b.wav"
  sox "$inputs/male_a.wav" "$inputs/male_b.wav" "$inputs/male_ab.wav"
  sox "$inputs/male_ab.wav" "$male60" repeat 4 trim 0 60
fi
cpu_of() {
  /usr/bin/time -o "$inputs/time.txt" -f "%U %S %M" "$@" >/dev/null 2>&1
  tail -1 "$inputs/time.txt"
}
best_cpu() {  # the least CPU time of three runs, and the peak memory of the last, in MB
  local best="" mem="" line
  for _ in 1 2 3; do
    line=$(cpu_of "$@")
    mem=$(echo "$line" | awk '{print int($3 / 1024)}')
    best=$(echo "$line" "$best" | awk '{s = $1 + $2; if ($4 == "" || s < $4) print s; else print $4}')
  done
  echo "$best $mem"
}
# Shifted as far as "female" shifts this speech: from the encoder's median pitch to 210 Hz.
shift=$(/usr/bin/python3 -c "import math; print(f'{12 * math.log2(210 / 130):.3f}')")
read -r ours ours_mb < <(best_cpu "$ondrelix" convert "$male60" "$inputs/male60_female.wav" --voice female --models "$build/models")
read -r peer peer_mb < <(best_cpu rubberband -q --fine -F -p "$shift" "$male60" "$inputs/male60_rubberband.wav")
echo "ours ${ours} s (${ours_mb} MB), rubberband R3 --fine -F ${peer} s (${peer_mb} MB), ratio $(/usr/bin/python3 -c "print(f'{$ours / $peer:.2f}')")"
echo "== end to end (default models)"
"$build/bench/bench_end_to_end" "$build/models" "$corpus"/*.wav "$inputs/speech60s_44k.wav"
echo "== stream: block mode against continuous mode (default models)"
"$build/bench/bench_continuous" "$build/models" "$corpus"/spk*.wav
echo "== LV2 plugin (default models)"
ONDRELIX_MODELS=$build/models "$build/bench/bench_lv2" "$corpus"/spk1_*.wav
echo "== long files, 44.1 kHz speech: peak memory and real-time factor (60 s converts whole)"
for minutes in 1 10 60; do
  f=$inputs/speech_${minutes}min_44k.wav
  [ -f "$f" ] || sox "$inputs/corpus_44k.wav" "$f" repeat $(( minutes * 60 / 30 + 1 )) trim 0 $(( minutes * 60 ))
  peak=$( { /usr/bin/time -f %M "$ondrelix" convert "$f" "$inputs/long_out.wav" --voice deep \
            --models "$build/models" > "$inputs/long_report.json"; } 2>&1 )
  rtf=$(/usr/bin/python3 -c "import json; print(f\"{json.load(open('$inputs/long_report.json'))['rtf']:.4f}\")")
  echo "$minutes min: peak $(( peak / 1024 )) MB, RTF $rtf"
done
rm -f "$inputs/long_out.wav"
