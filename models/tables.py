"""Constant tables of the models (matrices and per-bin vectors), computed once in numpy and
handed to a backend as constants by `Tables`."""
import numpy as np

from constants import *  # noqa: F401,F403


def lifter_taper(q=LIFTER_Q):
    """Weights of the cepstrum's quefrencies 0 .. q-1 that the envelope keeps (the last six
    fade out, so the smoothing has no sharp cut)."""
    taper = np.ones(q)
    taper[q - 6:] = np.linspace(1, 0, 8)[1:7]
    return taper


def cepstrum_matrix(q=LIFTER_Q):
    """x[513] @ C -> the real cepstrum of a log-magnitude row at quefrencies 0 .. q-1 (the row
    taken as the even 1024-point spectrum it is half of)."""
    k = np.arange(BINS)[:, None]
    n = np.arange(q)[None, :]
    weight = np.where((k == 0) | (k == BINS - 1), 1.0, 2.0)
    return (weight * np.cos(2 * np.pi * k * n / NFFT) / NFFT).astype(np.float32)


def lift_back_matrix(q=LIFTER_Q):
    """c[q] @ L -> the smooth log-magnitude row of the tapered low quefrencies: the envelope.
    cepstrum_matrix() @ lift_back_matrix() is the liftering, in two thin products."""
    n = np.arange(q)[:, None]
    k = np.arange(BINS)[None, :]
    both_ends = np.where(n == 0, 1.0, 2.0)  # quefrency n and N - n
    return (lifter_taper(q)[:, None] * both_ends * np.cos(2 * np.pi * k * n / NFFT)).astype(np.float32)


def min_phase_matrix(q=LIFTER_Q):
    """c[q] @ P -> the phase of the minimum-phase filter whose log magnitude is the liftered
    envelope (the causal folding of the cepstrum: phase = -2 sum c[n] sin(2 pi k n / N))."""
    n = np.arange(q)[:, None]
    k = np.arange(BINS)[None, :]
    return (-2.0 * lifter_taper(q)[:, None] * np.sin(2 * np.pi * k * n / NFFT)).astype(np.float32)


def yin_matrix():
    """P[T, PITCH_BINS] @ Y -> the frame's autocorrelation at lags 0..LAG_MAX (Wiener-Khinchin
    over the one-sided spectrum: bin 0 once, the others twice)."""
    k = np.arange(PITCH_BINS)[:, None]
    lag = np.arange(LAG_MAX + 1)[None, :]
    return (np.cos(2 * np.pi * k * lag / NFFT) * np.where(k == 0, 1.0, 2.0)).astype(np.float32)


def window_unbias():
    """[1, LAG_MAX + 1]: the Hann window's circular autocorrelation, normalised, to the power
    -WINDOW_UNBIAS: multiplied into a frame's autocorrelation it undoes that much of the window's
    decay with lag, which otherwise makes a long period (a low voice) look less periodic."""
    h = hann()
    corr = np.array([np.sum(h * np.roll(h, -lag)) for lag in range(LAG_MAX + 1)])
    return ((corr / corr[0]) ** -WINDOW_UNBIAS).astype(np.float32)[None, :]


def mel(f):
    return 2595.0 * np.log10(1.0 + f / 700.0)


def mel_points():
    m = np.linspace(mel(60.0), mel(8000.0), ENV_POINTS)
    return (700.0 * (10 ** (m / 2595.0) - 1.0)) / BIN_HZ  # in bins


def to_points_matrix():
    """x[513] @ P -> the envelope at the 128 mel points (linear interpolation)."""
    pts = mel_points()
    p = np.zeros((BINS, ENV_POINTS), dtype=np.float32)
    for j, b in enumerate(pts):
        lo = int(np.floor(b))
        w = b - lo
        p[lo, j] += 1 - w
        p[min(lo + 1, BINS - 1), j] += w
    return p


def from_points_matrix():
    """e[128] @ Q -> a 513-bin curve through the points (flat beyond the ends)."""
    pts = mel_points()
    q = np.zeros((ENV_POINTS, BINS), dtype=np.float32)
    for k in range(BINS):
        if k <= pts[0]:
            q[0, k] = 1
        elif k >= pts[-1]:
            q[-1, k] = 1
        else:
            j = np.searchsorted(pts, k) - 1
            w = (k - pts[j]) / (pts[j + 1] - pts[j])
            q[j, k] = 1 - w
            q[j + 1, k] = w
    return q


def gaussian_smoothing(sigma_hz, step=SMOOTH_STEP):
    """(x[513] @ G) @ U -> x smoothed along the bins by a Gaussian: G takes the weighted averages
    at every `step`-th bin (weights normalised per output), U interpolates them linearly back to
    every bin. Two thin products instead of a 513 x 513 one: the smoothed curve holds nothing
    that a grid much finer than the Gaussian would miss."""
    k = np.arange(BINS)
    centres = np.arange(0, BINS - 1 + step, step)[: (BINS - 1) // step + 1]
    s = sigma_hz / BIN_HZ
    g = np.exp(-0.5 * ((k[:, None] - centres[None, :]) / s) ** 2)
    g = g / g.sum(axis=0, keepdims=True)
    u = np.zeros((len(centres), BINS))
    for j in range(BINS):
        pos = j / step
        lo = min(int(np.floor(pos)), len(centres) - 2)
        w = pos - lo
        u[lo, j] = 1 - w
        u[lo + 1, j] = w
    return g.astype(np.float32), u.astype(np.float32)


def noise_to_bins():
    """noise [.., 192] @ N -> [.., 513] by linear interpolation across the bins."""
    n = np.zeros((192, BINS), dtype=np.float32)
    pos = np.arange(BINS) * (191 / 512)
    for k, p in enumerate(pos):
        lo = int(np.floor(p))
        w = p - lo
        n[lo, k] += 1 - w
        n[min(lo + 1, 191), k] += w
    return n


def hann():
    n = np.arange(NFFT)
    return (0.5 - 0.5 * np.cos(2 * np.pi * n / NFFT)).astype(np.float32)


def hann_ola_sign():
    """(-1)^k: a component whose phase is given at a frame's centre has, at bin k, that phase
    plus pi k (the frame starts half a window before its centre)."""
    return np.where(np.arange(BINS) % 2 == 0, 1.0, -1.0).astype(np.float32)[None, :]


def synthesis_window():
    """The window each synthesised frame is cut with before the overlap-add: a Hann window of
    SYNTH_LENGTH samples around the frame's centre. A frame's spectrum carries the analysis
    window only approximately (the harmonics' lobes stop at their main lobe), so its ends are
    cut away; a window shorter than the analysis window also keeps onsets where they were."""
    n = np.arange(NFFT)
    start = (NFFT - SYNTH_LENGTH) // 2
    inside = (n >= start) & (n < start + SYNTH_LENGTH)
    return np.where(inside, 0.5 - 0.5 * np.cos(2 * np.pi * (n - start) / SYNTH_LENGTH), 0.0)


def noise_ola_power():
    """The share of its power that stationary noise keeps when frames of it with independent
    phases, each carrying the analysis window, are cut by the synthesis window, overlap-added
    at hop N/4 and normalised (harmonics, whose phases agree from frame to frame, keep all of
    theirs): mean(sum (w s)^2) / mean(sum w s)^2."""
    ws = hann().astype(np.float64) * synthesis_window()
    return float(np.mean(ws ** 2) / np.mean(ws) ** 2 / (NFFT // HOP))


def speech_band():
    """The output's band: 1 up to SPEECH_BAND_HZ[0], a raised cosine down to 0 at [1]. The
    voices are wideband speech; above this band a 16 kHz input brought to 22050 Hz holds only
    the images of its own top octave (the windowed-sinc resampler's transition band reaches
    past 9 kHz), which a conversion must not carry on."""
    lo, hi = SPEECH_BAND_HZ
    f = np.arange(BINS) * BIN_HZ
    x = np.clip((f - lo) / (hi - lo), 0.0, 1.0)
    return (0.5 + 0.5 * np.cos(np.pi * x)).astype(np.float32)


def bin_offsets():
    """A fixed fraction per bin (golden-ratio steps), so that bins with the same log magnitude
    still get different noise phases."""
    return np.mod(np.arange(BINS) * 0.6180339887, 1.0).astype(np.float32)



TABLES = {
    "cepstrum": cepstrum_matrix(),
    "lift_back": lift_back_matrix(),
    "fine_cepstrum": cepstrum_matrix(UPPER_ENVELOPE_Q),
    "fine_lift_back": lift_back_matrix(UPPER_ENVELOPE_Q),
    "min_phase": min_phase_matrix(),
    "yin": yin_matrix(),
    "window_unbias": window_unbias(),
    "to_points": to_points_matrix(),
    "from_points": from_points_matrix(),
    "pow_smooth": gaussian_smoothing(250.0),
    "harm_smooth": gaussian_smoothing(HARM_SMOOTH_HZ),

    "noise_bins": noise_to_bins(),
}


class Tables:
    """The constant tables as backend constants, made once per graph."""

    def __init__(self, B):
        self.B = B
        self.c = {k: (B.const(v[0]), B.const(v[1])) if isinstance(v, tuple) else B.const(v)
                  for k, v in TABLES.items()}
        self.lags = B.const(np.arange(1, LAG_MAX + 1, dtype=np.float32)[None, :])
        self.bins = B.const(np.arange(BINS, dtype=np.float32)[None, :])
        self.window = B.const(hann()[None, :])
        self.synthesis = B.const(synthesis_window().astype(np.float32)[None, :])
        self.bin_offsets = B.const(bin_offsets()[None, :])
        self.speech_band = B.const(speech_band()[None, :])

    def __getitem__(self, k):
        return self.c[k]

    def smooth(self, x, name):
        """x [.., 513] smoothed by one of the Gaussian smoothings."""
        g, u = self.c[name]
        return self.B.matmul(self.B.matmul(x, g), u)
