"""The numbers the default models are built from: the signal's geometry, the embedding's layout
and every tuning constant, in one place (models/README.md says how they were chosen)."""
import numpy as np

SR = 22050
NFFT = 1024
HOP = 256
BINS = NFFT // 2 + 1
BIN_HZ = SR / NFFT
EMB = 256
ENV_AT = 8
ENV_POINTS = 128
F0_MIN, F0_MAX = 60.0, 420.0
# Bins 0 and 1 of a voice's spectrum stay within this factor of bin 2's magnitude (every frame of
# the corpus's speech does); an offset or a rumble stands further above (analysis.without_offset).
OFFSET_MARGIN = 10.0
# Pitch ratios the converter applies: from a 250 Hz voice to 95 Hz (0.38) up to an 80 Hz voice to
# 210 Hz (2.6), with room on both sides.
RATIO_MIN, RATIO_MAX = 0.33, 3.0
LIFTER_Q = 36
EPS = 1e-5
# The pitch tracker (a YIN difference function computed from the power spectrum): bins up to
# 4 kHz, each frame's autocorrelation alone (46 ms, which follows a fast rise) and averaged with
# its neighbours' (about 70 ms, steadier), whichever is more periodic; the first dip of the
# normalised difference below DIP_THRESHOLD, and a frame voiced when that dip is below
# APERIODIC_MAX (and the frame is loud).
# The dip threshold was chosen on speakers 1-3 of the corpus against aubio's yinfft; the voicing
# threshold on half of the LibriSpeech speakers, checked on the other half (models/README.md).
# The encoder measures a speaker's pitch on the frames the converter moves.
PITCH_BINS = 187
LAG_MIN = int(SR / F0_MAX)           # 52
LAG_MAX = int(np.ceil(SR / F0_MIN))  # 368
DIP_THRESHOLD = 0.15
APERIODIC_MAX = 0.6
# Half of the analysis window's decay with lag is taken out of each autocorrelation (as a power
# of the window's own): otherwise a low voice's longer period reads as less periodic than a high
# voice's, and its frames fall to noise.
WINDOW_UNBIAS = 0.5
# A speaker's pitch is the median over voiced frames above the recording's steady background
# (analysis.above_background): a hum under the pauses reads as periodic, and is no voice.
BACKGROUND_SHARE = 0.1
BACKGROUND_MARGIN_DB = 3.0
BACKGROUND_CAP_DB = 6.0
# A speaker's timbre is taken from the clearly periodic frames alone, by the steadier (three-frame)
# analysis: weaker ones (onsets, breathy ends) carry more of the room and the noise than of the
# voice, and glides more of the movement than of the vowel.
ENVELOPE_APERIODIC_MAX = 0.25
# A frame is loud when it is within 35 dB of the signal's loudest and above an absolute floor:
# quiet noise is not voice, even where nothing louder is near (a short stream piece in a pause).
# Frame energy (the sum of the squared magnitudes of 513 bins) is about 196608 x the mean square
# of the samples under the Hann window.
LOUD_FLOOR = 196608.0 * 10 ** (-60 / 10)  # -60 dBFS
# Synthesis. A bin is all harmonic when its harmonicity measure (the fine structure's share at
# the harmonic spacing, smoothed over HARM_SMOOTH_HZ) reaches HARM_RHO_HI, all noise at or
# below HARM_RHO_LO.
HARM_SMOOTH_HZ = 300.0
HARM_RHO_LO, HARM_RHO_HI = 0.1, 0.4
# Noise phases scatter with the log magnitude times this (any large irrational-looking number).
NOISE_SCATTER = 971.3
# The synthesised pitch track: averaged over this many voiced frames on either side, and moved
# by octaves towards the speaker's level where it strays further than this factor from it. A low
# voice's stressed syllables rise 1.6 to 1.8 times above its level; the tracker's octave slips
# land near 2.
TRACK_SMOOTH = 2
OCTAVE_FOLD = 1.8
# Frames whose pitch lies further than this factor from the speaker's level are not voiced by the
# converter (voice.within_reach): no intonation goes that far; a hum or a slip of the tracker does.
VOICE_REACH = 2.8
# The envelope harmonics sit under: rounds of the iterative upper envelope, and its cepstral
# order (finer than the encoder's 36: formant detail, which the words depend on).
TRUE_ENVELOPE_ROUNDS = 6
UPPER_ENVELOPE_Q = 50
# Bins whose long-term level lies more than BAND_FLOOR_DB below the strongest are outside the
# source's band; BAND_FADE_DB above that they are fully inside.
BAND_FLOOR_DB, BAND_FADE_DB = -75.0, 20.0
# The output's band: whole up to the first, nothing from the second on (tables.speech_band).
SPEECH_BAND_HZ = (7600.0, 8800.0)
PEAK_CEILING = 0.98  # the peak limiter's ceiling, full scale 1
SYNTH_LENGTH = 512  # samples of each synthesised frame that are heard (tables.synthesis_window)
SMOOTH_STEP = 4  # bins between the points that a Gaussian smoothing is computed at
# Below this pitch ratio (either way) a conversion keeps some of the source's own spectrum
# (voice.keep_structure), all of it at 1: an own clone. Further out, up to a factor 1.12, the
# blend of the kept and the made structure lost words on the corpus (models/README.md).
KEEP_RATIO = 1.005
DEFAULT_FORMANT_EXP = 0.15  # formants move by (pitch ratio) ** this
CLONE_TIMBRE = 0.4  # share of a reference's mean envelope that a clone imposes
