// The named target voices: stock embeddings read from the models directory (or synthesised when
// none can be read) and the custom slot filled by cloning.
#include "engine/catalogue.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "audio/byte_order.h"
#include "platform/files.h"

namespace {

constexpr size_t kEmbeddingBytes = qv::kEmbeddingSize * 4;
constexpr const char *kEmbeddingPathFormat = "%s" QV_PATH_SEPARATOR "%s.bin";
constexpr qv_dsp_effect kPassThrough = {qv_dsp_effect::pitch, 1.0f};

// Reads the first 1024 bytes of the file into `embedding`; a shorter file is not a voice.
bool read_embedding_file(const char *path, float *embedding) {
  FILE *f = qv::open_file(path, "rb");
  if (!f) return false;
  unsigned char bytes[kEmbeddingBytes];
  const size_t got = std::fread(bytes, 4, qv::kEmbeddingSize, f);
  std::fclose(f);
  if (got != static_cast<size_t>(qv::kEmbeddingSize)) return false;
  for (int k = 0; k < qv::kEmbeddingSize; ++k) embedding[k] = qv::load_le_float(bytes + 4 * k);
  return true;
}

}  // namespace

const stock_voice *find_stock_voice(const char *name) {
  if (!name) return nullptr;
  for (int i = 0; i < g_stock_voice_count; ++i)
    if (qv::ascii_iequals(name, g_stock_voices[i].name)) return &g_stock_voices[i];
  return nullptr;
}

namespace qv {

// Fallback voices so the engine always has at least one: component k of voice j is
// sin((100 j + k) * 0.1), the product taken in double before the sine.
void voice_catalogue::fill_synthetic_voices() {
  const int count = g_stock_voice_count < kMaxVoices ? g_stock_voice_count : kMaxVoices;
  for (int j = 0; j < count; ++j) {
    std::snprintf(voices[j].name, sizeof voices[j].name, "%s", g_stock_voices[j].name);
    for (int k = 0; k < kEmbeddingSize; ++k)
      voices[j].embedding[k] = static_cast<float>(std::sin(static_cast<double>(100 * j + k) * 0.1));
  }
  voice_count = count;
}

void voice_catalogue::load(const char *models_dir) {
  clear();
  for (int i = 0; i < g_stock_voice_count && voice_count < kMaxVoices; ++i) {
    const char *name = g_stock_voices[i].name;
    char path[kPathSize];
    std::snprintf(path, sizeof path, kEmbeddingPathFormat, models_dir, name);
    voice_entry &entry = voices[voice_count];
    if (!read_embedding_file(path, entry.embedding)) continue;
    std::snprintf(entry.name, sizeof entry.name, "%s", name);
    ++voice_count;
  }
  if (voice_count == 0) fill_synthetic_voices();
}

void voice_catalogue::clear() {
  voice_count = 0;
  custom_loaded_ = 0;
}

const float *voice_catalogue::embedding(const char *name) const {
  if (!name || !name[0]) return voices[0].embedding;
  if (custom_loaded_ && ascii_iequals(name, "custom")) return custom_emb;
  for (int i = 0; i < voice_count; ++i)
    if (ascii_iequals(name, voices[i].name)) return voices[i].embedding;
  return voices[0].embedding;
}

voice voice_catalogue::resolve(const char *name) const {
  voice v{};
  std::snprintf(v.name, sizeof v.name, "%s", name ? name : "");
  std::memcpy(v.embedding, embedding(name), sizeof v.embedding);
  const stock_voice *stock = find_stock_voice(name);
  v.file_effect = stock ? stock->file_effect : qv_file_effect::none;
  v.dsp_effect = stock ? stock->dsp_effect : kPassThrough;
  return v;
}

void voice_catalogue::set_custom(const float *embedding) {
  std::memcpy(custom_emb, embedding, sizeof custom_emb);
  custom_loaded_ = 1;
}

}  // namespace qv
