// What a batch says about each file: the library's report of a conversion on standard output, a
// report saying a file was skipped, a failure on standard error; the same as one JSON line per
// file in a log when asked; a progress line on a terminal; and the exit status.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

namespace cli {

using conversion = std::pair<std::string, std::string>;  // input, output

class batch_results {
 public:
  explicit batch_results(size_t total) : total_(total), start_(std::chrono::steady_clock::now()) {}
  ~batch_results();
  batch_results(const batch_results &) = delete;
  batch_results &operator=(const batch_results &) = delete;

  // Appends every result to `path` as well, a JSON line each. False when it cannot be opened.
  bool open_log(const std::string &path);

  void converted(const std::string &report);
  void skipped(const conversion &job);
  void failed(const conversion &job, const std::string &message);

  // 0 when nothing failed, else kFailure.
  int status() const;

 private:
  void log(const std::string &line);
  void count_one();

  size_t total_;
  size_t done_ = 0;
  bool any_failed_ = false;
  std::chrono::steady_clock::time_point start_;
  FILE *log_ = nullptr;
};

}  // namespace cli
