// host_os.h on Linux and other POSIX systems.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "host_os.h"

extern char **environ;

namespace cli::os {

std::string executable_path() {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "";
  return std::string(exe, static_cast<size_t>(n));
}

file_stamp stamp_of(const std::string &path) {
  struct stat st {};
  file_stamp s;
  if (::stat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.size = static_cast<int64_t>(st.st_size);
  return s;
}

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) != 0; }

void binary_stdio() {}

std::vector<std::string> utf8_arguments(int argc, char **argv) {
  return std::vector<std::string>(argv, argv + argc);
}

size_t read_stdin(void *buffer, size_t n) {
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer, n);
    if (got < 0 && errno == EINTR) continue;
    return got > 0 ? static_cast<size_t>(got) : 0;
  }
}

struct child_process::handles {
  pid_t pid = -1;
  int to_child = -1;
  int from_child = -1;
};

child_process::child_process() : h_(new handles) {}

child_process::~child_process() {
  close_input();
  if (h_->from_child >= 0) ::close(h_->from_child);
  wait();
}

// A fresh run (spawned, not forked: the parent has had ONNX Runtime threads) of this program.
bool child_process::start(const std::vector<std::string> &args) {
  std::signal(SIGPIPE, SIG_IGN);  // a worker that died must not take the parent with it
  int in[2], out[2];
  if (::pipe(in) != 0) return false;
  if (::pipe(out) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<std::string> words = args;
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const std::string exe = executable_path();
  const int rc = posix_spawn(&h_->pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    h_->pid = -1;
    ::close(in[1]);
    ::close(out[0]);
    return false;
  }
  h_->to_child = in[1];
  h_->from_child = out[0];
  return true;
}

namespace {

// Moves exactly n bytes through `io` (read or write), retrying when interrupted.
template <typename Io, typename Byte>
bool move_all(Io io, int fd, Byte *data, size_t n) {
  while (n > 0) {
    if (fd < 0) return false;
    const ssize_t done = io(fd, data, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

}  // namespace

bool child_process::write(const void *data, size_t n) {
  return move_all(::write, h_->to_child, static_cast<const char *>(data), n);
}

bool child_process::read(void *data, size_t n) {
  return move_all(::read, h_->from_child, static_cast<char *>(data), n);
}

void child_process::close_input() {
  if (h_->to_child >= 0) ::close(h_->to_child);
  h_->to_child = -1;
}

void child_process::wait() {
  if (h_->pid <= 0) return;
  int status = 0;
  while (::waitpid(h_->pid, &status, 0) < 0 && errno == EINTR) {
  }
  h_->pid = -1;
}

}  // namespace cli::os
