# The checks the command's test scripts share: each counts a pass or a failure, and the script
# ends with `finish`. Needs $work (a scratch folder).
passed=0 failed=0

check() {  # check NAME EXPECTED_STATUS COMMAND...
  local name=$1 expected=$2
  shift 2
  "$@" >"$work/stdout" 2>"$work/stderr"
  local status=$?
  if [ "$status" -eq "$expected" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $name: exit $status, expected $expected"
    sed 's/^/  stderr: /' "$work/stderr" | head -5
  fi
}

expect() {  # expect NAME CONDITION...
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $name"; fi
}

finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# Prints the corpus folder, or without the speech corpus a folder of tones named like its
# files (16 kHz mono 16-bit).
corpus_or_tones() {
  if [ -f "$1/spk1_a.wav" ]; then echo "$1"; return; fi
  local stand_in=$work/corpus
  mkdir -p "$stand_in"
  /usr/bin/python3 - "$stand_in" <<'PY'
import math, struct, sys, wave
for i, name in enumerate(["spk1_a", "spk1_b", "spk2_a", "spk2_b", "spk3_a"]):
    with wave.open(f"{sys.argv[1]}/{name}.wav", "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(16000)
        f = 120 + 40 * i
        w.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * f * n / 16000)))
                               for n in range(16000 * 2)))
PY
  echo "$stand_in"
}
