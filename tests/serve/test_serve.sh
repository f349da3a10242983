#!/usr/bin/env bash
# `ondrelix serve` as a user meets it: its interface called directly (every endpoint, the origin
# check, the size limit, broken requests and frames), then its page in Debian's Chromium,
# headless, with a fake microphone playing a woman's speech: live as "deep" (the voice that came
# back must be near 95 Hz and as long as what went in), a file converted and a clip cloned
# through the page, the microphone refused, the server gone. Uploads must leave nothing in the temporary folder.
#   test_serve.sh ONDRELIX CORPUS_DIR NODE_MODULES OUT_DIR
# Exits 77 (skipped) with the reason when Chromium, Node or playwright-core is missing.
set -u
cli=$1 corpus=$2 node_modules=$3 out=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
skip() { echo "SKIP: $*"; exit 77; }
for tool in chromium node sox aubiopitch; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done
[ -d "$node_modules/playwright-core" ] || skip "playwright-core is not in $node_modules (scripts/install-deps.sh puts it there)"
[ -f "$corpus/spk3_a.wav" ] || skip "the speech corpus is not at $corpus"
work=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
. "$here/../cli/checks.sh"
mkdir -p "$work/tmp" "$out"

start_server() {
  TMPDIR=$work/tmp "$cli" serve --port 0 >"$work/serve.out" 2>"$work/serve.err" &
  server=$!
  for _ in $(seq 100); do grep -q serving "$work/serve.out" 2>/dev/null && break; sleep 0.1; done
  port=$(sed -n 's|.*http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/serve.out")
  [ -n "$port" ]
}
expect server-starts start_server

check api 0 /usr/bin/python3 "$here/test_api.py" "$port" "$corpus"
sed 's/^/  /' "$work/stdout" | grep -v "every check passed"
no_private_files() { test -z "$(find "$work/tmp" -name 'ondrelix-*')"; }
expect api-leaves-no-files no_private_files

# Ctrl-C or SIGTERM stops the server cleanly: exit status 0, nothing on standard error.
stop_server() {
  [ "$1" = kill ] && kill "$server"
  wait "$server"
  local status=$?
  server=
  [ "$status" -eq 0 ] && [ ! -s "$work/serve.err" ] && return 0
  echo "  the server ended with status $status:"
  sed 's/^/  server: /' "$work/serve.err" | head -20
  return 1
}
expect server-stops stop_server kill

# The page in a browser, on a fresh server (the API tests cloned a voice on the first).
expect server-starts-again start_server
sox "$corpus"/spk3_*.wav "$corpus"/spk1_*.wav -c 1 -b 16 "$work/mic.wav"
NODE_MODULES=$node_modules node "$here/browser_test.mjs" "http://127.0.0.1:$port/" "$work/mic.wav" \
  "$corpus/spk3_a.wav" "$out" "$server" >"$work/browser.json" 2>"$work/browser.err"
expect server-stops-after-browser stop_server waited  # the browser test stopped it
sox "$out/live.wav" -r 16000 "$work/live16.wav" 2>/dev/null
live_pitch=$(aubiopitch -i "$work/live16.wav" -p yinfft -B 2048 -H 256 2>/dev/null |
  awk '$2 > 60 && $2 < 400 {print $2}' | sort -n | awk '{a[NR] = $1} END {print (NR ? a[int((NR + 1) / 2)] : 0)}')
check browser 0 /usr/bin/python3 - "$work/browser.json" "$live_pitch" <<'PY'
import json, sys
seen = json.load(open(sys.argv[1]))
pitch = float(sys.argv[2])
problems = []
if "failure" in seen:
    problems.append(f"the browser test stopped: {seen['failure']} (page said: {seen.get('status')})")
live = seen.get("live", {})
if not live.get("report"): problems.append(f"no stop report after the live run: {live}")
if live.get("sent", 0) < 5 * live.get("rate", 1): problems.append(f"less than 5 s went in: {live}")
if live.get("received") != live.get("sent"): problems.append(f"{live.get('sent')} samples in, {live.get('received')} out")
if abs(pitch - 95) > 0.1 * 95: problems.append(f"the live voice's median pitch is {pitch:.1f} Hz, not near 95 Hz")
converted = (seen.get("convert") or {}).get("converted") or {}
if not converted.get("bytes", 0) > 44 or converted.get("voice") != "deep": problems.append(f"no file converted: {seen.get('convert')}")
clone = seen.get("clone") or {}
if "custom" not in clone.get("voices", []) or clone.get("voice") != "custom": problems.append(f"no clone through the page: {clone}")
if seen.get("phoneOverflow", 1) > 0: problems.append(f"the page is wider than a phone by {seen.get('phoneOverflow')} px")
if "refused" not in (seen.get("refused") or ""): problems.append(f"a refused microphone was said as: {seen.get('refused')}")
if "not answering" not in (seen.get("gone") or ""): problems.append(f"a server gone was said as: {seen.get('gone')}")
print(f"live: {live.get('sent')} samples in and out at {live.get('rate')} Hz, median pitch {pitch:.1f} Hz, "
      f"delay {live.get('delayMs')} ms")
for p in problems: print("  " + p)
sys.exit(1 if problems else 0)
PY
cat "$work/stdout"
[ -s "$work/browser.err" ] && sed 's/^/  browser: /' "$work/browser.err" | head -5
expect page-leaves-no-files no_private_files
expect screenshot test -s "$out/serve.png"
finish
