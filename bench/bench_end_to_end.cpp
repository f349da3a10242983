// End-to-end figures with the default models: where the time of a file conversion goes and how
// long stream blocks take (bench_continuous compares the stream's two modes).
//   bench_end_to_end MODELS_DIR FILE.wav...
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "conversion/pipeline.h"
#include "defaults.h"
#include "engine/catalogue.h"
#include "engine/report.h"
#include "ondrelix.h"
#include "signal/effects.h"
#include "signal/fft.h"
#include "signal/resample.h"
#include "stream/stream.h"

namespace {

double ms_since(double start) { return now_ms() - start; }

struct stages {
  double read = 0, resample = 0, spectrogram = 0, speaker = 0, converter = 0, robot = 0, write = 0;
  double total() const {
    return read + resample + spectrogram + speaker + converter + robot + write;
  }
};

// The steps of ondrelix_convert_file one by one ("robot" voice, so every step runs). The
// pipeline computes its spectrogram and runs the speaker encoder itself; they are timed apart
// on the same input and taken off the pipeline's time to leave the converter's.
bool time_conversion(const char *path, stages &s, double &seconds) {
  double t = now_ms();
  qv_wav rec{};
  if (qv_wav_read(path, &rec, nullptr, 0) != 0) return false;
  s.read = ms_since(t);
  t = now_ms();
  float *signal = rec.samples;
  int32_t count = rec.frames;
  if (rec.sample_rate != 22050)
    qv_resample(rec.samples, rec.frames, rec.sample_rate, &signal, &count, 22050);
  s.resample = ms_since(t);
  t = now_ms();
  float *spec = nullptr;
  int32_t frames = 0;
  qv_compute_spectrogram(signal, count, &spec, &frames);
  s.spectrogram = ms_since(t);
  t = now_ms();
  float emb[256];
  static_cast<void>(run_speaker_encoder(qv::default_engine(), spec, frames, "tensor", "run", emb));
  s.speaker = ms_since(t);
  std::free(spec);
  t = now_ms();
  float *out = nullptr;
  int32_t out_count = 0;
  const qv::voice robot = qv::default_engine().voices().resolve("robot");
  if (!run_openvoice_inference(qv::default_engine(), signal, count, robot.embedding, &out,
                               &out_count)
           .ok())
    return false;
  s.converter = std::max(0.0, ms_since(t) - s.spectrogram - s.speaker);
  t = now_ms();
  qv_apply_file_effect(robot.file_effect, out, out_count);
  s.robot = ms_since(t);
  t = now_ms();
  qv_wav_write("/tmp/ondrelix-bench-out.wav", out, out_count, 22050, nullptr, 0);
  s.write = ms_since(t);
  seconds = out_count / 22050.0;
  std::free(out);
  if (signal != rec.samples) std::free(signal);
  qv_wav_free(&rec);
  std::remove("/tmp/ondrelix-bench-out.wav");
  return true;
}

void print_stages(const char *name, const stages &s, double seconds) {
  const double own = s.read + s.resample + s.spectrogram + s.robot + s.write;
  std::printf(
      "%-28s %6.1f s  read %6.1f  resample %6.1f  spectrogram %6.1f  speaker %7.1f  "
      "converter %7.1f  robot %5.1f  write %5.1f ms | library's own share %4.1f%%  RTF %.3f\n",
      name, seconds, s.read, s.resample, s.spectrogram, s.speaker, s.converter, s.robot, s.write,
      100.0 * own / s.total(), s.total() / 1000.0 / seconds);
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void time_blocks(const char *label, bool dsp, int32_t n, int blocks,
                 const std::vector<int16_t> &speech) {
  qv::stream stream;
  qv::engine &engine = qv::default_engine();
  stream.prepare(engine, engine.voices().resolve(dsp ? "female" : "deep"),
                 qv::parse_stream_options(dsp ? "{\"mode\":\"dsp\"}" : nullptr));
  std::vector<int16_t> out(2 * static_cast<size_t>(n));
  std::vector<double> times;
  for (int b = 0; b < blocks; ++b) {
    const int16_t *in = speech.data() + (static_cast<size_t>(b) * n) % (speech.size() - n);
    const auto t0 = std::chrono::steady_clock::now();
    stream.convert_block(in, out.data(), n);
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  double sum = 0;
  for (double t : times) sum += t;
  std::printf("%-22s block %5d: mean %8.4f ms  median %8.4f ms  p99 %8.4f ms  (%d blocks)\n", label,
              n, sum / static_cast<double>(times.size()), percentile(times, 0.5),
              percentile(times, 0.99), blocks);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_end_to_end MODELS_DIR FILE.wav...\n");
    return 2;
  }
  if (ondrelix_init(argv[1], nullptr) != 0) {
    std::fprintf(stderr, "bench: %s\n", ondrelix_last_error());
    return 1;
  }
  stages warm;
  double seconds = 0;
  time_conversion(argv[2], warm, seconds);  // first runs allocate the runtime's buffers
  std::printf("== file conversion, stage by stage (ms)\n");
  for (int i = 2; i < argc; ++i) {
    stages s;
    if (!time_conversion(argv[i], s, seconds)) {
      std::fprintf(stderr, "bench: %s: %s\n", argv[i], ondrelix_last_error());
      return 1;
    }
    const char *slash = std::strrchr(argv[i], '/');
    print_stages(slash ? slash + 1 : argv[i], s, seconds);
  }
  qv_wav rec{};
  qv_wav_read(argv[2], &rec, nullptr, 0);
  float *speech16 = nullptr;
  int32_t n16 = 0;
  qv_resample(rec.samples, rec.frames, rec.sample_rate, &speech16, &n16, 16000);
  std::vector<int16_t> speech(static_cast<size_t>(n16));
  for (int32_t i = 0; i < n16; ++i)
    speech[i] = static_cast<int16_t>(std::max(-1.0f, std::min(1.0f, speech16[i])) * 32767.0f);
  std::free(speech16);
  qv_wav_free(&rec);
  while (speech.size() < 16000 * 8)
    speech.insert(speech.end(), speech.begin(),
                  speech.begin() + std::min<size_t>(speech.size(), 16000 * 8 - speech.size()));
  std::printf("== stream blocks\n");
  time_blocks("neural (deep)", false, 3200, 200, speech);
  time_blocks("dsp (female)", true, 320, 20000, speech);
  time_blocks("dsp (deep)", true, 320, 20000, speech);
  ondrelix_cleanup();
  return 0;
}
