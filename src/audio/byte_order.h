// Little-endian loads and stores: WAV fields and samples, embedding files and raw s16le pipes are
// little-endian whatever the host's byte order.
#pragma once

#include <cstdint>
#include <cstring>

namespace qv {

inline uint16_t load_le16(const unsigned char *p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_le32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline float load_le_float(const unsigned char *p) {
  const uint32_t bits = load_le32(p);
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

inline void store_le16(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

inline void store_le32(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace qv
