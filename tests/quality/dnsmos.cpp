// Scores how natural speech sounds with the DNSMOS P.835 model (a neural predictor of listeners'
// ratings), on the ONNX Runtime the library links. A measuring instrument for the quality run;
// never shipped.
//
//   dnsmos MODEL.onnx FILE.wav...
//
// Prints one line per file: its name, SIG, BAK and OVRL (1 to 5), and the number of 9.01 s
// windows scored. Files are down-mixed to mono (as the library reads them) and brought to 16 kHz
// with libsoxr.
#include <onnxruntime_cxx_api.h>
#include <soxr.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/wav.h"

namespace {

constexpr int kRate = 16000;
constexpr size_t kWindow = 144160;  // 9.01 s
constexpr size_t kHop = 16000;

std::vector<float> read_16k(const char *path) {
  qv_wav wav{};
  char err[512] = "";
  if (qv_wav_read(path, &wav, err, sizeof err) != 0) throw std::runtime_error(err);
  std::vector<float> in(wav.samples, wav.samples + wav.frames);
  const int rate = wav.sample_rate;
  qv_wav_free(&wav);
  if (rate == kRate) return in;
  std::vector<float> out(static_cast<size_t>(std::ceil(in.size() * double(kRate) / rate)) + 16);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  size_t done = 0;
  soxr_error_t error = soxr_oneshot(rate, kRate, 1, in.data(), in.size(), nullptr, out.data(),
                                    out.size(), &done, &io, &quality, nullptr);
  if (error) throw std::runtime_error(std::string("resampling: ") + error);
  out.resize(done);
  return out;
}

// A clip shorter than a window is repeated (doubled) until it fills one; windows start every
// second. The count truncates toward zero, so a clip of 9.01 to 10 s has one window.
std::vector<float> windows_of(std::vector<float> clip, size_t &count) {
  if (clip.empty()) throw std::runtime_error("no samples");
  while (clip.size() < kWindow) clip.insert(clip.end(), clip.begin(), clip.end());
  const double span = std::floor(double(clip.size()) / kHop) - double(kWindow) / kHop;
  count = static_cast<size_t>(std::trunc(span)) + 1;
  std::vector<float> batch;
  batch.reserve(count * kWindow);
  for (size_t i = 0; i < count; ++i)
    batch.insert(batch.end(), clip.begin() + i * kHop, clip.begin() + i * kHop + kWindow);
  return batch;
}

double polynomial(double x, double a, double b, double c) { return (a * x + b) * x + c; }

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: dnsmos MODEL.onnx FILE.wav...\n");
    return 2;
  }
  try {
    Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "dnsmos");
    Ort::SessionOptions options;
    Ort::Session session(env, argv[1], options);
    Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const char *input_names[] = {"input_1"};
    const char *output_names[] = {"Identity:0"};
    for (int i = 2; i < argc; ++i) {
      size_t count = 0;
      std::vector<float> batch = windows_of(read_16k(argv[i]), count);
      const int64_t shape[2] = {static_cast<int64_t>(count), static_cast<int64_t>(kWindow)};
      Ort::Value input =
          Ort::Value::CreateTensor<float>(memory, batch.data(), batch.size(), shape, 2);
      auto outputs = session.Run(Ort::RunOptions{nullptr}, input_names, &input, 1, output_names, 1);
      const float *raw = outputs[0].GetTensorData<float>();
      double sig = 0, bak = 0, ovrl = 0;
      for (size_t w = 0; w < count; ++w) {
        sig += polynomial(raw[3 * w], -0.08397278, 1.22083953, 0.0052439);
        bak += polynomial(raw[3 * w + 1], -0.13166888, 1.60915514, -0.39604546);
        ovrl += polynomial(raw[3 * w + 2], -0.06766283, 1.11546468, 0.04602535);
      }
      std::printf("%s %.4f %.4f %.4f %zu\n", argv[i], sig / count, bak / count, ovrl / count,
                  count);
      std::fflush(stdout);
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "dnsmos: %s\n", e.what());
    return 1;
  }
  return 0;
}
