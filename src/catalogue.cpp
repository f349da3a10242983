// The named target voices: stock embeddings read from the models directory (or synthesised when
// none can be read) and the custom slot filled by cloning.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine.h"

voice_entry g_voices[qv::kMaxVoices];
int g_voice_count = 0;
float g_custom_emb[qv::kEmbeddingSize];
int g_custom_loaded = 0;

namespace {

constexpr const char *kStockVoices[3] = {"female", "deep", "robot"};
constexpr size_t kEmbeddingBytes = qv::kEmbeddingSize * 4;
#if defined(_WIN32)
constexpr const char *kEmbeddingPathFormat = "%s\\%s.bin";
#else
constexpr const char *kEmbeddingPathFormat = "%s/%s.bin";
#endif

// Embedding files are little-endian binary32 whatever the host's byte order.
void decode_embedding(const unsigned char *bytes, float *embedding) {
  for (int k = 0; k < qv::kEmbeddingSize; ++k) {
    const unsigned char *p = bytes + 4 * k;
    const uint32_t bits = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                          (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    std::memcpy(&embedding[k], &bits, 4);
  }
}

// Reads the first 1024 bytes of the file into `embedding`; a shorter file is not a voice.
bool read_embedding_file(const char *path, float *embedding) {
  FILE *f = std::fopen(path, "rb");
  if (!f) return false;
  unsigned char bytes[kEmbeddingBytes];
  const size_t got = std::fread(bytes, 4, qv::kEmbeddingSize, f);
  std::fclose(f);
  if (got != static_cast<size_t>(qv::kEmbeddingSize)) return false;
  decode_embedding(bytes, embedding);
  return true;
}

// Fallback voices so the engine always has at least one: component k of voice j is
// sin((100 j + k) * 0.1).
void fill_synthetic_voices() {
  for (int j = 0; j < 3; ++j) {
    std::snprintf(g_voices[j].name, sizeof g_voices[j].name, "%s", kStockVoices[j]);
    for (int k = 0; k < qv::kEmbeddingSize; ++k)
      g_voices[j].embedding[k] =
          static_cast<float>(std::sin(static_cast<double>(100 * j + k) * 0.1));
  }
  g_voice_count = 3;
}

}  // namespace

bool qv::ascii_iequals(const char *a, const char *b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
    if (ca != cb) return false;
    if (ca == '\0') return true;
  }
}

void load_catalogue(const char *models_dir) {
  g_voice_count = 0;
  for (const char *name : kStockVoices) {
    char path[qv::kPathSize];
    std::snprintf(path, sizeof path, kEmbeddingPathFormat, models_dir, name);
    voice_entry &entry = g_voices[g_voice_count];
    if (!read_embedding_file(path, entry.embedding)) continue;
    std::snprintf(entry.name, sizeof entry.name, "%s", name);
    ++g_voice_count;
  }
  if (g_voice_count == 0) fill_synthetic_voices();
}

const float *get_voice_embedding(const char *name) {
  if (!name || !name[0]) return g_voices[0].embedding;
  if (g_custom_loaded && qv::ascii_iequals(name, "custom")) return g_custom_emb;
  for (int i = 0; i < g_voice_count; ++i)
    if (qv::ascii_iequals(name, g_voices[i].name)) return g_voices[i].embedding;
  return g_voices[0].embedding;
}
