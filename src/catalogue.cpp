// The named target voices: stock embeddings read from the models directory (or synthesised when
// none can be read) and the custom slot filled by cloning.
#include "catalogue.h"

#include <cmath>
#include <cstdio>

#include "byte_order.h"

voice_entry g_voices[qv::kMaxVoices];
int g_voice_count = 0;
float g_custom_emb[qv::kEmbeddingSize];
int g_custom_loaded = 0;

namespace {

constexpr size_t kEmbeddingBytes = qv::kEmbeddingSize * 4;
constexpr const char *kEmbeddingPathFormat = "%s" QV_PATH_SEPARATOR "%s.bin";
constexpr qv_dsp_effect kPassThrough = {qv_dsp_effect::pitch, 1.0f};

// Reads the first 1024 bytes of the file into `embedding`; a shorter file is not a voice.
bool read_embedding_file(const char *path, float *embedding) {
  FILE *f = std::fopen(path, "rb");
  if (!f) return false;
  unsigned char bytes[kEmbeddingBytes];
  const size_t got = std::fread(bytes, 4, qv::kEmbeddingSize, f);
  std::fclose(f);
  if (got != static_cast<size_t>(qv::kEmbeddingSize)) return false;
  for (int k = 0; k < qv::kEmbeddingSize; ++k) embedding[k] = qv::load_le_float(bytes + 4 * k);
  return true;
}

// Fallback voices so the engine always has at least one: component k of voice j is
// sin((100 j + k) * 0.1), the product taken in double before the sine.
void fill_synthetic_voices() {
  const int count = g_stock_voice_count < qv::kMaxVoices ? g_stock_voice_count : qv::kMaxVoices;
  for (int j = 0; j < count; ++j) {
    std::snprintf(g_voices[j].name, sizeof g_voices[j].name, "%s", g_stock_voices[j].name);
    for (int k = 0; k < qv::kEmbeddingSize; ++k)
      g_voices[j].embedding[k] =
          static_cast<float>(std::sin(static_cast<double>(100 * j + k) * 0.1));
  }
  g_voice_count = count;
}

}  // namespace

const stock_voice *find_stock_voice(const char *name) {
  if (!name) return nullptr;
  for (int i = 0; i < g_stock_voice_count; ++i)
    if (qv::ascii_iequals(name, g_stock_voices[i].name)) return &g_stock_voices[i];
  return nullptr;
}

qv_file_effect file_effect_for(const char *name) {
  const stock_voice *voice = find_stock_voice(name);
  return voice ? voice->file_effect : qv_file_effect::none;
}

qv_dsp_effect dsp_effect_for(const char *name) {
  const stock_voice *voice = find_stock_voice(name);
  return voice ? voice->dsp_effect : kPassThrough;
}

void load_catalogue(const char *models_dir) {
  g_voice_count = 0;
  for (int i = 0; i < g_stock_voice_count && g_voice_count < qv::kMaxVoices; ++i) {
    const char *name = g_stock_voices[i].name;
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
