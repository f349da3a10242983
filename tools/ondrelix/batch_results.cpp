#include "batch_results.h"

#include "cli.h"
#include "host_os.h"
#include "json_text.h"
#include "platform/files.h"

namespace cli {

namespace {

// {"status": STATUS, "in_path": ..., "out_path": ..., KEY: VALUE}
std::string job_report(const char *status, const conversion &job, const char *key,
                       const std::string &value) {
  return json_strings(
      {{"status", status}, {"in_path", job.first}, {"out_path", job.second}, {key, value}});
}

}  // namespace

batch_results::~batch_results() {
  if (log_) std::fclose(log_);
}

bool batch_results::open_log(const std::string &path) {
  log_ = qv::open_file(path.c_str(), "ab");
  return log_ != nullptr;
}

void batch_results::converted(const std::string &report) {
  std::printf("%s\n", report.c_str());
  std::fflush(stdout);
  log(report);
  count_one();
}

void batch_results::skipped(const conversion &job) {
  const std::string report = job_report("skipped", job, "reason", "the output exists");
  std::printf("%s\n", report.c_str());
  std::fflush(stdout);
  log(report);
  count_one();
}

void batch_results::failed(const conversion &job, const std::string &message) {
  if (os::stderr_is_terminal()) std::fprintf(stderr, "\n");
  std::fprintf(stderr, "ondrelix: cannot convert %s: %s\n", job.first.c_str(), message.c_str());
  log(job_report("failed", job, "error", message));
  any_failed_ = true;
  count_one();
}

int batch_results::status() const { return any_failed_ ? kFailure : 0; }

// A line at a time and flushed, so that a batch stopped at any moment leaves whole lines.
void batch_results::log(const std::string &line) {
  if (!log_) return;
  std::fprintf(log_, "%s\n", line.c_str());
  std::fflush(log_);
}

void batch_results::count_one() {
  ++done_;
  if (total_ < 2 || !os::stderr_is_terminal()) return;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double left = elapsed / static_cast<double>(done_) * static_cast<double>(total_ - done_);
  std::fprintf(stderr, "\r[%zu/%zu] elapsed %.1f s, about %.1f s left   %s", done_, total_, elapsed,
               left, done_ == total_ ? "\n" : "");
}

}  // namespace cli
