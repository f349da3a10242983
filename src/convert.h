// File conversion in pieces, for signals too long to convert in one run of the models. Internal
// to file conversion (convert.cpp decides which way a file goes).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common.h"

namespace qv {
// Signals longer than this at the models' rate (60 s) are converted in pieces.
constexpr int64_t kPiecewiseThreshold = 60 * kModelRate;
}  // namespace qv

// Whether the file at `path` holds more than the threshold. False when its header cannot be read:
// the whole-file path then reports why.
bool wants_pieces(const char *path);

// Converts the file in pieces, reading and writing it piece by piece (memory stays bounded
// whatever its length). The output goes to a file beside `out_path` that replaces it only when
// complete, so a failure leaves `out_path` as it was. On success `out_count` holds the samples
// written and the result is 0; on failure -1 with the last error set.
int convert_in_pieces(const char *in_path, const char *out_path, const char *voice,
                      int64_t &out_count);
