"""What the quality runs measure, with tools independent of the library: pitch (aubio), words
(pocketsphinx), naturalness (DNSMOS P.835 through our scorer), energy above the speech band, and
the two peer pitch shifters (Rubber Band R3 and sox) on the same files."""
import collections
import os
import subprocess

import numpy as np

# Aims for how much naturalness (DNSMOS OVRL, source minus conversion, mean over files) a voice
# may lose; "robot" is meant to sound mechanical and has none.
OVRL_DROP_AIM = {"female": 0.25, "deep": 0.20, "clone": 0.30}
HIGH_BAND_HZ = 9000.0
HIGH_BAND_MAX_DB = -50.0


def run(*args):
    return subprocess.run(list(args), check=True, capture_output=True, text=True).stdout


class Workspace:
    """A folder for the files a run makes, and the tools it runs."""

    def __init__(self, out, dnsmos_tool, dnsmos_model):
        self.out = out
        self.dnsmos_tool = dnsmos_tool
        self.dnsmos_model = dnsmos_model
        os.makedirs(out, exist_ok=True)

    def path(self, name):
        return os.path.join(self.out, name)

    def to16k(self, path, name="tmp16k.wav"):
        """16 kHz mono 16-bit, as the recogniser, the tracker and the peers take it. -D: no dither,
        which is random and would make the figures vary from run to run."""
        dst = self.path(name)
        run("sox", "-D", path, "-r", "16000", "-c", "1", "-b", "16", dst)
        return dst

    def pitch_track(self, path):
        lines = run("aubiopitch", "-i", self.to16k(path), "-p", "yinfft", "-B", "2048",
                    "-H", "256").splitlines()
        f = np.array([float(line.split()[1]) for line in lines if line.strip()])
        return f[(f > 60) & (f < 400)]

    def median_pitch(self, path):
        track = self.pitch_track(path)
        return float(np.median(track)) if len(track) else 0.0

    def words(self, path):
        return run("pocketsphinx_continuous", "-infile", self.to16k(path), "-logfn",
                   "/dev/null").split()

    def overall_scores(self, paths):
        """DNSMOS OVRL of each file, in one run of the scorer."""
        scores = {}
        paths = list(dict.fromkeys(paths))
        for start in range(0, len(paths), 200):  # command lines stay short
            for line in run(self.dnsmos_tool, self.dnsmos_model, *paths[start:start + 200]).splitlines():
                fields = line.split()
                scores[fields[0]] = float(fields[3])
        return scores

    def rubberband(self, src, semitones, name):
        """Rubber Band R3 at its finest, formants preserved."""
        dst = self.path(name)
        run("rubberband", "-q", "--fine", "-F", "-p", f"{semitones:.4f}", src, dst)
        return dst

    def sox_pitch(self, src, semitones, name):
        dst = self.path(name)
        run("sox", "-D", src, dst, "pitch", f"{100 * semitones:.2f}")
        return dst


def retention(ref, hyp):
    """Share of the reference's words that the hypothesis keeps (as a multiset)."""
    r, h = collections.Counter(ref), collections.Counter(hyp)
    return sum(min(c, h[w]) for w, c in r.items()) / max(1, sum(r.values()))


def samples(path):
    """The file down-mixed to mono, full scale 1.0, and its rate."""
    raw = subprocess.run(["sox", path, "-t", "f32", "-c", "1", "-"], capture_output=True,
                         check=True).stdout
    rate = int(run("soxi", "-r", path))
    return np.frombuffer(raw, dtype=np.float32).astype(np.float64), rate


def high_band_db(path):
    """The loudest 46 ms frame's energy above HIGH_BAND_HZ, in dB against the whole output's
    mean frame energy: a steady band shows in pauses as well as in speech."""
    x, rate = samples(path)
    if rate / 2 <= HIGH_BAND_HZ:
        return -200.0
    n, hop = 1024, 256
    if len(x) < n:
        x = np.pad(x, (0, n - len(x)))
    frames = np.lib.stride_tricks.sliding_window_view(x, n)[::hop] * np.hanning(n)
    power = np.abs(np.fft.rfft(frames, axis=1)) ** 2
    above = power[:, np.fft.rfftfreq(n, 1.0 / rate) > HIGH_BAND_HZ].sum(axis=1)
    return float(10 * np.log10(above.max() / (power.sum(axis=1).mean() + 1e-30) + 1e-30))


def semitones(f0_from, f0_to):
    return 12.0 * np.log2(f0_to / f0_from)


class Tally:
    """Naturalness drops per voice and method, and the figures printed at the end."""

    def __init__(self):
        self.drops = collections.defaultdict(list)

    def add(self, voice, method, drop):
        self.drops[(voice, method)].append(drop)

    def mean(self, voice, method="ours"):
        values = self.drops.get((voice, method), [])
        return float(np.mean(values)) if values else float("nan")

    def summary(self, voice, label):
        parts = [f"{m} {self.mean(voice, m):.2f}" for m in ("ours", "rubberband", "sox")
                 if (voice, m) in self.drops]
        n = len(self.drops.get((voice, "ours"), []))
        return f"{label} {voice}: mean OVRL drop over {n} files: " + ", ".join(parts)
