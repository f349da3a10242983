// The stock voices. A file of its own, so that a test build can link a table of its own instead.
#include "engine/catalogue.h"

const stock_voice g_stock_voices[] = {
    {"female", qv_file_effect::none, {qv_dsp_effect::pitch, 1.35f}},        // raised pitch
    {"deep", qv_file_effect::none, {qv_dsp_effect::pitch, 0.75f}},          // lowered pitch
    {"robot", qv_file_effect::modulation, {qv_dsp_effect::modulation, 0}},  // 160 Hz modulation
};
const int g_stock_voice_count = sizeof g_stock_voices / sizeof g_stock_voices[0];
