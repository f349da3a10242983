// Throughput of the signal units: spectrogram frames, resampled samples, WAV bytes read.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "signal/fft.h"
#include "signal/resample.h"

namespace {

std::vector<float> tone(size_t n, double rate) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i)
    x[i] = static_cast<float>(0.5 *
                              std::sin(6.283185307179586 * 220.0 * static_cast<double>(i) / rate));
  return x;
}

void BM_Spectrogram(benchmark::State &state) {
  const auto n = static_cast<int32_t>(state.range(0));
  const std::vector<float> x = tone(static_cast<size_t>(n), 22050.0);
  qv_fft_init();
  int32_t frames = 0;
  for (auto _ : state) {
    float *spec = nullptr;
    qv_compute_spectrogram(x.data(), n, &spec, &frames);
    benchmark::DoNotOptimize(spec);
    std::free(spec);
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames),
                                                  benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Spectrogram)->Arg(4410)->Arg(22050 * 10)->Unit(benchmark::kMicrosecond);

void BM_Resample(benchmark::State &state) {
  const auto in_rate = static_cast<int32_t>(state.range(0));
  const auto out_rate = static_cast<int32_t>(state.range(1));
  const auto n = static_cast<int32_t>(state.range(2));
  const std::vector<float> x = tone(static_cast<size_t>(n), in_rate);
  int32_t out_len = 0;
  for (auto _ : state) {
    float *out = nullptr;
    qv_resample(x.data(), n, in_rate, &out, &out_len, out_rate);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  state.counters["samples/s"] = benchmark::Counter(static_cast<double>(out_len),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Resample)
    ->Args({16000, 22050, 3200})
    ->Args({22050, 16000, 4410})
    ->Args({44100, 22050, 44100})
    ->Unit(benchmark::kMicrosecond);

void BM_WavRead(benchmark::State &state) {
  const auto n = static_cast<int32_t>(state.range(0));
  const std::string path = "/tmp/ondrelix-bench-read.wav";
  const std::vector<float> x = tone(static_cast<size_t>(n), 22050.0);
  if (qv_wav_write(path.c_str(), x.data(), n, 22050, nullptr, 0) != 0) {
    state.SkipWithError("cannot write the input file");
    return;
  }
  for (auto _ : state) {
    qv_wav rec{};
    qv_wav_read(path.c_str(), &rec, nullptr, 0);
    benchmark::DoNotOptimize(rec.samples);
    qv_wav_free(&rec);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          (44 + 2 * static_cast<int64_t>(n)));
  std::remove(path.c_str());
}
BENCHMARK(BM_WavRead)->Arg(22050 * 60)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
