"""Making the converter's output: harmonics and noise as spectra frame by frame, overlap-added into
a signal, and held below full scale."""
import numpy as np

from constants import *  # noqa: F401,F403
from graph import END


def harmonic_spectrum(B, t, env, log_f0, voiced):
    """The spectrum of harmonics of F0 (per frame) under the envelope (log, per bin): each
    harmonic a Hann main lobe at its own frequency, its phase the harmonic's number times the
    fundamental's phase integrated from frame to frame, plus the envelope's minimum phase, so
    that consecutive frames overlap-add into clean partials. Real and imaginary parts [T, 513]."""
    f0 = B.exp(log_f0)                                                   # [T, 1] Hz
    spacing = B.div(f0, B.const(BIN_HZ))                                 # bins
    # The fundamental's phase at each frame's centre, in cycles, summed in double precision
    # (the sum grows with the signal; a harmonic's phase is a multiple of its fraction).
    step = B.to_double(B.mul(B.mul(f0, voiced), B.const(HOP / SR)))
    cycles = B.cumsum(step, 0)
    fraction = B.to_float(B.sub(cycles, B.floor(cycles)))               # [T, 1]
    env_phase = B.matmul(B.matmul(env, t["cepstrum"]), t["min_phase"])  # [T, 513]
    amplitude = B.exp(env)
    nearest = B.round(B.div(t.bins, spacing))                            # [T, 513]
    re = im = None
    for step_h in (-1.0, 0.0, 1.0):
        h = B.add(nearest, B.const(step_h))
        offset = B.sub(t.bins, B.mul(h, spacing))
        lobe = B.mul(hann_lobe(B, offset), B.to_float(B.greater(h, B.const(0.5))))
        turns = B.mul(h, fraction)
        phase = B.add(B.mul(B.sub(turns, B.floor(turns)), B.const(2 * np.pi)), env_phase)
        a = B.mul(amplitude, lobe)
        r, i = B.mul(a, B.cos(phase)), B.mul(a, B.sin(phase))
        re = r if re is None else B.add(re, r)
        im = i if im is None else B.add(im, i)
    return re, im


def hann_lobe(B, offset):
    """The Hann window's main lobe at a distance d from its peak (bins), peak 1, zero from
    |d| = 2 on: cos^2(pi d / 4), within 0.025 of the exact sin(pi d) / (pi d (1 - d^2)) and
    without its removable singularities."""
    d = B.minimum(B.abs(offset), B.const(2.0))
    return B.add(B.mul(B.cos(B.mul(d, B.const(np.pi / 2))), B.const(0.5)), B.const(0.5))


def noise_spectrum(B, t, env, lm, noise, tau):
    """Noise under the envelope: a phase for every bin that the input's own log magnitude
    scatters (so the same input gives the same noise, wherever a piece of it starts), plus
    pi x tau x "noise". Real and imaginary parts [T, 513]."""
    scatter = B.add(B.mul(lm, B.const(NOISE_SCATTER)), t.bin_offsets)
    phase = B.mul(B.sub(scatter, B.floor(scatter)), B.const(2 * np.pi))
    noise_bins = B.matmul(frames_first_noise(B, noise), t["noise_bins"])   # [T, 513]
    phase = B.add(phase, B.mul(B.mul(noise_bins, B.reshape(tau, [1, 1])), B.const(np.pi)))
    amplitude = B.exp(env)
    return (hann_smear(B, B.mul(amplitude, B.cos(phase))),
            hann_smear(B, B.mul(amplitude, B.sin(phase))))


def hann_smear(B, x):
    """The spectrum [T, 513] of the frame windowed by the analysis window, for a spectrum whose
    phases refer to the frame's centre: 1/4, 1/2, 1/4 over neighbouring bins (the ends mirror).
    Noise then carries the window as the harmonics' lobes do, and one synthesis serves both."""
    left = B.concat([B.slice(x, 1, 1, 2), B.slice(x, 1, 0, BINS - 1)], 1)
    right = B.concat([B.slice(x, 1, 1, BINS), B.slice(x, 1, BINS - 2, BINS - 1)], 1)
    return B.add(B.mul(x, B.const(0.5)), B.mul(B.add(left, right), B.const(0.25)))


def frames_first_noise(B, noise):
    return B.transpose(B.reshape(noise, [192, -1]), [1, 0])


def istft(B, t, spectrum):
    """[T, 513, 2] -> the overlap-added signal [1, (T + 3) * 256] (frame t at 256 t)."""
    mirrored = B.mul(B.slice(spectrum, 1, BINS - 2, 0, -1), B.const([1.0, -1.0]))
    full = B.concat([spectrum, mirrored], 1)                              # [T, 1024, 2]
    frames = B.reshape(B.slice(B.dft(full, inverse=True), 2, 0, 1), [-1, NFFT])
    return overlap_add(B, B.mul(frames, t.synthesis))


def window_sum(B, t, rows):
    """The windows each frame ends up with (analysis times synthesis), overlap-added,
    [1, (T + 3) * 256]; less at both ends."""
    ones = B.add(B.mul(B.slice(rows, 1, 0, 1), B.const(0.0)), B.const(1.0))   # [T, 1]
    return B.maximum(overlap_add(B, B.mul(ones, B.mul(t.window, t.synthesis))), B.const(1e-3))


def synthesise(B, t, spectrum, sums):
    """[T, 513, 2] -> the heard signal [1, 256 T]: the frames overlap-added and normalised by
    `sums` (window_sum's), frame t starting at sample 256 t - 384 as the spectrogram's does."""
    return B.slice(B.div(istft(B, t, spectrum), sums), 1, 384, -384)


def spectrogram(B, t, signal):
    """The heard signal [1, 256 T] as the analysis sees it: [T, 513, 2], frame t from sample
    256 t - 384 (zeros beyond the ends), windowed by the analysis window."""
    edge = B.const(np.zeros((1, NFFT // 2 - HOP // 2), dtype=np.float32))   # 384 samples
    blocks = B.reshape(B.concat([edge, signal, edge], 1), [-1, HOP])    # [T + 3, 256]
    frames = B.concat([B.slice(blocks, 0, q, q - 3 if q < 3 else END) for q in range(4)], 1)
    return B.dft(B.reshape(B.mul(frames, t.window), [-1, NFFT, 1]), onesided=True)


def overlap_add(B, frames):
    parts = []
    for q in range(4):
        block = B.slice(frames, 1, q * HOP, (q + 1) * HOP)                # [T, 256]
        parts.append(B.pad_rows(block, q, 3 - q))                         # [T + 3, 256]
    total = B.add(B.add(parts[0], parts[1]), B.add(parts[2], parts[3]))
    return B.reshape(total, [1, -1])


def peak_limit(B, signal):
    """[1, 256 T] held below PEAK_CEILING without clipping: each 256-sample block gets the gain
    that brings its peak to the ceiling (1 where it is below), the smallest of its own and its
    neighbours', ramped linearly to the next block's, so that no sample gets more than its own
    block needs and the gain never jumps. Coherent harmonics can peak higher than the speech
    they replace at the same loudness."""
    blocks = B.reshape(signal, [-1, HOP])                                  # [T, 256]
    peak = B.reduce_max(B.abs(blocks), 1)                                  # [T, 1]
    need = B.minimum(B.div(B.const(PEAK_CEILING), B.maximum(peak, B.const(1e-9))), B.const(1.0))
    padded = B.concat([B.slice(need, 0, 0, 1), need, B.slice(need, 0, -1, END)], 0)
    gain = B.minimum(B.minimum(B.slice(padded, 0, 0, -2), B.slice(padded, 0, 1, -1)),
                     B.slice(padded, 0, 2, END))
    following = B.concat([B.slice(gain, 0, 1, END), B.slice(gain, 0, -1, END)], 0)
    ramp = B.const((np.arange(HOP, dtype=np.float32) / HOP)[None, :])
    gains = B.add(gain, B.mul(B.sub(following, gain), ramp))               # [T, 256]
    return B.reshape(B.mul(blocks, gains), [1, -1])
