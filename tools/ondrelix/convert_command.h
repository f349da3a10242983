// The convert subcommand, and the worker processes that spread a batch over several cores.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cli {

using conversion = std::pair<std::string, std::string>;  // input, output

// Converts one file with the running engine. On success `text` is the report; on failure it is
// the library's message, and an output file the conversion wrote is removed (one it never
// touched stays as it was).
bool convert_one(const conversion &job, const std::string &voice, std::string &text);

// Runs `jobs` over `workers` processes, each with its own engine (the engine is one per process).
// Prints every report and failure as convert_one's results arrive; returns the exit status.
int convert_in_workers(const std::vector<conversion> &jobs, int workers, const std::string &models,
                       const std::string &voice, const std::string &clone);

int cmd_convert(int argc, char **argv);
// The hidden subcommand a worker process runs: tasks on fd 3, results on fd 4.
int cmd_convert_worker(int argc, char **argv);

// The progress line of a batch, on a terminal only.
void show_progress(size_t done, size_t total, double elapsed_s);

}  // namespace cli
