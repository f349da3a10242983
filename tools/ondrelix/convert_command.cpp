#include "convert_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli.h"
#include "host_os.h"
#include "ondrelix.h"
#include "platform/files.h"

namespace cli {

namespace {

const char *kConvertUsage =
    "usage: ondrelix convert IN.wav OUT.wav [--voice NAME] [--clone REF.wav] [--models DIR]\n"
    "       ondrelix convert IN.wav... --out-dir DIR [--jobs N] [--voice NAME] [--clone REF.wav]\n"
    "                        [--models DIR]\n"
    "  Converts WAV files to a voice and prints one JSON report per file.\n"
    "  --voice NAME   female, deep, robot, custom, ... (default: the first voice, female)\n"
    "  --clone REF    clone the voice \"custom\" from REF first and convert to it\n"
    "  --out-dir DIR  write each converted file as DIR/<input file name>\n"
    "  --jobs N       with --out-dir: convert with N processes at once (default: 1)\n"
    "  --models DIR   models directory (default: $ONDRELIX_MODELS, else the bundled models)\n"
    "  The exit status is 1 when any file failed; each failure is named on standard error.\n";

void remove_if_written(const std::string &path, const os::file_stamp &before) {
  const os::file_stamp after = os::stamp_of(path);
  if (after.exists && !(after == before)) qv::remove_file(path.c_str());
}

int convert_here(const std::vector<conversion> &jobs, const std::string &voice) {
  int status = 0;
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < jobs.size(); ++i) {
    std::string text;
    if (convert_one(jobs[i], voice, text)) {
      std::printf("%s\n", text.c_str());
      std::fflush(stdout);
    } else {
      if (os::stderr_is_terminal()) std::fprintf(stderr, "\n");
      std::fprintf(stderr, "ondrelix: cannot convert %s: %s\n", jobs[i].first.c_str(),
                   text.c_str());
      status = kFailure;
    }
    if (jobs.size() > 1)
      show_progress(
          i + 1, jobs.size(),
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return status;
}

}  // namespace

bool convert_one(const conversion &job, const std::string &voice, std::string &text) {
  const os::file_stamp before = os::stamp_of(job.second);
  const char *report = nullptr;
  if (ondrelix_convert_file(job.first.c_str(), job.second.c_str(),
                            voice.empty() ? nullptr : voice.c_str(), &report) != 0) {
    text = ondrelix_last_error();
    remove_if_written(job.second, before);
    return false;
  }
  text = report;
  return true;
}

void show_progress(size_t done, size_t total, double elapsed_s) {
  if (!os::stderr_is_terminal()) return;
  const double left =
      done ? elapsed_s / static_cast<double>(done) * static_cast<double>(total - done) : 0.0;
  std::fprintf(stderr, "\r[%zu/%zu] elapsed %.1f s, about %.1f s left   %s", done, total, elapsed_s,
               left, done == total ? "\n" : "");
}

int cmd_convert(int argc, char **argv) {
  const args a = parse(argc, argv, 2, {"voice", "models", "clone", "out-dir", "jobs"}, {});
  if (a.has("help")) return std::printf("%s", kConvertUsage), 0;
  if (!a.error.empty()) return usage_error(a.error, kConvertUsage);
  const std::string out_dir = a.get("out-dir");
  long workers = 1;
  if (!a.get("jobs").empty() && !parse_int(a.get("jobs"), 1, 256, workers))
    return usage_error("--jobs takes a whole number from 1 to 256", kConvertUsage);
  std::vector<conversion> jobs;
  if (out_dir.empty()) {
    if (a.positional.size() != 2)
      return usage_error("convert needs IN.wav and OUT.wav (or --out-dir)", kConvertUsage);
    if (workers > 1) return usage_error("--jobs goes with --out-dir", kConvertUsage);
    jobs.emplace_back(a.positional[0], a.positional[1]);
  } else {
    if (a.positional.empty())
      return usage_error("convert needs at least one input file", kConvertUsage);
    for (const std::string &in : a.positional) jobs.emplace_back(in, out_dir + "/" + base_name(in));
  }
  std::string voice = a.get("voice");
  const std::string clone = a.get("clone");
  std::vector<std::string> voices;
  if (!start_engine(a, false, voices)) return kFailure;
  if (!known_voice(voice, !clone.empty(), voices)) {
    ondrelix_cleanup();
    return kUsageError;
  }
  if (!clone.empty() && ondrelix_load_voice(clone.c_str(), nullptr) != 0) {
    fail("cannot clone a voice from " + clone);
    ondrelix_cleanup();
    return kFailure;
  }
  if (!clone.empty() && voice.empty()) voice = "custom";
  if (workers > 1 && jobs.size() > 1) {
    ondrelix_cleanup();  // each worker starts its own engine
    return convert_in_workers(jobs, static_cast<int>(std::min<size_t>(workers, jobs.size())),
                              models_dir(a), voice, clone);
  }
  const int status = convert_here(jobs, voice);
  ondrelix_cleanup();
  return status;
}

}  // namespace cli
