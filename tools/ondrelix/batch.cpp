// A batch spread over worker processes. The engine is one per process, so every worker is a
// fresh run of this program (spawned, not forked: the parent has had ONNX Runtime threads) that
// starts its own engine, takes one file at a time from the parent and hands back its result.
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "convert_command.h"
#include "ondrelix.h"

extern char **environ;

namespace cli {

namespace {

constexpr int kTaskFd = 3;    // in the worker: where tasks arrive
constexpr int kResultFd = 4;  // in the worker: where results go

// Moves exactly n bytes through `io` (read or write), retrying when interrupted.
template <typename Io, typename Byte>
bool move_all(Io io, int fd, Byte *data, size_t n) {
  while (n > 0) {
    const ssize_t done = io(fd, data, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

// Messages on the pipes: a 32-bit length, then that many bytes.
bool write_all(int fd, const void *data, size_t n) {
  return move_all(::write, fd, static_cast<const char *>(data), n);
}

bool read_all(int fd, void *data, size_t n) {
  return move_all(::read, fd, static_cast<char *>(data), n);
}

bool send_text(int fd, const std::string &text) {
  const uint32_t n = static_cast<uint32_t>(text.size());
  return write_all(fd, &n, sizeof n) && write_all(fd, text.data(), n);
}

bool receive_text(int fd, std::string &text) {
  uint32_t n = 0;
  if (!read_all(fd, &n, sizeof n) || n > (1u << 20)) return false;
  text.resize(n);
  return read_all(fd, text.data(), n);
}

struct worker {
  pid_t pid = -1;
  int task_fd = -1;    // parent's end
  int result_fd = -1;  // parent's end
  long job = -1;       // the job it is converting, or -1
};

bool spawn_worker(worker &w, const std::string &models, const std::string &voice,
                  const std::string &clone) {
  int task[2], result[2];
  if (::pipe(task) != 0) return false;
  if (::pipe(result) != 0) {
    ::close(task[0]);
    ::close(task[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, task[0], kTaskFd);
  posix_spawn_file_actions_adddup2(&actions, result[1], kResultFd);
  for (int fd : {task[0], task[1], result[0], result[1]})
    if (fd != kTaskFd && fd != kResultFd) posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<std::string> words = {"ondrelix", "convert-worker", "--models", models};
  if (!voice.empty()) words.insert(words.end(), {"--voice", voice});
  if (!clone.empty()) words.insert(words.end(), {"--clone", clone});
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&w.pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(task[0]);
  ::close(result[1]);
  if (rc != 0) {
    ::close(task[1]);
    ::close(result[0]);
    return false;
  }
  w.task_fd = task[1];
  w.result_fd = result[0];
  return true;
}

// Gives the worker the next job, or tells it there is none by closing its task pipe.
void hand_out(worker &w, const std::vector<conversion> &jobs, size_t &next) {
  w.job = -1;
  if (next < jobs.size() && send_text(w.task_fd, jobs[next].first) &&
      send_text(w.task_fd, jobs[next].second)) {
    w.job = static_cast<long>(next++);
    return;
  }
  if (w.task_fd >= 0) ::close(w.task_fd);
  w.task_fd = -1;
}

}  // namespace

int convert_in_workers(const std::vector<conversion> &jobs, int count, const std::string &models,
                       const std::string &voice, const std::string &clone) {
  std::signal(SIGPIPE, SIG_IGN);  // a worker that died must not take the parent with it
  std::vector<worker> workers;
  for (int i = 0; i < count; ++i) {
    worker w;
    if (spawn_worker(w, models, voice, clone)) workers.push_back(w);
  }
  if (workers.empty()) {
    std::fprintf(stderr, "ondrelix: cannot start a worker process\n");
    return kFailure;
  }
  size_t next = 0, done = 0;
  int status = 0;
  for (worker &w : workers) hand_out(w, jobs, next);
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<worker *> owners;
    for (worker &w : workers)
      if (w.result_fd >= 0) {
        fds.push_back({w.result_fd, POLLIN, 0});
        owners.push_back(&w);
      }
    if (fds.empty()) break;
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      worker &w = *owners[i];
      std::string ok, text;
      if (!receive_text(w.result_fd, ok) || !receive_text(w.result_fd, text)) {
        // The worker ended: after its last job that is expected; during one it is a failure.
        if (w.job >= 0) {
          std::fprintf(stderr, "ondrelix: cannot convert %s: the worker process ended\n",
                       jobs[static_cast<size_t>(w.job)].first.c_str());
          status = kFailure;
          ++done;
        }
        ::close(w.result_fd);
        w.result_fd = -1;
        if (w.task_fd >= 0) ::close(w.task_fd);
        w.task_fd = -1;
        continue;
      }
      if (ok == "1") {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
      } else {
        if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\n");
        std::fprintf(stderr, "ondrelix: cannot convert %s: %s\n",
                     jobs[static_cast<size_t>(w.job)].first.c_str(), text.c_str());
        status = kFailure;
      }
      show_progress(
          ++done, jobs.size(),
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      hand_out(w, jobs, next);
    }
  }
  for (worker &w : workers) {
    int wstatus = 0;
    if (w.pid > 0) ::waitpid(w.pid, &wstatus, 0);
  }
  // Jobs no worker could take (every worker ended early) are failures too.
  for (size_t j = next; j < jobs.size(); ++j) {
    std::fprintf(stderr, "ondrelix: cannot convert %s: no worker process left\n",
                 jobs[j].first.c_str());
    status = kFailure;
  }
  return status;
}

int cmd_convert_worker(int argc, char **argv) {
  const args a = parse(argc, argv, 2, {"models", "voice", "clone"}, {});
  std::vector<std::string> voices;
  std::string start_error;
  if (!start_engine(a, false, voices)) start_error = ondrelix_last_error();
  if (start_error.empty() && !a.get("clone").empty() &&
      ondrelix_load_voice(a.get("clone").c_str(), nullptr) != 0)
    start_error = ondrelix_last_error();
  std::string in, out;
  while (receive_text(kTaskFd, in) && receive_text(kTaskFd, out)) {
    std::string text = start_error;
    const bool ok = start_error.empty() && convert_one({in, out}, a.get("voice"), text);
    if (!send_text(kResultFd, ok ? "1" : "0") || !send_text(kResultFd, text)) break;
  }
  ondrelix_cleanup();
  return 0;
}

}  // namespace cli
