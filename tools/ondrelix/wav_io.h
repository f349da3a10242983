// The few WAV files the command itself handles: 16 kHz mono 16-bit PCM, as the stream takes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

inline uint32_t wav_le32(const unsigned char *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline bool read_wav_16k(const std::string &path, std::vector<int16_t> &out, std::string &error) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return error = "cannot open " + path, false;
  std::vector<unsigned char> b;
  unsigned char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  std::fclose(f);
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4))
    return error = path + " is not a WAV file", false;
  bool format_ok = false;
  for (size_t pos = 12; pos + 8 <= b.size();) {
    const uint32_t size = wav_le32(&b[pos + 4]);
    const unsigned char *payload = &b[pos + 8];
    if (!std::memcmp(&b[pos], "fmt ", 4) && size >= 16 && pos + 8 + 16 <= b.size()) {
      format_ok = (payload[0] | payload[1] << 8) == 1 && (payload[2] | payload[3] << 8) == 1 &&
                  wav_le32(payload + 4) == 16000 && (payload[14] | payload[15] << 8) == 16;
    } else if (!std::memcmp(&b[pos], "data", 4)) {
      if (!format_ok) return error = path + " must be 16 kHz mono 16-bit PCM for streaming", false;
      const size_t bytes = std::min<size_t>(size, b.size() - pos - 8);
      out.resize(bytes / 2);
      for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(payload[2 * i] | payload[2 * i + 1] << 8);
      return true;
    }
    pos += 8 + static_cast<size_t>(size);
  }
  return error = path + " has no data chunk", false;
}

inline bool write_wav_16k(const std::string &path, const std::vector<int16_t> &samples,
                          std::string &error) {
  const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
  unsigned char h[44];
  auto put32 = [&](int o, uint32_t v) {
    for (int i = 0; i < 4; ++i) h[o + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  auto put16 = [&](int o, uint32_t v) {
    h[o] = static_cast<unsigned char>(v);
    h[o + 1] = static_cast<unsigned char>(v >> 8);
  };
  std::memcpy(h, "RIFF", 4);
  put32(4, 36 + data);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(16, 16);
  put16(20, 1);
  put16(22, 1);
  put32(24, 16000);
  put32(28, 32000);
  put16(32, 2);
  put16(34, 16);
  std::memcpy(h + 36, "data", 4);
  put32(40, data);
  std::vector<unsigned char> body(data);
  for (size_t i = 0; i < samples.size(); ++i) {
    const auto v = static_cast<uint16_t>(samples[i]);
    body[2 * i] = static_cast<unsigned char>(v & 0xFF);
    body[2 * i + 1] = static_cast<unsigned char>(v >> 8);
  }
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return error = "cannot create " + path, false;
  bool ok =
      std::fwrite(h, 1, 44, f) == 44 && std::fwrite(body.data(), 1, body.size(), f) == body.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    std::remove(path.c_str());
    return error = "cannot write " + path, false;
  }
  return true;
}
