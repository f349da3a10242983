// The library's signal units against established peers on the same input, in one run:
// the resampler against libsoxr (high quality) for speed and for accuracy on a sine sweep, the
// spectrogram against FFTW with the same framing, the DSP pitch effects against sox's "pitch".
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <sox.h>
#include <soxr.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "defaults.h"
#include "signal/fft.h"
#include "signal/resample.h"
#include "stream/stream.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

// A linear sweep from f0 to f1 over the signal, sampled at `rate`, as the exact band-limited
// reference: it stays below both rates' Nyquist frequencies.
std::vector<float> sweep(int rate, double seconds, double f0, double f1) {
  const auto n = static_cast<size_t>(rate * seconds);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    x[i] =
        static_cast<float>(0.5 * std::sin(kTwoPi * (f0 * t + 0.5 * (f1 - f0) / seconds * t * t)));
  }
  return x;
}

double error_db(const float *y, const std::vector<float> &ref, size_t n) {
  double e = 0, s = 0;
  for (size_t i = 200; i + 200 < n && i < ref.size(); ++i) {
    e += (y[i] - ref[i]) * static_cast<double>(y[i] - ref[i]);
    s += ref[i] * static_cast<double>(ref[i]);
  }
  return 10 * std::log10(e / s);
}

struct rates {
  int in, out;
};
const rates kRates[] = {{16000, 22050}, {22050, 16000}, {44100, 22050}};

void BM_Resample_Ours(benchmark::State &state) {
  const rates r = kRates[state.range(0)];
  const double top = 0.45 * std::min(r.in, r.out);
  const std::vector<float> x = sweep(r.in, 2.0, 50, top);
  const std::vector<float> ref = sweep(r.out, 2.0, 50, top);
  float *y = nullptr;
  int32_t n = 0;
  for (auto _ : state) {
    std::free(y);
    qv_resample(x.data(), static_cast<int32_t>(x.size()), r.in, &y, &n, r.out);
  }
  state.counters["error_dB"] = error_db(y, ref, static_cast<size_t>(n));
  state.SetLabel(std::to_string(r.in) + "->" + std::to_string(r.out));
  std::free(y);
}
BENCHMARK(BM_Resample_Ours)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_Resample_Soxr(benchmark::State &state) {
  const rates r = kRates[state.range(0)];
  const double top = 0.45 * std::min(r.in, r.out);
  const std::vector<float> x = sweep(r.in, 2.0, 50, top);
  const std::vector<float> ref = sweep(r.out, 2.0, 50, top);
  std::vector<float> y(static_cast<size_t>(x.size() * static_cast<double>(r.out) / r.in) + 64);
  size_t done = 0;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  for (auto _ : state)
    soxr_oneshot(r.in, r.out, 1, x.data(), x.size(), nullptr, y.data(), y.size(), &done, nullptr,
                 &quality, nullptr);
  // soxr delays nothing in one-shot mode; compare sample for sample.
  state.counters["error_dB"] = error_db(y.data(), ref, done);
  state.SetLabel(std::to_string(r.in) + "->" + std::to_string(r.out));
}
BENCHMARK(BM_Resample_Soxr)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_Spectrogram_Ours(benchmark::State &state) {
  const std::vector<float> x = sweep(22050, 10.0, 50, 10000);
  qv_fft_init();
  for (auto _ : state) {
    float *spec = nullptr;
    int32_t frames = 0;
    qv_compute_spectrogram(x.data(), static_cast<int32_t>(x.size()), &spec, &frames);
    std::free(spec);
  }
}
BENCHMARK(BM_Spectrogram_Ours)->Unit(benchmark::kMillisecond);

// The same framing (reflection, periodic Hann, hop 256, floor) with FFTW's real transform.
void BM_Spectrogram_Fftw(benchmark::State &state) {
  const std::vector<float> x = sweep(22050, 10.0, 50, 10000);
  const int n = static_cast<int>(x.size());
  const int frames = n / 256;
  float *in = fftwf_alloc_real(1024);
  fftwf_complex *out = fftwf_alloc_complex(513);
  fftwf_plan plan = fftwf_plan_dft_r2c_1d(1024, in, out, FFTW_MEASURE);
  std::vector<float> window(1024);
  for (int i = 0; i < 1024; ++i)
    window[i] = static_cast<float>(0.5 - 0.5 * std::cos(i * kTwoPi / 1024));
  for (auto _ : state) {
    float *spec =
        static_cast<float *>(std::malloc(sizeof(float) * 513 * static_cast<size_t>(frames)));
    for (int t = 0; t < frames; ++t) {
      for (int i = 0; i < 1024; ++i) {
        int p = t * 256 - 384 + i;
        while (p < 0 || p >= n) p = p < 0 ? -p : 2 * (n - 1) - p;
        in[i] = x[p] * window[i];
      }
      fftwf_execute(plan);
      for (int b = 0; b < 513; ++b)
        spec[static_cast<size_t>(b) * frames + t] =
            std::sqrt(out[b][0] * out[b][0] + out[b][1] * out[b][1] + 1e-6f);
    }
    benchmark::DoNotOptimize(spec);
    std::free(spec);
  }
  fftwf_destroy_plan(plan);
  fftwf_free(in);
  fftwf_free(out);
}
BENCHMARK(BM_Spectrogram_Fftw)->Unit(benchmark::kMillisecond);

std::vector<int16_t> speech_block(size_t n) {
  std::vector<int16_t> b(n);
  for (size_t i = 0; i < n; ++i)
    b[i] = static_cast<int16_t>(8000 * std::sin(i * 0.07) + 3000 * std::sin(i * 0.31));
  return b;
}

void BM_DspEffect_Ours(benchmark::State &state) {
  qv::stream stream;
  qv::engine &engine = qv::default_engine();
  stream.prepare(engine, engine.voices().resolve(state.range(0) ? "deep" : "female"),
                 qv::parse_stream_options("{\"mode\":\"dsp\"}"));
  const std::vector<int16_t> in = speech_block(320);
  std::vector<int16_t> out(640);
  for (auto _ : state) benchmark::DoNotOptimize(stream.convert_block(in.data(), out.data(), 320));
  state.SetLabel(stream.target().name);
}
BENCHMARK(BM_DspEffect_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// sox's "pitch" effect on the same 20 ms block, in memory: +520 cents (female, x1.35) or
// -498 cents (deep, x0.75).
void BM_DspEffect_SoxPitch(benchmark::State &state) {
  static const bool ready = sox_init() == SOX_SUCCESS;
  if (!ready) {
    state.SkipWithError("sox_init failed");
    return;
  }
  const std::vector<int16_t> block = speech_block(320);
  std::vector<sox_sample_t> in(320);
  for (size_t i = 0; i < 320; ++i) in[i] = SOX_SIGNED_16BIT_TO_SAMPLE(block[i], );
  const char *cents = state.range(0) ? "-498" : "520";
  sox_get_globals()->verbosity = 0;
  std::vector<sox_sample_t> out(4096);
  size_t produced = 0;
  for (auto _ : state) {
    // One effect instance per block, as a block-by-block stream would run it: options, start,
    // flow, drain, stop.
    sox_effect_t *pitch = sox_create_effect(sox_find_effect("pitch"));
    char *args[] = {const_cast<char *>(cents)};
    sox_effect_options(pitch, 1, args);
    pitch->in_signal = sox_signalinfo_t{16000, 1, 16, 320, nullptr};
    pitch->out_signal = pitch->in_signal;
    if (pitch->handler.start(pitch) != SOX_SUCCESS) {
      state.SkipWithError("sox pitch did not start");
      break;
    }
    size_t isamp = in.size(), osamp = out.size();
    pitch->handler.flow(pitch, in.data(), out.data(), &isamp, &osamp);
    size_t drained = out.size() - osamp;
    pitch->handler.drain(pitch, out.data() + osamp, &drained);
    produced = osamp + drained;
    pitch->handler.stop(pitch);
    pitch->handler.kill(pitch);
    sox_delete_effect(pitch);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["samples_out"] = static_cast<double>(produced);
  state.SetLabel(state.range(0) ? "deep" : "female");
}
BENCHMARK(BM_DspEffect_SoxPitch)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
