// The LV2 plugin at 48 kHz: the share of one core it takes at real-time pace in the DSP and the
// neural (continuous) mode, and the latency it reports against the delay measured on its output
// (the lag at which the output's level envelope best matches the input's).
//   bench_lv2 SPEECH.wav
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "audio/wav.h"
#include "lv2_host.h"

namespace {

using namespace lv2_host;

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// 10 ms level envelope.
std::vector<double> envelope(const std::vector<float> &x) {
  std::vector<double> e;
  for (size_t i = 0; i + 480 <= x.size(); i += 480) {
    double s = 0;
    for (size_t j = i; j < i + 480; ++j) s += static_cast<double>(x[j]) * x[j];
    e.push_back(std::sqrt(s / 480));
  }
  return e;
}

// The lag (in samples, 10 ms steps) where the output's envelope best follows the input's.
long measured_delay(const std::vector<float> &in, const std::vector<float> &out) {
  const std::vector<double> a = envelope(in), b = envelope(out);
  long best = 0;
  double best_score = -1;
  for (long lag = 0; lag < 100 && lag < static_cast<long>(b.size()); ++lag) {
    double s = 0, na = 0, nb = 0;
    for (size_t i = 0; i + lag < b.size() && i < a.size(); ++i) {
      s += a[i] * b[i + lag];
      na += a[i] * a[i];
      nb += b[i + lag] * b[i + lag];
    }
    const double score = s / std::sqrt(na * nb + 1e-12);
    if (score > best_score) best_score = score, best = lag;
  }
  return best * 480;
}

void measure(const char *label, float voice, float mode, const std::vector<float> &speech) {
  host hst;
  instance a(hst);
  if (!a.h) return;
  a.voice = voice;
  a.mode = mode;
  a.d->activate(a.h);
  std::vector<float> out;
  const auto start = std::chrono::steady_clock::now();
  const double cpu0 = cpu_seconds();
  auto next = start;
  size_t blocks = speech.size() / kBlock;
  for (size_t b = 0; b < blocks; ++b) {
    std::copy(speech.begin() + static_cast<long>(b * kBlock),
              speech.begin() + static_cast<long>((b + 1) * kBlock), a.in);
    a.run();
    out.insert(out.end(), a.out, a.out + kBlock);
    std::this_thread::sleep_until(next += std::chrono::microseconds(5333));
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpu_seconds() - cpu0;
  const long latency = static_cast<long>(a.latency);
  a.d->deactivate(a.h);
  const std::vector<float> in(speech.begin(), speech.begin() + static_cast<long>(out.size()));
  std::printf(
      "%-22s CPU %5.1f %% of one core | latency port %5ld samples (%5.1f ms), measured "
      "%5ld samples (%5.1f ms, 10 ms steps) | underruns %.0f\n",
      label, 100.0 * cpu / wall, latency, latency / 48.0, measured_delay(in, out),
      measured_delay(in, out) / 48.0, a.underruns);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || !descriptor()) {
    std::fprintf(stderr, "usage: bench_lv2 SPEECH.wav (with the plugin built)\n");
    return 2;
  }
  // The speech at 48 kHz, joined with itself up to 20 s.
  std::vector<float> speech;
  for (int i = 1; i < argc; ++i) {
    qv_wav rec{};
    if (qv_wav_read(argv[i], &rec, nullptr, 0) != 0) continue;
    const double step = static_cast<double>(rec.sample_rate) / 48000.0;
    for (double p = 0; p < rec.frames - 1; p += step) {  // linear interpolation is enough here
      const auto k = static_cast<int32_t>(p);
      speech.push_back(
          static_cast<float>(rec.samples[k] + (p - k) * (rec.samples[k + 1] - rec.samples[k])));
    }
    qv_wav_free(&rec);
  }
  if (speech.empty()) return 1;
  while (speech.size() < 48000 * 20) speech.insert(speech.end(), speech.begin(), speech.end());
  speech.resize(48000 * 20);
  std::printf("== LV2 plugin, 48 kHz, 256-sample blocks at real-time pace, 20 s of speech\n");
  measure("DSP, female", 0, 1, speech);
  measure("DSP, pass-through", 4, 1, speech);
  measure("neural, deep", 1, 0, speech);
  return 0;
}
