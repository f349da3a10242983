"""The default voice models, written once against graph.py's backends.

Embedding layout (256 float32; the rest are zero):
  [0]       ln(F0 / 100 Hz): the speaker's typical pitch (median F0 over voiced frames above the
            recording's steady background)
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

from analysis import (above_background, analyse, fold_octaves, frames_first, harmonicity,
                      mean_envelope, median3, median_log_f0, smooth_track, source_band,
                      spectrum_energy, upper_envelope, without_offset)
from constants import *  # noqa: F401,F403
from synthesis import (harmonic_spectrum, noise_spectrum, peak_limit, spectrogram, synthesise,
                       window_sum)
from tables import Tables, hann_ola_sign, noise_ola_power


def speaker_encoder(B, spec):
    t = Tables(B)
    mag = without_offset(B, frames_first(B, spec))
    lm, env, fine, log_f0, voiced, energy, clear = analyse(B, t, mag)
    speaking = B.mul(voiced, B.to_float(above_background(B, energy)))
    med = median_log_f0(B, log_f0, speaking)                   # [1, 1]
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


def shift_rows(B, t, values, ratio, floor_bins=None):
    """Each row resampled along the bins: out[k] = values[k / ratio] (linear). Beyond the last
    bin a row keeps its last value (in the log domain 0 would be a loud, flat band); below
    `floor_bins` ([T, 1], optional) it holds the value there."""
    # GatherElements does not broadcast: the positions take the values' shape.
    pos = B.expand_as(B.div(t.bins, ratio), values)             # [T, 513]
    if floor_bins is not None:
        pos = B.maximum(pos, floor_bins)
    pos = B.minimum(pos, B.const(float(BINS - 1) - 1e-3))
    base = B.floor(pos)
    frac = B.sub(pos, base)
    i0 = B.to_int(base)
    i1 = B.add(i0, B.const(1, np.int64))
    a = B.gather_elements(values, i0, 1)
    b = B.gather_elements(values, i1, 1)
    return B.add(a, B.mul(B.sub(b, a), frac))


def converter(B, spec, spec_lengths, g_src, g_tgt, noise, tau):
    t = Tables(B)
    mag = without_offset(B, frames_first(B, spec))                       # [T, 513]
    # Frames past spec_lengths are ignored (silent).
    live = B.to_float(B.less(B.arange_rows(mag), B.reshape(B.to_float(spec_lengths), [1, 1])))
    mag = B.mul(mag, live)
    lm, env, fine, log_f0, voiced, energy, clear = analyse(B, t, mag)
    src_level = pitch_level(B, g_src)
    voiced = B.mul(voiced, within_reach(B, log_f0, src_level))
    B.probe("p_logf0", log_f0)
    B.probe("p_voiced", voiced)
    plan = voice_plan(B, log_f0, voiced, src_level, g_tgt)

    # The new envelope: the upper envelope warped, with the timbre; its level is set below.
    # Below a voiced frame's own F0 the source holds nothing to measure; a lower voice's first
    # harmonics take the level of the source's first.
    hold = B.mul(B.div(B.exp(plan.track), B.const(BIN_HZ)), voiced)      # [T, 1] bins
    timbre = timbre_curve(B, t, g_src, g_tgt)
    env_new = B.add(shift_rows(B, t, upper_envelope(B, t, lm, env), plan.alpha, hold), timbre)
    B.probe("p_envw", env_new)
    harmonics, noise_part = voice_parts(B, t, plan, env_new, fine, lm, voiced, noise, tau)
    # The source as it would sound at the new pitch: its envelope warped as the new one is, its
    # fine structure (the harmonics, in voiced frames) stretched by the pitch ratio.
    stretch = B.exp(B.mul(plan.log_ratio, voiced))                      # [T, 1]
    kept_log = B.add(B.add(shift_rows(B, t, env, plan.alpha), shift_rows(B, t, fine, stretch)),
                     timbre)
    h_power, n_power = power(B, harmonics), power(B, noise_part)
    kept = keep_structure(B, plan, kept_log, B.add(h_power, n_power))   # [T, 513]
    # What will be heard, for the level below, from the same powers: noise with independent
    # phases keeps only part of its power through the overlap-add, harmonics with coherent
    # phases keep all of it.
    heard = B.mul(B.add(h_power, B.mul(n_power, B.const(noise_ola_power()))), B.mul(kept, kept))
    harmonics = (B.mul(harmonics[0], kept), B.mul(harmonics[1], kept))
    noise_part = (B.mul(noise_part[0], kept), B.mul(noise_part[1], kept))

    # The level: the smoothed power of what will be heard matched to the source's, warped and
    # with the timbre.
    wanted_power = t.smooth(B.mul(mag, mag), "pow_smooth")              # [T, 513]
    wanted_log = B.add(shift_rows(B, t, B.log(B.add(wanted_power, B.const(1e-10))), plan.alpha,
                                  hold), B.mul(timbre, B.const(2.0)))
    new_power = t.smooth(heard, "pow_smooth")
    correction = B.mul(B.sub(wanted_log, B.log(B.add(new_power, B.const(1e-10)))), B.const(0.5))
    band = B.mul(source_band(B, mag), t.speech_band)                     # [1, 513]
    gain = B.mul(B.mul(B.exp(B.clip(correction, -8.0, 8.0)), live), band)
    gain = B.mul(gain, B.const(hann_ola_sign()))                         # frame centre phase
    re = B.mul(B.add(harmonics[0], noise_part[0]), gain)
    im = B.mul(B.add(harmonics[1], noise_part[1]), gain)
    spectrum = B.concat([B.reshape(re, [-1, BINS, 1]), B.reshape(im, [-1, BINS, 1])], 2)
    sums = window_sum(B, t, mag)
    signal = synthesise(B, t, spectrum, sums)
    # Where the source's magnitude is kept, the made phases do not quite fit it: the signal they
    # make has a spectrogram of its own. One step towards a signal that has the kept one takes
    # words back; the other conversions skip it.
    signal = B.branch(B.greater(plan.keep, B.const(0.0)),
                      lambda: consistent_phases(B, t, spectrum, signal, sums), lambda: signal)

    # Loudness: the output's RMS is the input's (measured from the input spectrogram).
    in_energy = spectrum_energy(B, mag)
    out_energy = B.reduce_sum(B.reduce_sum(B.mul(signal, signal), 1), 0)   # [1, 1]
    level = B.sqrt(B.div(B.add(in_energy, B.const(1e-12)), B.add(out_energy, B.const(1e-12))))
    audio = B.clip(peak_limit(B, B.mul(signal, level)), -1.0, 1.0)
    return B.reshape(audio, [1, 1, -1])


def keep_structure(B, plan, kept_log, made_power):
    """The factor ([T, 513]) that puts, at the source's own pitch level, the source's spectrum
    (warped, with the timbre) in place of the made one, bin by bin, keeping the made one's
    phases: the source's detail (its exact harmonic levels, its transitions between sounds)
    carries the words better than any envelope. It scales harmonics and noise alike, so their
    shares of the power stay as made; it is 1 wherever nothing is kept."""
    made = B.log(B.add(made_power, B.const(1e-20)))
    towards = B.clip(B.sub(kept_log, B.mul(made, B.const(0.5))), -8.0, 8.0)
    return B.exp(B.mul(towards, plan.keep))


def consistent_phases(B, t, spectrum, signal, sums):
    """One step of Griffin-Lim: the spectrum's magnitudes under the phases of the signal's own
    spectrogram, made into a signal as the spectrum was (the synthesis window, shorter than the
    analysis window, keeps onsets where they are; the analysis window there smeared them and
    lost words)."""
    heard = spectrogram(B, t, signal)                                    # [T, 513, 2]
    wanted = B.sqrt(B.reduce_sum(B.mul(spectrum, spectrum), 2))          # [T, 513, 1]
    has = B.sqrt(B.add(B.reduce_sum(B.mul(heard, heard), 2), B.const(1e-20)))
    return synthesise(B, t, B.mul(heard, B.div(wanted, has)), sums)


def pitch_level(B, g):
    """An embedding's pitch level, ln F0 as [1, 1]."""
    return B.add(embedding_field(B, g, 0, -1.0, 2.0), B.const([[np.log(100.0)]]))


def within_reach(B, log_f0, level):
    """[T, 1], 1 where a frame's pitch lies within VOICE_REACH of the speaker's level (log, [1, 1]).
    Further off it is no voice of this speaker: a mains hum under the pauses, a whistle, or the
    tracker off by more than an octave. Left unvoiced, such a frame keeps its own fine structure
    where it stands; voiced, it would be folded by octaves into a buzz near the new voice's pitch."""
    off = B.abs(B.sub(log_f0, level))
    return B.to_float(B.less(off, B.const(float(np.log(VOICE_REACH)))))


class VoicePlan:
    """What the two embeddings ask of a conversion: each frame's measured log F0, the pitch track
    to move (folded and smoothed), the new log F0 per frame, the utterance's log pitch ratio, the
    formant factor, the monotone amount and the share of the source's spectrum kept."""

    def __init__(self, measured, track, new_log_f0, log_ratio, alpha, mono, keep):
        self.measured, self.track, self.new_log_f0 = measured, track, new_log_f0
        self.log_ratio, self.alpha, self.mono, self.keep = log_ratio, alpha, mono, keep


def voice_plan(B, log_f0, voiced, src_level, g_tgt):
    """From the source's pitch level (ln F0, [1, 1]) to the target's, per frame; "robot"
    (monotone 1) holds every frame at the target level. Formants move gently with the
    utterance's ratio."""
    tgt_level = pitch_level(B, g_tgt)
    follow = embedding_field(B, g_tgt, 2, 0.0, 1.0)
    tgt_level = B.add(tgt_level, B.mul(follow, B.sub(src_level, tgt_level)))
    mono = embedding_field(B, g_tgt, 1, 0.0, 1.0)
    natural = B.sub(tgt_level, src_level)                               # [1, 1]
    ratio = B.clip(natural, float(np.log(RATIO_MIN)), float(np.log(RATIO_MAX)))
    keep = keep_share(B, ratio, mono)
    # Where the source's harmonics are kept, the made ones (whose phases they take) follow them
    # frame by frame rather than the smoothed track.
    folded = fold_octaves(B, median3(B, log_f0), src_level)
    smoothed = smooth_track(B, folded, voiced)
    track = B.add(smoothed, B.mul(B.sub(folded, smoothed), keep))
    flat = B.sub(tgt_level, track)                                       # [T, 1]
    log_ratio = B.add(B.mul(natural, B.sub(B.const(1.0), mono)), B.mul(flat, mono))
    log_ratio = B.clip(log_ratio, float(np.log(RATIO_MIN)), float(np.log(RATIO_MAX)))
    new_log_f0 = B.probe("p_newf0", B.add(track, log_ratio))             # [T, 1]
    formant_exp = embedding_field(B, g_tgt, 4, 0.0, 0.5)
    alpha = B.exp(B.mul(ratio, formant_exp))                             # [1, 1]
    return VoicePlan(log_f0, track, new_log_f0, ratio, alpha, mono, keep)


def keep_share(B, log_ratio, mono):
    """How much of the source's own spectrum a conversion keeps ([1, 1]): all of it at the same
    pitch level, falling linearly in log ratio to none at KEEP_RATIO either way; none for a
    monotone voice, whose every frame moves."""
    near = B.sub(B.const(1.0), B.div(B.abs(log_ratio), B.const(float(np.log(KEEP_RATIO)))))
    return B.mul(B.clip(near, 0.0, 1.0), B.sub(B.const(1.0), mono))


def timbre_curve(B, t, g_src, g_tgt):
    """The target's mean envelope against the source's, smooth and bounded, times the timbre
    weight: [1, 513] in log magnitude."""
    weight = embedding_field(B, g_tgt, 3, 0.0, 1.0)
    e_src = B.clip(B.slice(B.reshape(g_src, [1, EMB]), 1, ENV_AT, ENV_AT + ENV_POINTS), -8.0, 8.0)
    e_tgt = B.clip(B.slice(B.reshape(g_tgt, [1, EMB]), 1, ENV_AT, ENV_AT + ENV_POINTS), -8.0, 8.0)
    timbre = B.clip(B.matmul(B.sub(e_tgt, e_src), t["from_points"]), -1.2, 1.2)   # [1, 513]
    return B.mul(timbre, weight)


def voice_parts(B, t, plan, env_new, fine, lm, voiced, noise, tau):
    """The harmonics and the noise of the new voice, each as (real, imaginary) [T, 513], in the
    shares the source's harmonicity gives each bin of a voiced frame (power complementary)."""
    # Harmonicity is read at the frame's own F0, where its fine structure holds the harmonics. The
    # track can lie an octave from it (folded towards the speaker's level), and read there every
    # other harmonic cancels: a voiced stretch would come out as noise.
    # A monotone voice is a steady buzz: its voiced frames are harmonics throughout.
    share = B.mul(B.maximum(harmonicity(B, t, fine, plan.measured), plan.mono), voiced)  # [T, 513]
    B.probe("p_harm", share)
    harmonics = harmonic_spectrum(B, t, env_new, plan.new_log_f0, voiced)
    # Noise keeps the source's own fine structure, where it stands, in frames that hold no pitch:
    # there its detail is the room's, the hum's and the consonant's, none of which a new voice
    # changes (moved by the pitch ratio, the background sounds processed). In voiced frames the
    # noise is smooth.
    noise_log = B.add(env_new, B.mul(fine, B.sub(B.const(1.0), voiced)))
    noise_part = noise_spectrum(B, t, noise_log, lm, noise, tau)
    rest = B.sqrt(B.maximum(B.sub(B.const(1.0), B.mul(share, share)), B.const(0.0)))
    return ((B.mul(harmonics[0], share), B.mul(harmonics[1], share)),
            (B.mul(noise_part[0], rest), B.mul(noise_part[1], rest)))


def power(B, part):
    re, im = part
    return B.add(B.mul(re, re), B.mul(im, im))


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
