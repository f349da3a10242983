// The bundled default models through the library: deterministic, bounded for any embedding, and
// the stock voices move the pitch the way they say.
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "signal/fft.h"

namespace {

class DefaultModels : public qvt::engine_test {
 protected:
  qvt::temp_dir dir;
  void SetUp() override {
    engine_test::SetUp();
    for (const char *f : {"openvoice_converter.onnx", "openvoice_speaker.onnx"})
      std::filesystem::copy_file(std::string(ONDRELIX_MODELS_DIR) + "/" + f, dir.file(f));
  }
  std::vector<float> convert(const std::vector<float> &x, const float *target) {
    float *out = nullptr;
    int32_t n = 0;
    EXPECT_EQ(qvt::run_inference(x.data(), static_cast<int32_t>(x.size()), target, &out, &n), 0)
        << ondrelix_last_error();
    std::vector<float> y(out, out + n);
    std::free(out);
    return y;
  }
};

TEST_F(DefaultModels, DeterministicAndSizedByTheSpectrogram) {
  init(dir.str());
  const std::vector<float> x = qvt::test_tone(22050);
  const std::vector<float> a = convert(x, qvt::voice_embedding("female"));
  const std::vector<float> b = convert(x, qvt::voice_embedding("female"));
  EXPECT_EQ(a.size(), 256u * (22050 / 256));
  EXPECT_EQ(a, b);
}

// Whatever finite values an embedding holds, the output stays finite and within full scale.
TEST_F(DefaultModels, AnyFiniteEmbeddingGivesBoundedOutput) {
  init(dir.str());
  const std::vector<float> x = qvt::test_tone(8192);
  std::mt19937 rng(7);
  std::vector<std::vector<float>> embeddings = {std::vector<float>(256, 1e30f),
                                                std::vector<float>(256, -1e30f),
                                                std::vector<float>(256, 0.0f)};
  for (int r = 0; r < 5; ++r) {
    std::vector<float> e(256);
    for (float &v : e) v = std::uniform_real_distribution<float>(-50.0f, 50.0f)(rng);
    embeddings.push_back(e);
  }
  for (const auto &e : embeddings) {
    const std::vector<float> y = convert(x, e.data());
    ASSERT_FALSE(y.empty());
    for (float v : y) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 1.0f);
  }
}

// The stock voice files of the build are what the catalogue loads, in stock order.
TEST_F(DefaultModels, StockVoicesLoad) {
  init(ONDRELIX_MODELS_DIR);
  ASSERT_EQ(qvt::engine().voices().count(), 3);
  EXPECT_NEAR(100.0f * std::exp(qvt::engine().voices().entry(0).embedding[0]), 210.0f, 0.5f);
  EXPECT_NEAR(100.0f * std::exp(qvt::engine().voices().entry(1).embedding[0]), 95.0f, 0.5f);
  EXPECT_EQ(qvt::engine().voices().entry(2).embedding[1], 1.0f);
}

// Hard inputs with the bundled models and voices: every conversion succeeds with finite output
// within full scale. Where there is no voice (silence, white noise) the encoder finds none (its
// pitch is the fallback, ln 1.5, i.e. 150 Hz), and no conversion makes one: the output of each
// voice holds no voice either.
struct hard_input {
  const char *name;
  std::vector<float> (*make)();
  bool voiceless;
};

void PrintTo(const hard_input &c, std::ostream *os) { *os << c.name; }

std::vector<float> silence() { return std::vector<float>(2 * 22050, 0.0f); }
std::vector<float> pure_tone() {
  std::vector<float> x(2 * 22050);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 0.5f * std::sin(6.283185f * 440.0f * i / 22050.0f);
  return x;
}
std::vector<float> white_noise() {
  std::mt19937 rng(5);
  std::normal_distribution<float> g(0.0f, 0.3f);
  std::vector<float> x(22050);
  for (float &v : x) v = std::max(-1.0f, std::min(1.0f, g(rng)));
  return x;
}
std::vector<float> corpus_at_22050(const char *name, float gain) {
  model_signal s;
  if (!read_model_signal(qvt::corpus_file(name).c_str(), s, {"%s", "resampling failed"}).ok())
    return {};
  std::vector<float> x(s.samples, s.samples + s.count);
  for (float &v : x) v = std::max(-1.0f, std::min(1.0f, v * gain));
  return x;
}
std::vector<float> clipped_speech() { return corpus_at_22050("spk2_a.wav", 30.0f); }
std::vector<float> noisy_recording() { return corpus_at_22050("noisy_a.wav", 1.0f); }

class HardInputs : public DefaultModels, public ::testing::WithParamInterface<hard_input> {
 protected:
  float encoder_pitch(const std::vector<float> &x) {
    float e[qv::kEmbeddingSize];
    EXPECT_EQ(qvt::measure_source(x.data(), static_cast<int32_t>(x.size()), e), 0);
    return e[0];
  }
};

TEST_P(HardInputs, ConvertBoundedAndMakeNoVoice) {
  const hard_input &c = GetParam();
  const std::vector<float> x = c.make();
  if (x.empty()) GTEST_SKIP() << "speech corpus not found at " ONDRELIX_CORPUS_DIR;
  init(ONDRELIX_MODELS_DIR);
  const float no_voice = std::log(1.5f);
  if (c.voiceless) EXPECT_FLOAT_EQ(encoder_pitch(x), no_voice);
  for (const char *voice : {"female", "deep", "robot"}) {
    const std::vector<float> y = convert(x, qvt::voice_embedding(voice));
    ASSERT_FALSE(y.empty()) << voice;
    for (float v : y) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 1.0f) << voice;
    if (c.voiceless) EXPECT_FLOAT_EQ(encoder_pitch(y), no_voice) << voice;
  }
}

// The magnitude spectrogram of a model-rate signal, frame by frame ([frame][bin]).
std::vector<std::vector<float>> frames_of(const std::vector<float> &y) {
  float *spec = nullptr;
  int32_t frames = 0;
  EXPECT_EQ(qv_compute_spectrogram(y.data(), static_cast<int32_t>(y.size()), &spec, &frames), 0);
  std::vector<std::vector<float>> out(static_cast<size_t>(frames),
                                      std::vector<float>(qv::kSpecBins));
  for (int32_t k = 0; k < qv::kSpecBins; ++k)
    for (int32_t t = 0; t < frames; ++t) out[t][k] = spec[static_cast<size_t>(k) * frames + t];
  std::free(spec);
  return out;
}

constexpr double kBinHz = 22050.0 / 1024.0;

// A frame's energy below 4 kHz: within `reach` bins of a multiple of f0 (by default the main
// lobe, two bins), and all of it.
struct harmonic_energy {
  double reach = 2.0;
  double on = 0, all = 0;
  void add(const std::vector<float> &frame, double f0) {
    for (int k = 1; k * kBinHz < 4000; ++k) {
      const double e = double(frame[k]) * frame[k];
      const double h = std::round(k * kBinHz / f0);
      all += e;
      if (h >= 1 && std::fabs(k - h * f0 / kBinHz) <= reach) on += e;
    }
  }
  double share() const { return on / (all + 1e-30); }
};

// A voice raises a 120 Hz buzz to its own pitch as clean harmonics: in the steady middle of the
// output, nearly all the energy below 4 kHz lies within the main lobe (two bins) of a multiple
// of the new F0, not smeared between them.
TEST_F(DefaultModels, HarmonicsLandCleanlyOnTheNewPitch) {
  init(ONDRELIX_MODELS_DIR);
  std::vector<float> buzz(3 * 22050);
  for (size_t i = 0; i < buzz.size(); ++i) {
    const double phase = std::fmod(120.0 * i / 22050.0, 1.0);
    buzz[i] = static_cast<float>(0.3 * (2 * phase - 1));  // a sawtooth: every harmonic
  }
  for (const auto &[voice, f0] : {std::pair{"female", 210.0}, std::pair{"deep", 95.0}}) {
    const auto frames = frames_of(convert(buzz, qvt::voice_embedding(voice)));
    harmonic_energy middle;
    for (size_t t = frames.size() / 4; t < 3 * frames.size() / 4; ++t) middle.add(frames[t], f0);
    EXPECT_GT(middle.share(), 0.97) << voice;
  }
}

// A clone of a speaker at the speaker's own pitch keeps the detail of the source's spectrum that
// no smooth envelope follows: a 150 Hz buzz whose even harmonics lie 20 dB under their odd
// neighbours (25 dB by energy, counting the 1/h fall) keeps them at least 15 dB under in the
// middle of its own clone. Harmonics made afresh under an envelope level them (within 2 dB).
TEST_F(DefaultModels, AnOwnCloneKeepsTheSourcesHarmonicLevels) {
  init(ONDRELIX_MODELS_DIR);
  const double f0 = 150.0, rate = 22050;
  std::vector<float> x(2 * 22050);
  for (size_t i = 0; i < x.size(); ++i) {
    double v = 0;
    for (int h = 1; h * f0 < 4000; ++h)
      v += (h % 2 ? 1.0 : 0.1) / h * std::sin(6.283185307 * h * f0 * i / rate);
    x[i] = static_cast<float>(0.2 * v);
  }
  float own[qv::kEmbeddingSize];
  ASSERT_EQ(qvt::measure_source(x.data(), static_cast<int32_t>(x.size()), own), 0);
  const auto frames = frames_of(convert(x, own));
  harmonic_energy even, every;  // near the multiples of 2 f0, and of f0
  for (size_t t = frames.size() / 4; t < 3 * frames.size() / 4; ++t) {
    even.add(frames[t], 2 * f0);
    every.add(frames[t], f0);
  }
  EXPECT_LT(10 * std::log10(even.on / (every.on - even.on)), -15.0);
}

// An own clone of recorded speech has the source's spectrogram: the source's magnitude under
// phases that fit it. How far apart two spectrograms are: |S - g O| / |S| over the file, with g
// matching the levels (spectral convergence). Under the phases made for the new harmonics alone
// these files give 0.24, 0.19 and 0.28; a step of Griffin-Lim brings them to 0.21, 0.17 and 0.24.
TEST_F(DefaultModels, AnOwnCloneOfSpeechHasTheSourcesSpectrogram) {
  init(ONDRELIX_MODELS_DIR);
  for (const auto &[name, bound] : {std::pair{"spk1_a.wav", 0.225}, std::pair{"spk2_a.wav", 0.18},
                                    std::pair{"noisy_a.wav", 0.26}}) {
    const std::vector<float> x = corpus_at_22050(name, 1.0f);
    if (x.empty()) GTEST_SKIP() << "speech corpus not found at " ONDRELIX_CORPUS_DIR;
    float own[qv::kEmbeddingSize];
    ASSERT_EQ(qvt::measure_source(x.data(), static_cast<int32_t>(x.size()), own), 0);
    const auto source = frames_of(x), clone = frames_of(convert(x, own));
    ASSERT_EQ(source.size(), clone.size());
    double ss = 0, oo = 0, so = 0;
    for (size_t t = 0; t < source.size(); ++t)
      for (int32_t k = 0; k < qv::kSpecBins; ++k) {
        ss += double(source[t][k]) * source[t][k];
        oo += double(clone[t][k]) * clone[t][k];
        so += double(source[t][k]) * clone[t][k];
      }
    const double g = std::sqrt(ss / oo);  // then |S - g O|^2 = 2 |S|^2 - 2 g S.O
    EXPECT_LT(std::sqrt(std::max(0.0, 2 * ss - 2 * g * so) / ss), bound) << name;
  }
}

// A voice that leaps up stays a voice while it moves: a buzz rising from 100 to 250 Hz within
// 60 ms (fast, but no faster than a stressed syllable's rise) comes out of "robot" as harmonics
// of its one pitch all the way through, not as a burst of noise where the pitch was moving.
TEST_F(DefaultModels, AFastRiseStaysVoiced) {
  init(ONDRELIX_MODELS_DIR);
  const double rate = 22050, rise_start = 0.3, rise = 0.06;
  std::vector<float> x(static_cast<size_t>(1.5 * rate));
  double phase = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = i / rate;
    const double along = std::clamp((t - rise_start) / rise, 0.0, 1.0);
    phase = std::fmod(phase + 100.0 * std::pow(2.5, along) / rate, 1.0);
    x[i] = static_cast<float>(0.3 * (2 * phase - 1));
  }
  // Most of the signal is at 250 Hz, so that is the level "robot" holds.
  const auto frames = frames_of(convert(x, qvt::voice_embedding("robot")));
  for (size_t t = 0; t < frames.size(); ++t) {
    const double centre = (256.0 * t + 128) / rate;
    if (centre < rise_start || centre > rise_start + rise) continue;
    harmonic_energy frame;
    frame.add(frames[t], 250.0);
    EXPECT_GT(frame.share(), 0.9) << "at " << centre << " s";
  }
}

// A voice far above its own level stays a voice: a 100 Hz buzz that leaps for 0.4 s. A leap to
// 190 Hz, near the octave, is taken for the tracker's octave slip: the synthesised pitch folds it
// an octave down, towards the speaker's level, and "female" sings it at 95 x 2.1 = 199.5 Hz; the
// harmonics are still read at the source's own 190 Hz, where they are, and the stretch comes out
// as harmonics (read at the folded pitch, every other bin cancelled and it came out as noise). A
// leap to 170 Hz is a stressed syllable of a low voice, and is sung where it is: 170 x 2.1 =
// 357 Hz (folded, it fell an octave in the middle of a word).
TEST_F(DefaultModels, ALeapAboveTheSpeakersLevelStaysHarmonics) {
  init(ONDRELIX_MODELS_DIR);
  const double rate = 22050, leap_start = 2.0, leap = 0.4;
  struct case_ {
    double leap_hz, sung_hz;
  };
  for (const case_ c : {case_{190.0, 199.5}, case_{170.0, 357.0}}) {
    std::vector<float> x(static_cast<size_t>((leap_start + leap + 0.3) * rate));
    double phase = 0;
    for (size_t i = 0; i < x.size(); ++i) {
      const double t = i / rate;
      const bool up = t >= leap_start && t < leap_start + leap;
      phase = std::fmod(phase + (up ? c.leap_hz : 100.0) / rate, 1.0);
      x[i] = static_cast<float>(0.3 * (2 * phase - 1));
    }
    const auto frames = frames_of(convert(x, qvt::voice_embedding("female")));
    harmonic_energy middle;
    for (size_t t = 0; t < frames.size(); ++t) {
      const double centre = (256.0 * t + 128) / rate;
      if (centre > leap_start + 0.1 && centre < leap_start + leap - 0.1)
        middle.add(frames[t], c.sung_hz);
    }
    EXPECT_GT(middle.share(), 0.9) << "a leap to " << c.leap_hz << " Hz";
  }
}

// A low, breathy voice stays a voice: a 68 or 75 Hz buzz under hiss about as loud as itself
// comes out of "robot" as harmonics. Its long period must not read as less periodic than a high
// voice's would (the analysis window's decay with lag); when it did, most frames fell to noise
// and half or less of the energy lay near the harmonics. Within 0.75 bin of them, since
// harmonics this close overlap at two.
TEST_F(DefaultModels, ALowBreathyVoiceStaysVoiced) {
  init(ONDRELIX_MODELS_DIR);
  for (const double f0 : {68.0, 75.0}) {
    std::mt19937 rng(3);
    std::normal_distribution<float> hiss(0.0f, 0.2f);
    std::vector<float> x(2 * 22050);
    for (size_t i = 0; i < x.size(); ++i) {
      const double phase = std::fmod(f0 * i / 22050.0, 1.0);
      x[i] = static_cast<float>(0.3 * (2 * phase - 1)) + hiss(rng);
    }
    const auto frames = frames_of(convert(x, qvt::voice_embedding("robot")));
    harmonic_energy middle{0.75};
    for (size_t t = frames.size() / 4; t < 3 * frames.size() / 4; ++t) middle.add(frames[t], f0);
    EXPECT_GT(middle.share(), 0.7) << f0 << " Hz";
  }
}

// A sawtooth buzz at f0 spoken in 0.4 s bursts, one a second, 3 s at the model's rate, over
// `under(t)`, which runs throughout.
template <class Under>
std::vector<float> buzz_in_bursts(double f0, Under under) {
  const double rate = 22050;
  std::vector<float> x(static_cast<size_t>(3 * rate));
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = i / rate;
    const double buzz = std::fmod(t, 1.0) < 0.4 ? 0.3 * (2 * std::fmod(f0 * t, 1.0) - 1) : 0.0;
    x[i] = static_cast<float>(buzz + under(t));
  }
  return x;
}

// A 200 Hz buzz over a 60 Hz hum about 20 dB below it. The hum alone is periodic, and sounds for
// longer than the voice.
std::vector<float> buzz_over_hum() {
  return buzz_in_bursts(200.0, [](double t) { return 0.02 * std::sin(6.283185307 * 60.0 * t); });
}

// A hum under the pauses is no voice: the buzz over the hum measures as a 200 Hz speaker.
TEST_F(DefaultModels, AHumUnderThePausesIsNoVoice) {
  init(ONDRELIX_MODELS_DIR);
  const std::vector<float> x = buzz_over_hum();
  float e[qv::kEmbeddingSize];
  ASSERT_EQ(qvt::measure_source(x.data(), static_cast<int32_t>(x.size()), e), 0);
  EXPECT_NEAR(100.0 * std::exp(e[0]), 200.0, 6.0);
}

// Nor is it moved as a voice: in the pauses of the converted buzz over the hum, most of the sound
// below 4 kHz is still the hum below 100 Hz, not a buzz folded by octaves towards the new voice's
// pitch (near 114 Hz for "deep", 250 Hz for "female"), which a pitch tracker counts as voice.
TEST_F(DefaultModels, AHumUnderThePausesStaysAHum) {
  init(ONDRELIX_MODELS_DIR);
  const std::vector<float> x = buzz_over_hum();
  for (const char *voice : {"female", "deep"}) {
    const auto frames = frames_of(convert(x, qvt::voice_embedding(voice)));
    double hum = 0, all = 0;
    for (size_t t = 0; t < frames.size(); ++t) {
      const double within_second = std::fmod((256.0 * t + 128) / 22050.0, 1.0);
      if (within_second < 0.55 || within_second > 0.9) continue;
      for (int k = 1; k * kBinHz < 4000; ++k) {
        const double e = double(frames[t][k]) * frames[t][k];
        all += e;
        if (k * kBinHz < 100) hum += e;
      }
    }
    EXPECT_GT(hum / all, 0.8) << voice;
  }
}

// A DC offset is no sound: a 150 Hz buzz in 0.4 s bursts, one a second, riding on an offset of
// 0.1 (cheap sound cards record one) converts as the buzz alone does. Its pauses stay silent,
// at least 50 dB under the bursts (the offset, counted as loudness, came out as a rumble below
// 130 Hz only 11 dB under them), and the output is as loud as the buzz's own conversion.
TEST_F(DefaultModels, AnOffsetIsNoSound) {
  init(ONDRELIX_MODELS_DIR);
  const double rate = 22050;
  auto bursts = [](double offset) { return buzz_in_bursts(150.0, [=](double) { return offset; }); };
  // Mean frame energy over the frames whose centres lie between `from` and `to` of each second.
  auto energy = [&](const std::vector<std::vector<float>> &frames, double from, double to) {
    double sum = 0;
    int n = 0;
    for (size_t t = 0; t < frames.size(); ++t) {
      const double within_second = std::fmod((256.0 * t + 128) / rate, 1.0);
      if (within_second < from || within_second > to) continue;
      for (int k = 1; k < qv::kSpecBins; ++k) sum += double(frames[t][k]) * frames[t][k];
      ++n;
    }
    return sum / std::max(n, 1);
  };
  for (const char *voice : {"female", "deep"}) {
    const auto plain = frames_of(convert(bursts(0.0), qvt::voice_embedding(voice)));
    const auto offset = frames_of(convert(bursts(0.1), qvt::voice_embedding(voice)));
    const double speech = energy(offset, 0.1, 0.3);
    EXPECT_LT(10 * std::log10(energy(offset, 0.55, 0.9) / speech), -50.0) << voice;
    EXPECT_NEAR(10 * std::log10(speech / energy(plain, 0.1, 0.3)), 0.0, 0.5) << voice;
  }
}

// What is not voice is not moved with the voice: a faint whistle at 3 kHz in a noisy room with no
// one speaking stays at 3 kHz, whichever way a voice shifts the pitch.
TEST_F(DefaultModels, ABackgroundWithoutVoiceStaysWhereItIs) {
  init(ONDRELIX_MODELS_DIR);
  std::mt19937 rng(5);
  std::normal_distribution<float> room(0.0f, 0.1f);
  std::vector<float> x(3 * 22050);
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = room(rng) + 0.03f * std::sin(6.283185f * 3000.0f * i / 22050.0f);
  for (const char *voice : {"female", "deep"}) {
    const auto frames = frames_of(convert(x, qvt::voice_embedding(voice)));
    std::vector<double> mean(qv::kSpecBins, 0.0);
    for (size_t t = frames.size() / 4; t < 3 * frames.size() / 4; ++t)
      for (int k = 0; k < qv::kSpecBins; ++k) mean[k] += double(frames[t][k]) * frames[t][k];
    const int first = static_cast<int>(1000 / kBinHz), last = static_cast<int>(6000 / kBinHz);
    const int peak = static_cast<int>(
        std::max_element(mean.begin() + first, mean.begin() + last) - mean.begin());
    EXPECT_NEAR(peak * kBinHz, 3000.0, 2 * kBinHz) << voice;
  }
}

// A conversion makes nothing above the speech band of a 16 kHz recording: no frame, in speech or
// in a pause, holds energy above 9 kHz within 50 dB of the output's mean frame energy, for every
// voice and for a clone.
TEST_F(DefaultModels, NothingAboveTheSpeechBand) {
  QVT_REQUIRE_CORPUS();
  init(ONDRELIX_MODELS_DIR);
  ASSERT_EQ(ondrelix_load_voice(qvt::corpus_file("spk2_a.wav").c_str(), nullptr), 0);
  for (const char *file : {"spk1_a.wav", "spk2_b.wav", "noisy_a.wav"}) {
    const std::vector<float> x = corpus_at_22050(file, 1.0f);
    for (const char *voice : {"female", "deep", "robot", "custom"}) {
      const auto frames = frames_of(convert(x, qvt::voice_embedding(voice)));
      double mean = 0, worst = 0;
      for (const auto &f : frames) {
        double total = 0, above = 0;
        for (int k = 0; k < qv::kSpecBins; ++k) {
          total += double(f[k]) * f[k];
          if (k * kBinHz > 9000) above += double(f[k]) * f[k];
        }
        mean += total / frames.size();
        worst = std::max(worst, above);
      }
      EXPECT_LT(10 * std::log10(worst / mean + 1e-30), -50.0) << file << " " << voice;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HardInputs,
                         ::testing::Values(hard_input{"silence", silence, true},
                                           hard_input{"white_noise", white_noise, true},
                                           hard_input{"pure_tone", pure_tone, false},
                                           hard_input{"clipped_speech", clipped_speech, false},
                                           hard_input{"noisy_recording", noisy_recording, false}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
