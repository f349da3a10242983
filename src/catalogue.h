// The named target voices: the stock voices (their table, their embeddings read from the models
// directory or synthesised) and the custom slot filled by cloning. Internal.
#pragma once

#include "common.h"
#include "effects.h"

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
// The effects a name selects: a stock voice's own; for any other name none, and in a DSP stream
// the pitch effect with factor 1, which passes the audio through.
qv_file_effect file_effect_for(const char *name);
qv_dsp_effect dsp_effect_for(const char *name);

struct voice_entry {
  char name[qv::kVoiceNameSize];
  float embedding[qv::kEmbeddingSize];
};

extern voice_entry g_voices[qv::kMaxVoices];
extern int g_voice_count;
extern float g_custom_emb[qv::kEmbeddingSize];
extern int g_custom_loaded;

// Fills the catalogue from "<dir>/<stock name>.bin" files, or with the synthetic set when none
// can be read. Cannot fail.
void load_catalogue(const char *models_dir);
// The embedding for a voice name; never null (null, empty and unknown names give entry 0).
const float *get_voice_embedding(const char *name);
