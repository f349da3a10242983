#!/usr/bin/env bash
# The main job, out of the box: installs what is missing, builds the library, the ondrelix
# command and the default voice models, synthesises an English sentence (a male voice), and
# converts it to "female", "deep", "robot" and to a voice cloned from a second synthetic
# speaker. Every WAV file and a spectrogram picture of each land in out/demo/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$root/out/demo

"$root/scripts/install-deps.sh" --demo
(cd "$root" && cmake --preset default -B "$build" >/dev/null)
cmake --build "$build" -j "$(nproc)" --target ondrelix default_models
ondrelix=$build/tools/ondrelix/ondrelix
mkdir -p "$out"

sentence="The quick brown fox jumps over the lazy dog, and then it runs back home."
reference="Please call Stella and ask her to bring these things with her from the store."
espeak-ng -v en-us+m3 -s 150 -w "$out/input.wav" "$sentence"
espeak-ng -v en-us+f4 -s 150 -w "$out/reference.wav" "$reference"

picture() {  # picture WAV TITLE
  sox "$1" -n spectrogram -x 800 -y 257 -t "$2" -o "${1%.wav}.png"
}

echo "== reports"
picture "$out/input.wav" "input (espeak-ng, male)"
for voice in female deep robot; do
  "$ondrelix" convert "$out/input.wav" "$out/$voice.wav" --voice "$voice"
  picture "$out/$voice.wav" "converted to $voice"
done
"$ondrelix" convert "$out/input.wav" "$out/cloned.wav" --clone "$out/reference.wav"
picture "$out/cloned.wav" "converted to a voice cloned from reference.wav"

cat <<EOF_DONE

== outputs in ${out#"$root"/}/
  input.wav      the synthesised sentence (male voice)
  reference.wav  a second synthetic speaker, the clone's reference
  female.wav, deep.wav, robot.wav, cloned.wav   the conversions (22050 Hz, 16-bit mono)
  *.png          a spectrogram picture of each file
Listen with:  aplay ${out#"$root"/}/female.wav   (or play, from sox)
Look with any image viewer, e.g.  xdg-open ${out#"$root"/}/female.png
EOF_DONE
