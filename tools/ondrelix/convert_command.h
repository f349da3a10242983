// The convert subcommand, and the worker processes that spread a batch over several cores.
#pragma once

#include <string>
#include <vector>

#include "audio_files.h"
#include "batch_results.h"

namespace cli {

// How every file of a batch is converted.
struct conversion_settings {
  std::string voice;  // empty: the library's first voice
  bool flac = false;  // write FLAC instead of the library's WAV
};

// Converts one file with the running engine, decoding an input the library does not read and
// encoding FLAC through `scratch`. On success `text` is the report (with the job's paths); on
// failure it is the message. The library writes an output whole or not at all.
bool convert_one(const conversion &job, const conversion_settings &settings, scratch_files &scratch,
                 std::string &text);

// Clones the voice "custom" from a reference clip in any format the command reads; false with
// the message in `error`.
bool load_clone(const std::string &reference, std::string &error);

// Runs `jobs` over `workers` processes, each with its own engine (the engine is one per process),
// and tells `results` of each as it ends.
void convert_in_workers(const std::vector<conversion> &jobs, int workers, const std::string &models,
                        const conversion_settings &settings, const std::string &clone,
                        batch_results &results);

int cmd_convert(int argc, char **argv);
// The hidden subcommand a worker process runs: jobs on its standard input, results on its
// standard output.
int cmd_convert_worker(int argc, char **argv);

}  // namespace cli
