#!/usr/bin/env bash
# The README's PipeWire filter-chain, run for real: a headless PipeWire with WirePlumber on its
# dummy driver, one graph with two instances of the plugin (a pass-through voice in DSP mode and
# "deep" in neural mode), 48 kHz stereo speech played into it with pw-cat and recorded from it
# with pw-record. Both convert: the pass-through channel is the input delayed, the "deep" one has
# a low pitch, and the delay between the two channels is the difference of their latencies.
#   test_pipewire.sh LV2_DIR MODELS_DIR CORPUS_DIR
# Exits 77 (skipped, with the reason) where PipeWire cannot run.
set -u
lv2=$(cd "$1" && pwd) models=$(cd "$2" && pwd) corpus=$3  # lilv takes absolute paths only
for tool in pipewire wireplumber pw-cat pw-record dbus-run-session sox aubiopitch; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"; exit 77; }
done
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/config/pipewire/pipewire.conf.d"
chmod 700 "$work/run"
cat > "$work/config/pipewire/pipewire.conf.d/ondrelix.conf" <<'CONF'
context.modules = [
  { name = libpipewire-module-filter-chain
    args = {
      node.description = "ondrelix voices"
      filter.graph = {
        nodes = [
          { type = lv2 name = plain plugin = "https://quorvane.example/plugins/ondrelix"
            control = { "voice" = 4 "mode" = 1 } }
          { type = lv2 name = deep plugin = "https://quorvane.example/plugins/ondrelix"
            control = { "voice" = 1 "mode" = 0 } }
        ]
        inputs = [ "plain:in" "deep:in" ]
        outputs = [ "plain:out" "deep:out" ]
      }
      audio.rate = 48000
      audio.channels = 2
      capture.props  = { node.name = "ondrelix.capture" audio.position = [ FL FR ] }
      playback.props = { node.name = "ondrelix.voice" media.class = Audio/Source
                         audio.position = [ FL FR ] }
    }
  }
]
CONF
speech=$corpus/spk1_a.wav
[ -f "$speech" ] || { echo "SKIP: no speech corpus at $corpus"; exit 77; }
sox "$speech" -r 48000 -c 1 "$work/mono.wav"
sox "$work/mono.wav" "$work/mono.wav" "$work/mono.wav" "$work/long.wav"  # three sentences
sox -M "$work/long.wav" "$work/long.wav" "$work/in.wav"

cat > "$work/session.sh" <<'SESSION'
#!/usr/bin/env bash
set -u
pipewire >"$WORK/pipewire.log" 2>&1 &
pw=$!
sleep 1
wireplumber >"$WORK/wireplumber.log" 2>&1 &
wp=$!
for _ in $(seq 50); do
  pw-cli ls Node 2>/dev/null | grep -q 'node.name = "ondrelix.voice"' && break
  sleep 0.2
done
pw-record --target ondrelix.voice --rate 48000 --channels 2 --format f32 "$WORK/out.wav" &
rec=$!
sleep 1
pw-cat --playback --target ondrelix.capture "$WORK/in.wav"
sleep 1.5
kill "$rec"
wait "$rec" 2>/dev/null
kill "$wp" "$pw"
wait "$wp" "$pw" 2>/dev/null
SESSION
chmod +x "$work/session.sh"
WORK=$work XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config LV2_PATH=$lv2 \
  ONDRELIX_MODELS=$models timeout 120 dbus-run-session -- "$work/session.sh" 2>"$work/session.err"
if [ ! -s "$work/out.wav" ]; then
  echo "SKIP: PipeWire did not record (it may not run on this machine):"
  tail -5 "$work/pipewire.log" "$work/session.err" 2>/dev/null
  exit 77
fi
sox "$work/out.wav" "$work/plain.wav" remix 1
sox "$work/out.wav" "$work/deep.wav" remix 2
aubiopitch -i "$work/deep.wav" -p yinfft -B 4096 -H 512 > "$work/deep_pitch.txt"
exec /usr/bin/python3 "$(dirname "$0")/check_pipewire.py" "$work/long.wav" "$work/plain.wav" \
  "$work/deep.wav" "$work/deep_pitch.txt" "$work/pipewire.log"
