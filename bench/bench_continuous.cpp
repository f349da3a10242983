// The stream's block mode and continuous mode side by side, on the same input in the same run:
// the seam at joins, the write-to-read delay, the time per block or piece against its length,
// and the output's length against the input's; and the level steadiness of a steady tone.
//   bench_continuous MODELS_DIR SPEECH.wav...
#include <yyjson.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "defaults.h"
#include "engine/catalogue.h"
#include "engine/report.h"
#include "ondrelix.h"
#include "signal/fft.h"
#include "stream/stream.h"

namespace {

struct mode {
  const char *name;
  const char *options;
};
const mode kModes[2] = {{"block", nullptr}, {"continuous", "{\"continuous\":true}"}};

struct host_run {
  std::vector<int16_t> out;
  std::vector<double> delays;  // ms, one per 320 output samples
  std::string report;
};

double report_num(const std::string &report, const char *key) {
  yyjson_doc *doc = yyjson_read(report.data(), report.size(), 0);
  const double v = yyjson_get_num(yyjson_obj_get(yyjson_doc_get_root(doc), key));
  yyjson_doc_free(doc);
  return v;
}

// The blocks the block mode converted: every whole block of the input it took.
double blocks_of(const std::string &report) {
  return std::floor(report_num(report, "total_in_frames") /
                    qv::default_stream().config().chunk_samples);
}

// A host: one thread writes 20 ms chunks (at real-time pace, or as fast as 3 s in flight allow),
// another reads all along. The delay of output sample j is from the write of the input sample it
// stands for (j, or in the block mode j scaled by the blocks' in/out length) to its read.
host_run run_host(const mode &m, const std::vector<int16_t> &in, bool realtime) {
  host_run r;
  std::string options = m.options ? m.options : "";
  if (!realtime && m.options) options = "{\"continuous\":true,\"max_delay_ms\":10000}";
  if (ondrelix_rt_start("female", options.empty() ? nullptr : options.c_str()) != 0) return r;
  std::vector<double> written_at(in.size() / 320 + 1, 0.0);
  std::atomic<int64_t> read_count{0};
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    auto next = std::chrono::steady_clock::now();
    for (size_t pos = 0; pos + 320 <= in.size(); pos += 320) {
      while (!realtime && static_cast<int64_t>(pos) - read_count > 48000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      written_at[pos / 320] = now_ms();
      ondrelix_rt_write(in.data() + pos, 320);
      if (realtime) std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    writing = false;
  });
  std::vector<double> read_at;  // when output sample 320 k arrived
  int16_t buf[640];
  while (writing) {
    int got = 0;
    ondrelix_rt_read(buf, 640, &got);
    const double t = now_ms();
    for (int i = 0; i < got; ++i)
      if ((r.out.size() + i) % 320 == 0) read_at.push_back(t);
    r.out.insert(r.out.end(), buf, buf + got);
    read_count = static_cast<int64_t>(r.out.size());
  }
  writer.join();
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  r.report = report ? report : "";
  // The block mode gives fewer samples than it takes, block by block: its sample j stands for
  // input j times the block's in/out length.
  const double out_per_block =
      report_num(r.report, "total_out_frames") / std::max(1.0, blocks_of(r.report));
  const double scale =
      m.options ? 1.0 : qv::default_stream().config().chunk_samples / out_per_block;
  for (size_t k = 0; k < read_at.size(); ++k) {
    const auto i = static_cast<size_t>(static_cast<double>(k * 320) * scale) / 320;
    if (i < written_at.size() && written_at[i] > 0) r.delays.push_back(read_at[k] - written_at[i]);
  }
  return r;
}

// Spectral flux of frames that hold a join against the others' (1: the joins are not heard).
double flux_ratio(const std::vector<int16_t> &x, double join_every) {
  std::vector<float> f(x.size());
  for (size_t i = 0; i < x.size(); ++i) f[i] = qv::float_from_pcm16(x[i]);
  float *spec = nullptr;
  int32_t frames = 0;
  if (qv_compute_spectrogram(f.data(), static_cast<int32_t>(f.size()), &spec, &frames) != 0)
    return 0.0;
  std::vector<bool> at_join(static_cast<size_t>(frames), false);
  for (double p = join_every; p < static_cast<double>(x.size()); p += join_every) {
    const long t = std::lround((p - 128.0) / 256.0);  // the frame centred nearest the join
    if (t > 0 && t < frames) at_join[static_cast<size_t>(t)] = true;
  }
  double join_sum = 0, other_sum = 0;
  int joins = 0, others = 0;
  for (int32_t t = 1; t < frames; ++t) {
    double flux = 0;
    for (int b = 0; b < qv::kSpecBins; ++b) {
      const float d =
          spec[static_cast<size_t>(b) * frames + t] - spec[static_cast<size_t>(b) * frames + t - 1];
      flux += d > 0 ? d : 0;
    }
    (at_join[static_cast<size_t>(t)] ? join_sum : other_sum) += flux;
    ++(at_join[static_cast<size_t>(t)] ? joins : others);
  }
  std::free(spec);
  return (join_sum / std::max(joins, 1)) / (other_sum / std::max(others, 1));
}

// The file conversion of a 16 kHz signal, back at 16 kHz.
std::vector<int16_t> file_conversion(const std::vector<int16_t> &in) {
  std::vector<float> x(in.size());
  for (size_t i = 0; i < in.size(); ++i) x[i] = qv::float_from_pcm16(in[i]);
  const std::vector<float> up = bench::resampled(x, 16000, 22050);
  float *out = nullptr;
  int32_t n = 0;
  const qv::engine &engine = qv::default_engine();
  if (!run_openvoice_inference(engine, up.data(), static_cast<int32_t>(up.size()),
                               engine.voices().embedding("female"), &out, &n)
           .ok())
    return {};
  const std::vector<float> down = bench::resampled(std::vector<float>(out, out + n), 22050, 16000);
  std::free(out);
  std::vector<int16_t> y(down.size());
  for (size_t i = 0; i < down.size(); ++i) y[i] = qv::pcm16_from_float(down[i]);
  return y;
}

// 1st to 99th percentile of the 10 ms frame levels, half a second in from each end.
double level_spread(const std::vector<int16_t> &x) {
  std::vector<double> db;
  for (size_t i = 8000; i + 160 + 8000 <= x.size(); i += 160) {
    double e = 0;
    for (size_t j = i; j < i + 160; ++j) e += static_cast<double>(x[j]) * x[j];
    db.push_back(10 * std::log10(e / 160 + 1e-9));
  }
  return bench::percentile(db, 0.99) - bench::percentile(db, 0.01);
}

std::vector<int16_t> sawtooth(double hz, double seconds) {
  std::vector<int16_t> x(static_cast<size_t>(seconds * 16000));
  for (size_t i = 0; i < x.size(); ++i) {
    const double phase = std::fmod(hz * static_cast<double>(i) / 16000.0, 1.0);
    x[i] = static_cast<int16_t>(16000.0 * (2.0 * phase - 1.0));
  }
  return x;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_continuous MODELS_DIR SPEECH.wav...\n");
    return 2;
  }
  if (ondrelix_init(argv[1], nullptr) != 0) {
    std::fprintf(stderr, "bench: %s\n", ondrelix_last_error());
    return 1;
  }
  const std::vector<int16_t> speech = bench::speech_16k(argc, argv, 2, 20.0);
  const std::vector<int16_t> file = file_conversion(speech);
  std::printf(
      "== stream, 20 s of speech, host writing 20 ms chunks at real-time pace (\"female\")\n");
  std::printf("%-12s %9s %9s %10s %10s %8s %9s %9s %10s %9s\n", "mode", "delay", "p99", "block/hop",
              "time p99", "out/in", "in - out", "flux", "file flux", "saw dB");
  const std::vector<int16_t> saw = sawtooth(150.0, 5.0);
  const double saw_file = level_spread(file_conversion(saw));
  for (const mode &m : kModes) {
    const host_run r = run_host(m, speech, true);
    const bool cont = m.options != nullptr;
    const double blocks = cont ? report_num(r.report, "pieces") : blocks_of(r.report);
    const double out_per_block = report_num(r.report, "total_out_frames") / std::max(1.0, blocks);
    const double join_every = cont ? 1024 * 16000.0 / 22050.0 : out_per_block;
    const double hop_ms = cont ? report_num(r.report, "hop_ms") : 200.0;
    // The block mode's per-block time is its average (the report has no other); the continuous
    // mode's is its 99th percentile.
    const double time_p99 =
        cont ? report_num(r.report, "piece_p99_ms") : report_num(r.report, "avg_latency_ms");
    const host_run s = run_host(m, saw, false);
    const double in = report_num(r.report, "total_in_frames");
    const double out = report_num(r.report, "total_out_frames");
    std::printf("%-12s %6.1f ms %6.1f ms %7.1f ms %7.1f ms %8.4f %9.0f %9.3f %10.3f %9.2f\n",
                m.name, bench::percentile(r.delays, 0.5), bench::percentile(r.delays, 0.99), hop_ms,
                time_p99, out / in, in - out, flux_ratio(r.out, join_every),
                flux_ratio(file, join_every), level_spread(s.out));
  }
  std::printf("sawtooth 150 Hz, 5 s: level spread of the file conversion %.2f dB\n", saw_file);
  std::printf(
      "(block mode: time is the average per block, and the output falls short by 43 samples a\n"
      " block; continuous mode: it falls short by its fixed delay alone, however long the "
      "stream)\n");
  ondrelix_cleanup();
  return 0;
}
