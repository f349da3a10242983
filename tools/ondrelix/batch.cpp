// A batch spread over worker processes. The engine is one per process, so every worker is a
// fresh run of this program that starts its own engine, takes one file at a time from the parent
// on its standard input and hands back its result on its standard output.
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "convert_command.h"
#include "host_os.h"
#include "ondrelix.h"

namespace cli {

namespace {

// Messages on the pipes: a 32-bit length, then that many bytes.
template <typename Channel>
bool send_text(Channel &channel, const std::string &text) {
  const uint32_t n = static_cast<uint32_t>(text.size());
  return channel.write(&n, sizeof n) && channel.write(text.data(), n);
}

template <typename Channel>
bool receive_text(Channel &channel, std::string &text) {
  uint32_t n = 0;
  if (!channel.read(&n, sizeof n) || n > (1u << 20)) return false;
  text.resize(n);
  return n == 0 || channel.read(&text[0], n);
}

// The worker's side of the pipes: its standard input and output.
struct standard_streams {
  bool write(const void *data, size_t n) {
    return std::fwrite(data, 1, n, stdout) == n && std::fflush(stdout) == 0;
  }
  bool read(void *data, size_t n) { return std::fread(data, 1, n, stdin) == n; }
};

// What a worker said: its result for a job, or that it ended.
struct event {
  size_t worker;
  bool ended;
  bool ok;
  std::string text;
};

// The parent's side: a worker process, the job it converts, and a thread that reads its
// results into the batch's queue of events.
class worker {
 public:
  worker(size_t index, std::deque<event> &events, std::mutex &mutex, std::condition_variable &cv)
      : index_(index), events_(events), mutex_(mutex), cv_(cv) {}
  ~worker() {
    process_.close_input();
    if (reader_.joinable()) reader_.join();
    process_.wait();
  }

  bool start(const std::vector<std::string> &args) {
    if (!process_.start(args)) return false;
    reader_ = std::thread([this] { read_results(); });
    return true;
  }
  // Gives the worker the next job, or tells it there is none by closing its input.
  void hand_out(const std::vector<conversion> &jobs, size_t &next) {
    job = -1;
    if (next < jobs.size() && send_text(process_, jobs[next].first) &&
        send_text(process_, jobs[next].second)) {
      job = static_cast<long>(next++);
      return;
    }
    process_.close_input();
  }

  long job = -1;  // the job it is converting, or -1

 private:
  void read_results() {
    std::string ok, text;
    for (;;) {
      const bool got = receive_text(process_, ok) && receive_text(process_, text);
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event{index_, !got, ok == "1", text});
      cv_.notify_one();
      if (!got) return;
    }
  }

  size_t index_;
  std::deque<event> &events_;
  std::mutex &mutex_;
  std::condition_variable &cv_;
  os::child_process process_;
  std::thread reader_;
};

}  // namespace

void convert_in_workers(const std::vector<conversion> &jobs, int count, const std::string &models,
                        const conversion_settings &settings, const std::string &clone,
                        batch_results &results) {
  std::deque<event> events;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> args = {"ondrelix", "convert-worker", "--models", models};
  if (!settings.voice.empty()) args.insert(args.end(), {"--voice", settings.voice});
  if (!clone.empty()) args.insert(args.end(), {"--clone", clone});
  if (settings.flac) args.insert(args.end(), {"--out-format", "flac"});
  std::vector<std::unique_ptr<worker>> workers;
  for (int i = 0; i < count; ++i) {
    auto w = std::make_unique<worker>(workers.size(), events, mutex, cv);
    if (w->start(args)) workers.push_back(std::move(w));
  }
  if (workers.empty()) std::fprintf(stderr, "ondrelix: cannot start a worker process\n");
  size_t next = 0, running = workers.size();
  for (auto &w : workers) w->hand_out(jobs, next);
  while (running > 0) {
    event e;
    {
      std::unique_lock<std::mutex> lock(mutex);
      cv.wait(lock, [&] { return !events.empty(); });
      e = std::move(events.front());
      events.pop_front();
    }
    worker &w = *workers[e.worker];
    if (e.ended) {
      // The worker ended: after its last job that is expected; during one it is a failure.
      if (w.job >= 0) results.failed(jobs[static_cast<size_t>(w.job)], "the worker process ended");
      w.job = -1;
      --running;
      continue;
    }
    if (e.ok)
      results.converted(e.text);
    else
      results.failed(jobs[static_cast<size_t>(w.job)], e.text);
    w.hand_out(jobs, next);
  }
  workers.clear();  // each waits for its process
  // Jobs no worker could take (none started, or every one ended early) are failures too.
  for (size_t j = next; j < jobs.size(); ++j) results.failed(jobs[j], "no worker process left");
}

int cmd_convert_worker(int argc, char **argv) {
  const args a = parse(argc, argv, 2, {"models", "voice", "clone", "out-format"}, {});
  std::vector<std::string> voices;
  std::string start_error;
  if (!start_engine(a, false, voices)) start_error = ondrelix_last_error();
  if (start_error.empty() && !a.get("clone").empty()) load_clone(a.get("clone"), start_error);
  const conversion_settings settings{a.get("voice"), a.get("out-format") == "flac"};
  scratch_files scratch;
  standard_streams pipes;
  std::string in, out;
  while (receive_text(pipes, in) && receive_text(pipes, out)) {
    std::string text = start_error;
    const bool ok = start_error.empty() && convert_one({in, out}, settings, scratch, text);
    if (!send_text(pipes, ok ? "1" : "0") || !send_text(pipes, text)) break;
  }
  ondrelix_cleanup();
  return 0;
}

}  // namespace cli
