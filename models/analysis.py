"""What the models measure in a magnitude spectrogram: per-frame pitch, voicing, envelopes and
harmonicity, and the speaker-level statistics the encoder writes into an embedding."""
import numpy as np

from constants import *  # noqa: F401,F403
from graph import END


def frames_first(B, spec):
    """[1, 513, T] -> [T, 513]."""
    return B.transpose(B.reshape(spec, [BINS, -1]), [1, 0])


def without_offset(B, mag):
    """M [T, 513] with a DC offset or a rumble taken out of bins 0 and 1 (below 43 Hz, under any
    voice). A voice's spectrum falls away below its first harmonic: bins 0 and 1 stay within
    OFFSET_MARGIN of bin 2 and are kept as they are. An offset stands far above that (left in,
    it would count as loudness, so that every pause is loud and the speech sinks under the
    background, bend the pitch tracker's difference function, and be spread by the level
    matching into a rumble): the further above, the lower it is set, margin^2 / excess times
    bin 2's level, so that the mapping has no step at the margin."""
    reference = B.maximum(B.slice(mag, 1, 2, 3), B.const(1e-12))         # [T, 1]
    excess = B.div(B.slice(mag, 1, 0, 2), reference)                     # [T, 2]
    kept = B.minimum(excess, B.div(B.const(OFFSET_MARGIN ** 2), excess))
    return B.concat([B.mul(kept, reference), B.slice(mag, 1, 2, BINS)], 1)


def pitch(B, t, mag):
    """Per-frame log F0 and aperiodicity of M [T, 513], from whichever of two analyses finds the
    frame more periodic: the frame with its neighbours (about 70 ms, steadier through breathy and
    noisy stretches) or the frame alone (46 ms). Where the pitch moves fast the neighbours' periods
    differ, their sum has no clear dip, and a clearly voiced frame would read as noise or an
    octave off; the frame alone still holds one period. Also the aperiodicity of the steadier
    analysis alone, [T, 1], which holds still through a vowel and moves less with the pitch."""
    low = B.slice(mag, 1, 0, PITCH_BINS)
    single = B.mul(B.matmul(B.mul(low, low), t["yin"]), t["window_unbias"])  # [T, LAG_MAX + 1]
    # Zero beyond the ends: the normalised difference does not depend on the scale.
    padded = B.pad_rows(single, 1, 1)
    with_neighbours = B.add(B.add(B.slice(padded, 0, 0, -2), B.slice(padded, 0, 1, -1)),
                            B.slice(padded, 0, 2, END))
    steady_f0, steady_aperiodicity = pitch_from_autocorrelation(B, t, with_neighbours)
    alone_f0, alone_aperiodicity = pitch_from_autocorrelation(B, t, single)
    alone = B.less(alone_aperiodicity, steady_aperiodicity)
    return (B.where(alone, alone_f0, steady_f0),
            B.where(alone, alone_aperiodicity, steady_aperiodicity), steady_aperiodicity)


def pitch_from_autocorrelation(B, t, r):
    """Log F0 and aperiodicity [T, 1] from autocorrelations r [T, LAG_MAX + 1]. The YIN
    difference d(lag) = 2 (r(0) - r(lag)), normalised by its running mean; the F0 is at the first
    dip below DIP_THRESHOLD (the minimum of that dip), or at the deepest point when there is none,
    refined by a parabola. Taking the first dip rather than the deepest keeps sub-octaves from
    winning; the difference function does not depend on how strong the first harmonic is. The
    aperiodicity is the normalised difference at the chosen lag."""
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
    dip_min = B.argmin(B.where(in_dip, dn, big), 1)
    deepest = B.argmin(dn, 1)
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


def analyse(B, t, mag):
    """Per-frame log magnitude, envelope, fine structure, F0 and voicing of M [T, 513]."""
    lm = B.log(B.add(mag, B.const(EPS)))
    env = B.matmul(B.matmul(lm, t["cepstrum"]), t["lift_back"])
    fine = B.sub(lm, env)
    log_f0, aperiodicity, steady_aperiodicity = pitch(B, t, mag)
    # Voiced: loud enough against the loudest frame, and clearly periodic.
    energy = B.reduce_sum(B.mul(mag, mag), 1)                # [T, 1]
    loud = B.and_(B.greater(energy, B.mul(B.reduce_max(energy, 0), B.const(10 ** -3.5))),
                  B.greater(energy, B.const(LOUD_FLOOR)))
    periodic = B.less(aperiodicity, B.const(APERIODIC_MAX))
    voiced = B.to_float(B.and_(loud, periodic))
    # A speaker's timbre comes from steady vowels: a frame that is periodic over its neighbours too.
    clear = B.to_float(B.and_(loud, B.less(steady_aperiodicity, B.const(ENVELOPE_APERIODIC_MAX))))
    return lm, env, fine, log_f0, voiced, energy, clear


def above_background(B, energy):
    """[T, 1] bool: frames louder than the recording's steady background. The background is the
    level BACKGROUND_SHARE of the frames stay at or below (a hum or a fan under the pauses); a frame
    counts when it is BACKGROUND_MARGIN_DB above that, or within BACKGROUND_CAP_DB of the loudest
    (so that a recording with no pauses, or a steady tone, keeps its frames)."""
    ordered = B.sort_ascending(energy)                                        # [T, 1]
    frames = B.reduce_sum(B.to_float(B.greater(energy, B.const(-1.0))), 0)    # [1, 1]
    at = B.reshape(B.to_int(B.floor(B.mul(frames, B.const(BACKGROUND_SHARE)))), [1, 1])
    background = B.gather_elements(ordered, at, 0)                            # [1, 1]
    floor = B.minimum(B.mul(background, B.const(10 ** (BACKGROUND_MARGIN_DB / 10))),
                      B.mul(B.reduce_max(energy, 0), B.const(10 ** (-BACKGROUND_CAP_DB / 10))))
    return B.greater(energy, floor)


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


def upper_envelope(B, t, lm, env):
    """An envelope through the harmonic peaks rather than the mean of peaks and valleys: each
    round lifts the log spectrum to the last smooth curve where it lies below it, and smooths
    again (the iterative "true envelope"). Harmonics placed under it keep the source's levels
    wherever the new pitch puts them, below the old F0 too."""
    for _ in range(TRUE_ENVELOPE_ROUNDS):
        env = B.matmul(B.matmul(B.maximum(lm, env), t["fine_cepstrum"]), t["fine_lift_back"])
    return env


def harmonicity(B, t, fine, log_f0):
    """How clearly each bin of a frame holds harmonics of its F0, 0 to 1: the fine structure's
    component at the harmonic spacing (demodulated, smoothed over a few harmonics) against its
    whole power. Breath and fricatives above the voiced band come out low."""
    spacing = B.div(B.exp(log_f0), B.const(BIN_HZ))                      # [T, 1] bins
    arg = B.mul(B.div(t.bins, spacing), B.const(2 * np.pi))
    c = t.smooth(B.mul(fine, B.cos(arg)), "harm_smooth")
    s = t.smooth(B.mul(fine, B.sin(arg)), "harm_smooth")
    p = t.smooth(B.mul(fine, fine), "harm_smooth")
    rho = B.sqrt(B.div(B.mul(B.add(B.mul(c, c), B.mul(s, s)), B.const(2.0)),
                       B.add(p, B.const(1e-6))))
    return B.clip(B.div(B.sub(rho, B.const(HARM_RHO_LO)), B.const(HARM_RHO_HI - HARM_RHO_LO)),
                  0.0, 1.0)


def median3(B, x):
    """Each row's median with its neighbours' (the ends repeat themselves): one frame's octave
    error does not reach the synthesised pitch."""
    padded = B.concat([B.slice(x, 0, 0, 1), x, B.slice(x, 0, -1, END)], 0)
    a, b, c = B.slice(padded, 0, 0, -2), B.slice(padded, 0, 1, -1), B.slice(padded, 0, 2, END)
    return B.maximum(B.minimum(a, b), B.minimum(B.maximum(a, b), c))


def fold_octaves(B, log_f0, level):
    """A frame further than OCTAVE_FOLD from the speaker's level (log, [1, 1]) moves by whole
    octaves towards it: the tracker's octave slips go that far, a speaker's intonation rarely
    does, and a harmonic series synthesised an octave off is heard at once."""
    d = B.sub(log_f0, level)
    reach = B.sub(B.abs(d), B.const(float(np.log(OCTAVE_FOLD))))
    octaves = B.floor(B.add(B.div(reach, B.const(float(np.log(2.0)))), B.const(1.0)))
    octaves = B.mul(octaves, B.to_float(B.greater(reach, B.const(0.0))))
    sign = B.sub(B.mul(B.to_float(B.greater(d, B.const(0.0))), B.const(2.0)), B.const(1.0))
    return B.sub(log_f0, B.mul(B.mul(sign, octaves), B.const(float(np.log(2.0)))))


def smooth_track(B, log_f0, voiced):
    """Log F0 [T, 1] averaged over the voiced frames among each frame's TRACK_SMOOTH neighbours
    on either side (weights falling linearly from the centre): a tracker's frame-to-frame jitter
    is not the speaker's, and harmonics that wander with it lose their period. Frames with no
    voiced neighbour keep their own value."""
    taps = TRACK_SMOOTH
    weighted, weight = None, None
    for d in range(-taps, taps + 1):
        w = float(taps + 1 - abs(d))
        f = shifted_rows(B, log_f0, d)
        v = B.mul(shifted_rows(B, voiced, d), B.const(w))
        weighted = B.mul(f, v) if weighted is None else B.add(weighted, B.mul(f, v))
        weight = v if weight is None else B.add(weight, v)
    smooth = B.div(weighted, B.maximum(weight, B.const(1e-6)))
    return B.where(B.greater(weight, B.const(0.5)), smooth, log_f0)


def shifted_rows(B, x, d):
    """Row t of the result is row t + d of x [T, 1], the ends repeated."""
    if d == 0:
        return x
    if d > 0:
        return B.concat([B.slice(x, 0, d, END)] + [B.slice(x, 0, -1, END)] * d, 0)
    return B.concat([B.slice(x, 0, 0, 1)] * (-d) + [B.slice(x, 0, 0, d)], 0)


def source_band(B, mag):
    """[1, 513]: 1 where the source's long-term spectrum holds anything, fading to 0 where it
    lies BAND_FLOOR_DB below its strongest bin: a conversion makes nothing above the band the
    source was recorded in (16 kHz speech has nothing above 8 kHz; a formant shift or the
    smoothing of the level must not put a band there)."""
    average = B.reduce_mean(B.mul(mag, mag), 0)                          # [1, 513]
    relative = B.log(B.add(B.div(average, B.add(B.reduce_max(average, 1), B.const(1e-30))),
                           B.const(1e-30)))
    db = B.mul(relative, B.const(10.0 / np.log(10.0)))
    return B.clip(B.div(B.sub(db, B.const(BAND_FLOOR_DB)), B.const(BAND_FADE_DB)), 0.0, 1.0)


def spectrum_energy(B, mag):
    """Signal energy behind a magnitude spectrogram (Parseval, periodic Hann at hop N/4: the
    squared windows overlap to 1.5)."""
    p = B.mul(mag, mag)
    edges = B.add(B.slice(p, 1, 0, 1), B.slice(p, 1, BINS - 1, BINS))
    middle = B.reduce_sum(B.slice(p, 1, 1, BINS - 1), 1)
    total = B.reduce_sum(B.add(edges, B.mul(middle, B.const(2.0))), 0)
    return B.div(total, B.const(NFFT * 1.5))
