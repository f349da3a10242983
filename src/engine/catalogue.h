// The named target voices: the stock voices (their table, their embeddings read from the models
// directory or synthesised) and the custom slot filled by cloning; and a voice name resolved
// once into everything it means. Internal.
#pragma once

#include "common.h"
#include "signal/effects.h"

namespace qv {
constexpr int kMaxVoices = 16;
constexpr int kVoiceNameSize = 64;
}  // namespace qv

// A stock voice: everything the engine knows of it besides its embedding's values. Its embedding
// comes from the file "<name>.bin" in the models directory, or, when no stock file can be read,
// from the synthetic set (row j: sin((100 j + k) 0.1)).
struct stock_voice {
  const char *name;
  qv_file_effect file_effect;  // after a file conversion
  qv_dsp_effect dsp_effect;    // in a DSP stream
};

// The stock voices in catalogue order (voice_table.cpp). Adding a voice is adding a row.
extern const stock_voice g_stock_voices[];
extern const int g_stock_voice_count;

// The stock voice of that name (ASCII case ignored), or null.
const stock_voice *find_stock_voice(const char *name);

struct voice_entry {
  char name[qv::kVoiceNameSize];
  float embedding[qv::kEmbeddingSize];
};

namespace qv {

// A voice name resolved once: the embedding the models take, and the effects the name selects (a
// stock voice's own; for any other name none, and in a DSP stream the pitch effect with factor 1,
// which passes the audio through).
struct voice {
  char name[kVoiceNameSize];
  float embedding[kEmbeddingSize];
  qv_file_effect file_effect;
  qv_dsp_effect dsp_effect;
};

// The voices of one engine: the catalogue of stock voices (g_voices, g_voice_count) and the
// custom slot (g_custom_emb, g_custom_loaded).
class voice_catalogue {
 public:
  // Fills the catalogue from "<dir>/<stock name>.bin" files, or with the synthetic set when none
  // can be read, and empties the custom slot. Cannot fail.
  void load(const char *models_dir);
  // No voices at all (the engine is stopped).
  void clear();

  // The embedding for a voice name; never null (null, empty and unknown names give entry 0, and
  // "custom" does too while the slot is empty).
  const float *embedding(const char *name) const;
  // The name resolved: its embedding as embedding() gives it, and its effects.
  voice resolve(const char *name) const;

  int count() const { return voice_count; }
  const voice_entry &entry(int i) const { return voices[i]; }
  bool custom_loaded() const { return custom_loaded_ != 0; }
  const float *custom_embedding() const { return custom_emb; }
  // Stores a cloned voice; the flag follows the data, so a reader never sees half a voice.
  void set_custom(const float *embedding);

 private:
  void fill_synthetic_voices();

  voice_entry voices[kMaxVoices] = {};
  int voice_count = 0;
  float custom_emb[kEmbeddingSize] = {};
  int custom_loaded_ = 0;
};

}  // namespace qv
