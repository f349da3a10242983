// A stock voice table with a fourth voice, linked into test_voice_table in place of the
// library's own: adding a voice must take nothing but its row.
#include "engine/catalogue.h"

const stock_voice g_stock_voices[] = {
    {"female", qv_file_effect::none, {qv_dsp_effect::pitch, 1.35f}},
    {"deep", qv_file_effect::none, {qv_dsp_effect::pitch, 0.75f}},
    {"robot", qv_file_effect::modulation, {qv_dsp_effect::modulation, 0}},
    {"whisper", qv_file_effect::modulation, {qv_dsp_effect::pitch, 1.2f}},
};
const int g_stock_voice_count = sizeof g_stock_voices / sizeof g_stock_voices[0];
