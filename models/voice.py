"""The default voice models, written once against graph.py's backends.

Embedding layout (256 float32; the rest are zero):
  [0]       ln(F0 / 100 Hz): the speaker's typical pitch (median F0 over voiced frames)
  [1]       monotone amount, 0..1: 1 holds the pitch at the target level (the "robot" voice)
  [2]       follow the source's pitch level, 0..1 (1: the target pitch is the source's own)
  [3]       timbre weight, 0..1: how much of the spectral envelope below to impose
  [4]       formant factor exponent: formants move by (pitch ratio) ** this
  [5]       5 x ln(F0 / 150 Hz): the pitch again, weighted so that comparing embeddings by
            cosine similarity tells speakers apart by pitch as well as by timbre (not used by the
            converter)
  [8..135]  mean log spectral envelope of voiced frames at 128 mel-spaced frequencies, with its
            average removed (the timbre and formant region)
"""
import numpy as np

from graph import END

SR = 22050
NFFT = 1024
HOP = 256
BINS = NFFT // 2 + 1
BIN_HZ = SR / NFFT
EMB = 256
ENV_AT = 8
ENV_POINTS = 128
F0_MIN, F0_MAX = 60.0, 420.0
# Pitch ratios the converter applies: from a 250 Hz voice to 95 Hz (0.38) up to an 80 Hz voice to
# 210 Hz (2.6), with room on both sides.
RATIO_MIN, RATIO_MAX = 0.33, 3.0
GL_ITERATIONS = 8
GL_MOMENTUM = 0.99
LIFTER_Q = 36
EPS = 1e-5
# The pitch tracker (a YIN difference function computed from the power spectrum): bins up to
# 4 kHz, each frame's autocorrelation averaged with its neighbours' (about 70 ms of analysis,
# steadier than one 46 ms frame), the first dip of the normalised difference below
# DIP_THRESHOLD, and a frame voiced when that dip is below APERIODIC_MAX (and the frame is loud).
# Chosen on speakers 1-3 of the corpus against aubio's yinfft; speakers 4 and 6 held out
# (models/README.md).
PITCH_BINS = 187
LAG_MIN = int(SR / F0_MAX)           # 52
LAG_MAX = int(np.ceil(SR / F0_MIN))  # 368
DIP_THRESHOLD = 0.15
APERIODIC_MAX = 0.42
# The converter shifts every frame that holds a pitch at all, a looser test than the one that
# picks the frames a speaker's pitch is measured on: a weakly periodic frame left unshifted keeps
# the source's pitch, which a listener (and a pitch tracker) still hears.
SHIFT_APERIODIC_MAX = 0.6
# A speaker's timbre is taken from the clearly periodic frames alone: weaker ones (onsets,
# breathy ends) carry more of the room and the noise than of the voice.
ENVELOPE_APERIODIC_MAX = 0.25
# A frame is loud when it is within 35 dB of the signal's loudest and above an absolute floor:
# quiet noise is not voice, even where nothing louder is near (a short stream piece in a pause).
# Frame energy (the sum of the squared magnitudes of 513 bins) is about 196608 x the mean square
# of the samples under the Hann window.
LOUD_FLOOR = 196608.0 * 10 ** (-60 / 10)  # -60 dBFS
DEFAULT_FORMANT_EXP = 0.15  # formants move by (pitch ratio) ** this
CLONE_TIMBRE = 0.4  # share of a reference's mean envelope that a clone imposes


def lifter_matrix(q=LIFTER_Q):
    """x @ L smooths each log-magnitude row by keeping the cepstrum below quefrency q. (A dense
    product: ONNX Runtime's matrix products are faster here than two DFTs.)"""
    eye = np.eye(BINS)
    full = np.concatenate([eye, eye[:, -2:0:-1]], axis=1)  # even extension, [513, 1024]
    cep = np.fft.ifft(full, axis=1).real
    taper = np.zeros(NFFT)
    taper[:q] = 1.0
    taper[NFFT - q + 1:] = 1.0
    taper[q - 6:q] = np.linspace(1, 0, 8)[1:7]
    taper[NFFT - q + 1:NFFT - q + 7] = np.linspace(0, 1, 8)[1:7]
    smooth = np.fft.fft(cep * taper, axis=1).real[:, :BINS]
    return smooth.astype(np.float32)


def yin_matrix():
    """P[T, PITCH_BINS] @ Y -> the frame's autocorrelation at lags 0..LAG_MAX (Wiener-Khinchin
    over the one-sided spectrum: bin 0 once, the others twice)."""
    k = np.arange(PITCH_BINS)[:, None]
    lag = np.arange(LAG_MAX + 1)[None, :]
    return (np.cos(2 * np.pi * k * lag / NFFT) * np.where(k == 0, 1.0, 2.0)).astype(np.float32)


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


def power_smoothing(sigma_hz=250.0):
    k = np.arange(BINS)
    s = sigma_hz / BIN_HZ
    g = np.exp(-0.5 * ((k[:, None] - k[None, :]) / s) ** 2)
    return (g / g.sum(axis=0, keepdims=True)).astype(np.float32)


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


TABLES = {
    "lifter": lifter_matrix(),
    "yin": yin_matrix(),
    "to_points": to_points_matrix(),
    "from_points": from_points_matrix(),
    "pow_smooth": power_smoothing(),
    "noise_bins": noise_to_bins(),
}


class Tables:
    """The constant tables as backend constants, made once per graph."""

    def __init__(self, B):
        self.B = B
        self.c = {k: B.const(v) for k, v in TABLES.items()}
        self.lags = B.const(np.arange(1, LAG_MAX + 1, dtype=np.float32)[None, :])
        self.bins = B.const(np.arange(BINS, dtype=np.float32)[None, :])
        self.window = B.const(hann()[None, :])

    def __getitem__(self, k):
        return self.c[k]


def frames_first(B, spec):
    """[1, 513, T] -> [T, 513]."""
    return B.transpose(B.reshape(spec, [BINS, -1]), [1, 0])


def pitch(B, t, mag):
    """Per-frame log F0 and aperiodicity of M [T, 513]. The YIN difference d(lag) = 2 (r(0) -
    r(lag)) from the autocorrelation r, normalised by its running mean; the F0 is at the first
    dip below DIP_THRESHOLD (the minimum of that dip), or at the deepest point when there is none,
    refined by a parabola. Taking the first dip rather than the deepest keeps sub-octaves from
    winning; the difference function does not depend on how strong the first harmonic is."""
    low = B.slice(mag, 1, 0, PITCH_BINS)
    r = B.matmul(B.mul(low, low), t["yin"])                               # [T, LAG_MAX + 1]
    # With the frames before and after (zero beyond the ends: the normalised difference does not
    # depend on the scale).
    padded = B.pad_rows(r, 1, 1)
    r = B.add(B.add(B.slice(padded, 0, 0, -2), B.slice(padded, 0, 1, -1)), B.slice(padded, 0, 2, END))
    d = B.mul(B.sub(B.slice(r, 1, 0, 1), B.slice(r, 1, 1, LAG_MAX + 1)), B.const(2.0))
    cum = B.cumsum(d, 1)                                                  # lags 1..LAG_MAX
    dn = B.div(B.mul(d, t.lags), B.maximum(cum, B.const(1e-12)))
    big = B.const(1e9)
    valid = B.and_(B.greater(t.lags, B.const(LAG_MIN - 0.5)), B.less(t.lags, B.const(LAG_MAX - 0.5)))
    dn = B.where(valid, dn, big)
    below = B.to_float(B.less(dn, B.const(DIP_THRESHOLD)))
    has_dip = B.greater(B.reduce_max(below, 1), B.const(0.5))            # [T, 1]
    first = B.argmax(below, 1)                                            # [T, 1]
    first_lag = B.add(B.to_float(first), B.const(1.0))
    in_dip = B.and_(B.greater(t.lags, B.sub(first_lag, B.const(0.5))),
                    B.less(t.lags, B.add(B.mul(first_lag, B.const(1.25)), B.const(0.5))))
    dip_min = B.argmax(B.sub(B.const(0.0), B.where(in_dip, dn, big)), 1)
    deepest = B.argmax(B.sub(B.const(0.0), dn), 1)
    best = B.where(has_dip, dip_min, deepest)                             # [T, 1] int64
    lo = B.maximum(B.sub(best, B.const(1, np.int64)), B.const(0, np.int64))
    hi = B.minimum(B.add(best, B.const(1, np.int64)), B.const(LAG_MAX - 1, np.int64))
    a = B.minimum(B.gather_elements(dn, lo, 1), B.const(2.0))
    b = B.gather_elements(dn, best, 1)
    c = B.minimum(B.gather_elements(dn, hi, 1), B.const(2.0))
    curv = B.add(B.sub(a, B.mul(b, B.const(2.0))), c)
    offset = B.div(B.mul(B.sub(a, c), B.const(0.5)), B.maximum(curv, B.const(1e-6)))
    offset = B.clip(offset, -0.5, 0.5)
    lag = B.add(B.add(B.to_float(best), B.const(1.0)), offset)
    log_f0 = B.sub(B.const(np.float32(np.log(SR))), B.log(lag))
    return log_f0, b


def analyse(B, t, mag, aperiodic_max=APERIODIC_MAX):
    """Per-frame log magnitude, envelope, fine structure, F0 and voicing of M [T, 513]."""
    lm = B.log(B.add(mag, B.const(EPS)))
    env = B.matmul(lm, t["lifter"])
    fine = B.sub(lm, env)
    log_f0, aperiodicity = pitch(B, t, mag)
    # Voiced: loud enough against the loudest frame, and clearly periodic.
    energy = B.reduce_sum(B.mul(mag, mag), 1)                # [T, 1]
    loud = B.and_(B.greater(energy, B.mul(B.reduce_max(energy, 0), B.const(10 ** -3.5))),
                  B.greater(energy, B.const(LOUD_FLOOR)))
    periodic = B.less(aperiodicity, B.const(aperiodic_max))
    voiced = B.to_float(B.and_(loud, periodic))
    clear = B.to_float(B.and_(loud, B.less(aperiodicity, B.const(ENVELOPE_APERIODIC_MAX))))
    return lm, env, fine, log_f0, voiced, energy, clear


def median_log_f0(B, log_f0, voiced):
    """Median of log F0 over voiced frames (ln 150 Hz when there is none)."""
    big = B.const(100.0)
    keyed = B.where(B.greater(voiced, B.const(0.5)), log_f0, big)   # unvoiced sort last
    ordered = B.sort_ascending(keyed)                                # [T, 1]
    count = B.reduce_sum(voiced, 0)                                  # [1, 1]
    mid = B.to_int(B.floor(B.mul(count, B.const(0.5))))             # [1, 1]
    mid = B.reshape(mid, [1, 1])
    picked = B.gather_elements(ordered, mid, 0)                      # [1, 1]
    return B.where(B.greater(count, B.const(0.5)), picked, B.const([[np.log(150.0)]]))


def mean_envelope(B, t, env, voiced):
    weight = B.div(voiced, B.maximum(B.reduce_sum(voiced, 0), B.const(1.0)))  # [T, 1]
    avg = B.reduce_sum(B.mul(env, weight), 0)                                   # [1, 513]
    pts = B.matmul(avg, t["to_points"])                                         # [1, 128]
    return B.sub(pts, B.reduce_mean(pts, 1))


def speaker_encoder(B, spec):
    t = Tables(B)
    mag = frames_first(B, spec)
    lm, env, fine, log_f0, voiced, energy, clear = analyse(B, t, mag)
    med = median_log_f0(B, log_f0, voiced)                     # [1, 1]
    pitch_feature = B.mul(B.sub(med, B.const([[np.log(150.0)]])), B.const(5.0))
    head = B.concat([B.sub(med, B.const([[np.log(100.0)]])),
                     B.const([[0.0, 0.0, CLONE_TIMBRE, DEFAULT_FORMANT_EXP]]), pitch_feature,
                     B.const([[0.0, 0.0]])], 1)                                        # [1, 8]
    envelope = mean_envelope(B, t, env, clear)                # [1, 128]
    tail = B.const(np.zeros((1, EMB - ENV_AT - ENV_POINTS), dtype=np.float32))
    emb = B.concat([head, envelope, tail], 1)
    return B.reshape(emb, [1, EMB, 1])



def embedding_field(B, g, index, lo, hi):
    """One value of a [1, 256, 1] embedding as [1, 1], clipped to a sane range."""
    v = B.reshape(B.slice(g, 1, index, index + 1), [1, 1])
    return B.clip(v, lo, hi)


def shift_rows(B, t, values, ratio):
    """Each row resampled along the bins: out[k] = values[k / ratio] (linear; beyond the last
    bin the value is 0). ratio is [T, 1] or [1, 1]."""
    # GatherElements does not broadcast: the positions take the values' shape.
    pos = B.expand_as(B.div(t.bins, ratio), values)             # [T, 513]
    inside = B.less(pos, B.const(float(BINS - 1)))
    pos = B.minimum(pos, B.const(float(BINS - 1) - 1e-3))
    base = B.floor(pos)
    frac = B.sub(pos, base)
    i0 = B.to_int(base)
    i1 = B.add(i0, B.const(1, np.int64))
    a = B.gather_elements(values, i0, 1)
    b = B.gather_elements(values, i1, 1)
    out = B.add(a, B.mul(B.sub(b, a), frac))
    return B.where(inside, out, B.const(0.0))


def converter(B, spec, spec_lengths, g_src, g_tgt, noise, tau):
    t = Tables(B)
    mag = frames_first(B, spec)                                          # [T, 513]
    # Frames past spec_lengths are ignored (silent).
    frame_index = B.arange_rows(mag)                                     # [T, 1]
    length = B.reshape(B.to_float(spec_lengths), [1, 1])
    live = B.to_float(B.less(frame_index, length))
    mag = B.mul(mag, live)
    lm, env, fine, log_f0, voiced, energy, clear = analyse(B, t, mag, SHIFT_APERIODIC_MAX)
    B.probe("p_env", env)
    B.probe("p_logf0", log_f0)
    B.probe("p_voiced", voiced)

    # Pitch: from the source's level to the target's, per frame.
    src_level = B.add(embedding_field(B, g_src, 0, -1.0, 2.0), B.const([[np.log(100.0)]]))
    tgt_level = B.add(embedding_field(B, g_tgt, 0, -1.0, 2.0), B.const([[np.log(100.0)]]))
    follow = embedding_field(B, g_tgt, 2, 0.0, 1.0)
    tgt_level = B.add(tgt_level, B.mul(follow, B.sub(src_level, tgt_level)))
    mono = embedding_field(B, g_tgt, 1, 0.0, 1.0)
    natural = B.sub(tgt_level, src_level)                               # [1, 1]
    flat = B.sub(tgt_level, log_f0)                                      # [T, 1]
    log_ratio = B.add(B.mul(natural, B.sub(B.const(1.0), mono)), B.mul(flat, mono))
    log_ratio = B.clip(log_ratio, float(np.log(RATIO_MIN)), float(np.log(RATIO_MAX)))
    log_ratio = B.mul(log_ratio, voiced)                                 # unvoiced: unshifted
    ratio = B.probe("p_ratio", B.exp(log_ratio))                         # [T, 1]

    # Formants move gently with the utterance's pitch ratio.
    global_ratio = B.clip(natural, float(np.log(RATIO_MIN)), float(np.log(RATIO_MAX)))
    formant_exp = embedding_field(B, g_tgt, 4, 0.0, 0.5)
    alpha = B.exp(B.mul(global_ratio, formant_exp))                      # [1, 1]

    # Timbre: the target's mean envelope against the source's, smooth and bounded.
    weight = embedding_field(B, g_tgt, 3, 0.0, 1.0)
    e_src = B.clip(B.slice(B.reshape(g_src, [1, EMB]), 1, ENV_AT, ENV_AT + ENV_POINTS), -8.0, 8.0)
    e_tgt = B.clip(B.slice(B.reshape(g_tgt, [1, EMB]), 1, ENV_AT, ENV_AT + ENV_POINTS), -8.0, 8.0)
    timbre = B.clip(B.matmul(B.sub(e_tgt, e_src), t["from_points"]), -1.2, 1.2)   # [1, 513]
    timbre = B.mul(timbre, weight)

    # New log magnitude: warped envelope + timbre + pitch-shifted fine structure, then the
    # smoothed power envelope is matched to the one wanted.
    env_warped = B.probe("p_envw", shift_rows(B, t, env, alpha))
    B.probe("p_alpha", alpha)
    B.probe("p_timbre", timbre)
    fine_shifted = B.probe("p_fines", shift_rows(B, t, fine, ratio))
    wanted_power = B.matmul(B.mul(mag, mag), t["pow_smooth"])           # [T, 513]
    wanted_log = B.add(shift_rows(B, t, B.log(B.add(wanted_power, B.const(1e-10))), alpha),
                       B.mul(timbre, B.const(2.0)))
    new_log = B.add(B.add(env_warped, timbre), fine_shifted)
    new_power = B.matmul(B.exp(B.mul(new_log, B.const(2.0))), t["pow_smooth"])
    correction = B.mul(B.sub(wanted_log, B.log(B.add(new_power, B.const(1e-10)))), B.const(0.5))
    correction = B.probe("p_corr", B.clip(correction, -3.0, 3.0))
    out_mag = B.mul(B.exp(B.add(new_log, correction)), live)
    out_mag = B.where(B.greater(out_mag, B.const(1e4)), B.const(1e4), out_mag)
    B.probe("p_outmag", out_mag)

    # Phase: harmonic start (each bin advancing by its centre frequency per hop) plus the
    # scaled noise, then fast Griffin-Lim.
    k_t = B.mul(frame_index, t.bins)                                      # [T, 513]
    phase = B.mul(k_t, B.const(np.pi * HOP / NFFT * 2))
    noise_bins = B.matmul(frames_first_noise(B, noise), t["noise_bins"])   # [T, 513]
    phase = B.add(phase, B.mul(B.mul(noise_bins, B.reshape(tau, [1, 1])), B.const(np.pi)))
    spectrum = B.probe("p_spectrum", polar(B, out_mag, phase))
    signal = griffin_lim(B, t, out_mag, spectrum)

    # Loudness: the output's RMS is the input's (measured from the input spectrogram).
    in_energy = spectrum_energy(B, mag)
    out_energy = B.reduce_sum(B.reduce_sum(B.mul(signal, signal), 1), 0)   # [1, 1]... signal [1, N]
    gain = B.sqrt(B.div(B.add(in_energy, B.const(1e-12)), B.add(out_energy, B.const(1e-12))))
    audio = B.mul(signal, gain)
    audio = B.clip(audio, -1.0, 1.0)
    return B.reshape(audio, [1, 1, -1])


def frames_first_noise(B, noise):
    return B.transpose(B.reshape(noise, [192, -1]), [1, 0])


def polar(B, magnitude, phase):
    re = B.mul(magnitude, B.cos(phase))
    im = B.mul(magnitude, B.sin(phase))
    return B.concat([B.reshape(re, [-1, BINS, 1]), B.reshape(im, [-1, BINS, 1])], 2)


def spectrum_energy(B, mag):
    """Signal energy behind a magnitude spectrogram (Parseval, periodic Hann at hop N/4: the
    squared windows overlap to 1.5)."""
    p = B.mul(mag, mag)
    edges = B.add(B.slice(p, 1, 0, 1), B.slice(p, 1, BINS - 1, BINS))
    middle = B.reduce_sum(B.slice(p, 1, 1, BINS - 1), 1)
    total = B.reduce_sum(B.add(edges, B.mul(middle, B.const(2.0))), 0)
    return B.div(total, B.const(NFFT * 1.5))


def istft(B, t, spectrum):
    """[T, 513, 2] -> the overlap-added signal [1, (T + 3) * 256] (frame t at 256 t)."""
    mirrored = B.mul(B.slice(spectrum, 1, BINS - 2, 0, -1), B.const([1.0, -1.0]))
    full = B.concat([spectrum, mirrored], 1)                              # [T, 1024, 2]
    frames = B.reshape(B.slice(B.dft(full, inverse=True), 2, 0, 1), [-1, NFFT])
    frames = B.mul(frames, t.window)
    return overlap_add(B, frames)


def overlap_add(B, frames):
    parts = []
    for q in range(4):
        block = B.slice(frames, 1, q * HOP, (q + 1) * HOP)                # [T, 256]
        parts.append(B.pad_rows(block, q, 3 - q))                         # [T + 3, 256]
    total = B.add(B.add(parts[0], parts[1]), B.add(parts[2], parts[3]))
    return B.reshape(total, [1, -1])


def stft(B, t, signal):
    """[1, (T + 3) * 256] -> [T, 513, 2]."""
    blocks = B.reshape(signal, [-1, HOP])                                  # [T + 3, 256]
    cols = [B.slice(blocks, 0, q, (q - 3) if q < 3 else END) for q in range(4)]
    frames = B.mul(B.concat(cols, 1), t.window)                            # [T, 1024]
    return B.dft(B.reshape(frames, [-1, NFFT, 1]), onesided=True)


def magnitude(B, spectrum):
    sq = B.reduce_sum(B.mul(spectrum, spectrum), 2)                        # [T, 513, 1]
    return B.sqrt(B.add(sq, B.const(1e-20)))


def griffin_lim(B, t, target_mag, spectrum):
    mag3 = B.reshape(target_mag, [-1, BINS, 1])
    # The squared windows overlap-added: 1.5 inside, less at both ends.
    ones = B.add(B.mul(B.slice(target_mag, 1, 0, 1), B.const(0.0)), B.const(1.0))   # [T, 1]
    win_frames = B.mul(ones, B.mul(t.window, t.window))                             # [T, 1024]
    wsum = B.maximum(overlap_add(B, win_frames), B.const(1e-3))
    previous = None
    x = spectrum
    for _ in range(GL_ITERATIONS):
        signal = B.div(istft(B, t, x), wsum)
        projected = stft(B, t, signal)
        if previous is None:
            accelerated = projected
        else:
            accelerated = B.add(projected, B.mul(B.sub(projected, previous), B.const(GL_MOMENTUM)))
        previous = projected
        x = B.mul(B.div(accelerated, magnitude(B, accelerated)), mag3)
    signal = B.div(istft(B, t, x), wsum)
    return B.slice(signal, 1, 384, -384)


def stock_voices():
    """The three stock voices as embeddings (see the layout at the top of this file)."""
    female = np.zeros(EMB, dtype=np.float32)
    female[0] = np.log(210.0 / 100.0)   # a higher voice around 210 Hz
    female[4] = DEFAULT_FORMANT_EXP     # formants follow the pitch a little: brighter
    deep = np.zeros(EMB, dtype=np.float32)
    deep[0] = np.log(95.0 / 100.0)      # a low male voice around 95 Hz
    deep[4] = DEFAULT_FORMANT_EXP
    robot = np.zeros(EMB, dtype=np.float32)
    robot[1] = 1.0                      # monotone ...
    robot[2] = 1.0                      # ... held at the speaker's own pitch level
    return {"female": female, "deep": deep, "robot": robot}
