#!/usr/bin/python3
"""What test_pipewire.sh recorded: both instances converted, each with the delay it reports.

    check_pipewire.py INPUT PLAIN DEEP DEEP_PITCH PIPEWIRE_LOG
"""
import subprocess
import sys

import numpy as np

RATE = 48000
# The latencies the plugin reports at 48 kHz: hop (46 ms) + DSP margin (90 ms), and hop +
# lookahead (36.124 ms) + neural margin (150 ms).
PLAIN_LATENCY = round((46 + 90) * RATE / 1000)
DEEP_LATENCY = round((46 + 36.12414965986395 + 150) * RATE / 1000)
failures = []


def check(name, ok, detail):
    print(f"{'ok  ' if ok else 'FAIL'} {name}: {detail}")
    if not ok:
        failures.append(name)


def samples(path):
    raw = subprocess.run(["sox", path, "-t", "f32", "-"], capture_output=True, check=True).stdout
    return np.frombuffer(raw, dtype=np.float32).astype(np.float64)


def envelope(x, step=RATE // 1000):
    """1 ms frames' RMS."""
    n = len(x) // step
    return np.sqrt(np.mean(x[: n * step].reshape(n, step) ** 2, axis=1))


def best_lag(reference, signal, longest):
    """The lag (in reference's units) at which `signal` best follows `reference`."""
    scores = []
    for lag in range(longest):
        n = min(len(reference), len(signal) - lag)
        window = signal[lag:lag + n]
        scores.append(np.dot(reference[:n], window) / (np.linalg.norm(window) + 1e-12))
    return int(np.argmax(scores))


source, plain, deep = samples(sys.argv[1]), samples(sys.argv[2]), samples(sys.argv[3])
# The pass-through channel is the input delayed: find the delay sample by sample.
coarse = best_lag(envelope(source), envelope(plain), 3000)
lo = max(coarse * 48 - 480, 0)
lags = range(lo, lo + 960)
errors = []
for lag in lags:
    n = min(len(source), len(plain) - lag)
    errors.append(np.sum((plain[lag:lag + n] - source[:n]) ** 2) / np.sum(source[:n] ** 2))
plain_delay = lags[int(np.argmin(errors))]
# The error in 100 ms pieces with speech in them: a scheduling hiccup of the dummy driver may
# spoil one piece; the median says whether the channel is the input delayed.
n = min(len(source), len(plain) - plain_delay)
piece = RATE // 10
piece_db = []
for at in range(0, n - piece, piece):
    ref = source[at:at + piece]
    if np.sqrt(np.mean(ref ** 2)) > 0.01:
        err = plain[plain_delay + at:plain_delay + at + piece] - ref
        piece_db.append(10 * np.log10(np.sum(err ** 2) / np.sum(ref ** 2)))
median_db = float(np.median(piece_db))
check("pass-through instance", median_db < -25,
      f"the input delayed by {plain_delay} samples, error {median_db:.1f} dB (median over "
      f"{len(piece_db)} pieces of 100 ms)")
# The deep channel: its level follows the input's (1 ms steps), its pitch is a low voice's.
deep_delay = best_lag(envelope(source), envelope(deep), 3000) * 48
expected = DEEP_LATENCY - PLAIN_LATENCY
check("deep instance's delay", abs(deep_delay - plain_delay - expected) <= 2 * 48 * 5,
      f"{deep_delay - plain_delay} samples after the pass-through channel "
      f"(the latencies differ by {expected})")
pitch = np.array([float(line.split()[1]) for line in open(sys.argv[4]) if line.strip()])
pitch = pitch[(pitch > 60) & (pitch < 400)]
median = float(np.median(pitch)) if len(pitch) else 0.0
check("deep instance's pitch", 85 <= median <= 110, f"median {median:.1f} Hz (source about 208 Hz)")
log = open(sys.argv[5], errors="replace").read()
check("no second-instance fallback", "another instance" not in log, "nothing in PipeWire's log")
print(f"{len(failures)} checks failed" if failures else "all checks passed")
sys.exit(1 if failures else 0)
