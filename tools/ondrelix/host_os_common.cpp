// The parts of host_os.h that are the same on every system.
#include <algorithm>

#include "host_os.h"

namespace cli::os {

std::string folder_of(const std::string &path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

stdin_reader::stdin_reader() : thread_([this] { run(); }) {}

// The reader thread blocks in a read until input comes or ends; a program that stops early
// leaves it there (detached), as a thread blocked in a read cannot be woken portably.
stdin_reader::~stdin_reader() {
  if (thread_.joinable()) thread_.detach();
}

void stdin_reader::run() {
  unsigned char buffer[8192];
  for (;;) {
    const size_t got = read_stdin(buffer, sizeof buffer);
    std::lock_guard<std::mutex> lock(mutex_);
    if (got == 0) {
      ended_ = true;
      return;
    }
    bytes_.insert(bytes_.end(), buffer, buffer + got);
  }
}

bool stdin_reader::take(size_t max, std::vector<unsigned char> &out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t n = std::min(max, bytes_.size());
  out.insert(out.end(), bytes_.begin(), bytes_.begin() + static_cast<long>(n));
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(n));
  return !(ended_ && bytes_.empty());
}

}  // namespace cli::os
