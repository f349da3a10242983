// What the command needs of the operating system, where Linux and Windows differ: its own path,
// file stamps, the console, its arguments as UTF-8, standard input read without blocking, and
// worker processes of this program with pipes to them. host_os_posix.cpp and
// host_os_windows.cpp implement it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cli::os {

// The running program's path, UTF-8; empty when it cannot be told.
std::string executable_path();
// The folder part of a path (up to and including its last separator).
std::string folder_of(const std::string &path);

// What a file looked like at one moment.
struct file_stamp {
  bool exists = false;
  int64_t modified_ns = 0;
  int64_t size = 0;
  bool operator==(const file_stamp &o) const {
    return exists == o.exists && modified_ns == o.modified_ns && size == o.size;
  }
};
file_stamp stamp_of(const std::string &path);

bool stderr_is_terminal();
// Standard input, output and error carry bytes as they are: raw samples stay whole, and what the
// program prints ends its lines with LF alone (Windows would otherwise write CR LF).
void binary_stdio();
// The program's arguments as UTF-8 (on Windows taken from the wide command line).
std::vector<std::string> utf8_arguments(int argc, char **argv);

// Reads what standard input has (at least a byte, waiting for it); 0 at its end or on an error.
size_t read_stdin(void *buffer, size_t n);

// Standard input read by a thread of its own, so that the caller takes what has arrived without
// ever blocking.
class stdin_reader {
 public:
  stdin_reader();
  ~stdin_reader();
  // Moves up to `max` bytes that have arrived into `out`; false once the input has ended and
  // everything was taken.
  bool take(size_t max, std::vector<unsigned char> &out);

 private:
  void run();
  std::mutex mutex_;
  std::deque<unsigned char> bytes_;
  bool ended_ = false;
  std::thread thread_;
};

// A worker: a fresh run of this program whose standard input and output are pipes to us.
class child_process {
 public:
  child_process();
  ~child_process();
  child_process(const child_process &) = delete;
  child_process &operator=(const child_process &) = delete;

  bool start(const std::vector<std::string> &args);
  // Exactly n bytes to its standard input, or from its standard output; false when the pipe
  // is closed.
  bool write(const void *data, size_t n);
  bool read(void *data, size_t n);
  // Closes its standard input: no more work.
  void close_input();
  // Waits for it to end.
  void wait();

 private:
  struct handles;
  std::unique_ptr<handles> h_;
};

}  // namespace cli::os
