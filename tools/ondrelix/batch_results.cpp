#include "batch_results.h"

#include <yyjson.h>

#include <cstdlib>

#include "cli.h"
#include "host_os.h"
#include "platform/files.h"

namespace cli {

namespace {

// Paths may be any bytes on Linux; they are written as they are, like the library's reports.
constexpr yyjson_write_flag kWriteFlags = YYJSON_WRITE_ALLOW_INVALID_UNICODE;
constexpr yyjson_read_flag kReadFlags = YYJSON_READ_ALLOW_INVALID_UNICODE;

std::string written(yyjson_mut_doc *doc) {
  char *text = yyjson_mut_write(doc, kWriteFlags, nullptr);
  std::string line = text ? text : "{}";
  std::free(text);
  yyjson_mut_doc_free(doc);
  return line;
}

// {"status": STATUS, "in_path": ..., "out_path": ..., KEY: VALUE}
std::string job_report(const char *status, const conversion &job, const char *key,
                       const std::string &value) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_str(doc, root, "status", status);
  yyjson_mut_obj_add_strn(doc, root, "in_path", job.first.data(), job.first.size());
  yyjson_mut_obj_add_strn(doc, root, "out_path", job.second.data(), job.second.size());
  yyjson_mut_obj_add_strn(doc, root, key, value.data(), value.size());
  return written(doc);
}

}  // namespace

std::string with_job_paths(const std::string &report, const conversion &job) {
  yyjson_doc *doc = yyjson_read(report.data(), report.size(), kReadFlags);
  if (!doc) return report;
  yyjson_mut_doc *copy = yyjson_doc_mut_copy(doc, nullptr);
  yyjson_doc_free(doc);
  yyjson_mut_val *root = yyjson_mut_doc_get_root(copy);
  yyjson_mut_obj_replace(root, yyjson_mut_str(copy, "in_path"),
                         yyjson_mut_strn(copy, job.first.data(), job.first.size()));
  yyjson_mut_obj_replace(root, yyjson_mut_str(copy, "out_path"),
                         yyjson_mut_strn(copy, job.second.data(), job.second.size()));
  return written(copy);
}

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
