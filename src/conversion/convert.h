// Converting one WAV file into another with a chosen voice: the whole file in one run of the
// models, or, for a long file, piece by piece in bounded memory. Internal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common.h"
#include "engine/catalogue.h"
#include "engine/engine.h"
#include "engine/status.h"

namespace qv {
// Signals longer than this at the models' rate (60 s) are converted in pieces.
constexpr int64_t kPiecewiseThreshold = 60 * kModelRate;

// Converts `in_path` into a 22050 Hz 16-bit mono WAV file at `out_path` with the voice of that
// name; `out_count` receives the samples written. A failure leaves `out_path` as it was when the
// file was long enough for pieces; a whole-file conversion fails before it writes.
status convert_file(const engine &engine, const char *in_path, const char *out_path,
                    const char *voice_name, int64_t &out_count);

// The conversion report, into the interface's report buffer.
void publish_convert_report(const char *voice, const char *in_path, const char *out_path,
                            int64_t out_count, double elapsed_ms, const char **report);
}  // namespace qv

// Whether the file at `path` holds more than the threshold. False when its header cannot be read:
// the whole-file path then reports why.
bool wants_pieces(const char *path);

// Converts the file in pieces, reading and writing it piece by piece (memory stays bounded
// whatever its length). The output goes to a file beside `out_path` that replaces it only when
// complete, so a failure leaves `out_path` as it was.
qv::status convert_in_pieces(const qv::engine &engine, const char *in_path, const char *out_path,
                             const qv::voice &voice, int64_t &out_count);
