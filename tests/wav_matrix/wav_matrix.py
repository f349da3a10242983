#!/usr/bin/python3
"""WAV files as sox (and ffmpeg, where installed) write them, read by the library: every
encoding, channel count and rate reads to the samples of the tool's own decode, averaged over
the channels, and converts.

    wav_matrix.py WAV_DUMP ONDRELIX MODELS_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

dump, cli, models = sys.argv[1:4]
ENCODINGS = [("pcm16", ["-e", "signed", "-b", "16"]), ("pcm24", ["-e", "signed", "-b", "24"]),
             ("pcm32", ["-e", "signed", "-b", "32"]), ("float32", ["-e", "floating-point", "-b", "32"])]
CHANNELS = [1, 2, 4, 6]
RATES = [8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000]
failures = []
checked = 0


def fail(name, why):
    failures.append(name)
    print(f"FAIL {name}: {why}")


def library_read(path):
    r = subprocess.run([dump, path], capture_output=True)
    if r.returncode != 0:
        return None, r.stderr.decode().strip()
    line, _, rest = r.stdout.partition(b"\n")
    rate, frames = (int(v) for v in line.split())
    samples = np.frombuffer(rest, dtype=np.float32)
    return (rate, samples) if len(samples) == frames else (None, "frame count mismatch")


def reference(path, channels):
    """The tool's own decode as float, averaged over the channels."""
    raw = subprocess.run(["sox", path, "-t", "f32", "-"], capture_output=True, check=True).stdout
    return np.frombuffer(raw, dtype=np.float32).astype(np.float64).reshape(-1, channels).mean(axis=1)


def check_file(name, path, rate, channels, work):
    global checked
    checked += 1
    got_rate, got = library_read(path)
    if got_rate is None:
        return fail(name, got)
    ref = reference(path, channels)
    if got_rate != rate or len(got) != len(ref):
        return fail(name, f"rate {got_rate}, {len(got)} frames; expected {rate}, {len(ref)}")
    err = float(np.max(np.abs(got - ref))) if len(ref) else 0.0
    if err > 1e-6:
        return fail(name, f"samples differ from the reference decode by up to {err:.2e}")
    out = os.path.join(work, "converted.wav")
    r = subprocess.run([cli, "convert", path, out, "--voice", "deep", "--models", models],
                       capture_output=True, text=True)
    if r.returncode != 0:
        fail(name, f"conversion failed: {r.stderr.strip()}")


def main():
    with tempfile.TemporaryDirectory() as work:
        # A chord whose channels differ, so that the down-mix is tested too.
        for rate in RATES:
            for channels in CHANNELS:
                source = os.path.join(work, "source.wav")
                synth = []
                for c in range(channels):
                    synth += ["sine", str(220 * (c + 1))]
                subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels), "-e", "floating-point",
                                "-b", "32", source, "synth", "0.15", *synth, "gain", "-3"], check=True)
                for enc, flags in ENCODINGS:
                    path = os.path.join(work, f"{enc}_{channels}ch_{rate}.wav")
                    subprocess.run(["sox", source, *flags, path], check=True)
                    check_file(f"sox {enc} {channels} ch {rate} Hz", path, rate, channels, work)
                    if shutil.which("ffmpeg") and enc != "float32":
                        fpath = os.path.join(work, f"ffmpeg_{enc}_{channels}ch_{rate}.wav")
                        codec = {"pcm16": "pcm_s16le", "pcm24": "pcm_s24le", "pcm32": "pcm_s32le"}[enc]
                        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", source, "-c:a", codec, fpath],
                                       check=True)
                        check_file(f"ffmpeg {enc} {channels} ch {rate} Hz", fpath, rate, channels, work)
        # 8-bit stays refused with its message.
        path = os.path.join(work, "pcm8.wav")
        subprocess.run(["sox", "-n", "-r", "8000", "-e", "unsigned", "-b", "8", path, "synth", "0.1", "sine", "300"],
                       check=True)
        _, message = library_read(path)
        if message != "Unsupported bits per sample: 8":
            fail("sox pcm8 refused", repr(message))
    print(f"{checked} files read and converted, {len(failures)} failed")
    return 1 if failures else 0


sys.exit(main())
