// Output files appear whole or not at all. A conversion writes OUT.part and renames it to OUT
// once complete, so a file at OUT is never one cut short by a process that was stopped while
// writing (a batch that resumes treats every existing output as finished). Devices, pipes and
// links are written in place: renaming would replace them rather than write through them.
#pragma once

#include <string>

namespace qv {

// Where the output goes while it is incomplete: OUT.part, or OUT itself when OUT is not a
// plain file that a rename may replace.
std::string staging_path(const char *out_path);

// Moves a complete staging file to OUT (nothing to do when it was written in place); false
// when the rename fails.
bool publish_output(const std::string &staging, const char *out_path);

// A writer's message names the file it wrote; the caller knows it as OUT.
std::string as_output_message(std::string message, const std::string &staging,
                              const char *out_path);

}  // namespace qv
