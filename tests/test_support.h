// Helpers shared by the tests: temporary folders, crafted WAV files, fixture model folders.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace qvt {

namespace fs = std::filesystem;

inline std::string fixture_dir(const char *name) {
  return std::string(ONDRELIX_FIXTURE_DIR) + "/" + name;
}

inline std::string corpus_file(const char *name) {
  return std::string(ONDRELIX_CORPUS_DIR) + "/" + name;
}

#define QVT_REQUIRE_CORPUS()                                             \
  do {                                                                   \
    if (!std::filesystem::exists(qvt::corpus_file("spk1_a.wav")))        \
      GTEST_SKIP() << "speech corpus not found at " ONDRELIX_CORPUS_DIR; \
  } while (0)

// A fresh folder under the system's temporary directory, removed with everything in it.
class temp_dir {
 public:
  temp_dir() {
    // A random name that create_directory makes only if nobody has it (as mkdtemp does, on every
    // system).
    std::random_device seed;
    std::mt19937_64 rng(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      const fs::path candidate =
          fs::temp_directory_path() / ("ondrelix-test-" + std::to_string(rng() % 100000000000ull));
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) {
        path_ = candidate;
        return;
      }
    }
    throw std::runtime_error("cannot make a temporary folder");
  }
  ~temp_dir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  std::string str() const { return path_.string(); }
  std::string file(const std::string &name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  if (!bytes.empty()) ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
}

inline std::vector<uint8_t> read_file(const std::string &path) {
  std::vector<uint8_t> bytes;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return bytes;
}

inline void put_le(std::vector<uint8_t> &out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void put_chunk(std::vector<uint8_t> &out, const char *id,
                      const std::vector<uint8_t> &payload, int64_t declared = -1) {
  out.insert(out.end(), id, id + 4);
  put_le(out, declared >= 0 ? static_cast<uint64_t>(declared) : payload.size(), 4);
  out.insert(out.end(), payload.begin(), payload.end());
}

inline std::vector<uint8_t> fmt_payload(uint16_t format, uint16_t channels, uint32_t rate,
                                        uint16_t bits, size_t extra = 0) {
  std::vector<uint8_t> p;
  put_le(p, format, 2);
  put_le(p, channels, 2);
  put_le(p, rate, 4);
  put_le(p, static_cast<uint64_t>(rate) * channels * bits / 8, 4);
  put_le(p, static_cast<uint64_t>(channels) * bits / 8, 2);
  put_le(p, bits, 2);
  p.resize(p.size() + extra, 0);
  return p;
}

// A 40-byte WAVE_FORMAT_EXTENSIBLE fmt payload whose sub-format GUID stands for `sub_tag` (1 PCM,
// 3 IEEE float); `bits` is the container size. `guid_tail_ok` false spoils the GUID's fixed part.
inline std::vector<uint8_t> fmt_extensible(uint16_t sub_tag, uint16_t channels, uint32_t rate,
                                           uint16_t bits, uint16_t valid_bits,
                                           bool guid_tail_ok = true) {
  std::vector<uint8_t> p = fmt_payload(0xFFFE, channels, rate, bits);
  put_le(p, 22, 2);                                          // extension size
  put_le(p, valid_bits, 2);                                  // valid bits per sample
  put_le(p, channels == 1 ? 4u : (1u << channels) - 1u, 4);  // speaker mask
  put_le(p, sub_tag, 4);
  const uint8_t tail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  p.insert(p.end(), tail, tail + 12);
  if (!guid_tail_ok) p.back() ^= 0xFF;
  return p;
}

inline std::vector<uint8_t> riff(const std::vector<uint8_t> &chunks) {
  std::vector<uint8_t> out{'R', 'I', 'F', 'F'};
  put_le(out, chunks.size() + 4, 4);
  out.insert(out.end(), {'W', 'A', 'V', 'E'});
  out.insert(out.end(), chunks.begin(), chunks.end());
  return out;
}

// A canonical WAV file: fmt then data.
inline std::vector<uint8_t> wav_file(uint16_t format, uint16_t channels, uint32_t rate,
                                     uint16_t bits, const std::vector<uint8_t> &data) {
  std::vector<uint8_t> chunks;
  put_chunk(chunks, "fmt ", fmt_payload(format, channels, rate, bits));
  put_chunk(chunks, "data", data);
  return riff(chunks);
}

inline std::vector<uint8_t> pcm16_bytes(const std::vector<int16_t> &samples) {
  std::vector<uint8_t> out;
  for (int16_t s : samples) put_le(out, static_cast<uint16_t>(s), 2);
  return out;
}

inline void write_wav16(const std::string &path, const std::vector<int16_t> &samples,
                        uint32_t rate) {
  write_file(path, wav_file(1, 1, rate, 16, pcm16_bytes(samples)));
}

inline void write_wav_float(const std::string &path, const std::vector<float> &samples,
                            uint32_t rate) {
  std::vector<uint8_t> data(samples.size() * 4);
  std::memcpy(data.data(), samples.data(), data.size());
  write_file(path, wav_file(3, 1, rate, 32, data));
}

inline void write_embedding(const std::string &path, const std::vector<float> &values,
                            size_t bytes = 1024) {
  std::vector<uint8_t> out(bytes, 0);
  std::memcpy(out.data(), values.data(), std::min(bytes, values.size() * 4));
  write_file(path, out);
}

// A models folder that holds copies of the fixture models of `variant` (small files; a link
// would need privileges on Windows) and nothing else, so a test can add the embedding files it
// wants.
class models_dir : public temp_dir {
 public:
  explicit models_dir(const char *variant = "models") {
    for (const auto &entry : fs::directory_iterator(fixture_dir(variant)))
      fs::copy_file(entry.path(), fs::path(str()) / entry.path().filename());
  }
};

// A deterministic test signal: a few partials with a slow amplitude envelope.
inline std::vector<float> test_tone(size_t n, double rate = 22050.0) {
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    out[i] = static_cast<float>(0.3 * std::sin(6.283185307179586 * 220 * t) +
                                0.1 * std::sin(6.283185307179586 * 1330 * t) +
                                0.05 * std::sin(6.283185307179586 * 3100 * t));
  }
  return out;
}

}  // namespace qvt
