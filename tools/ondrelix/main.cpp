// ondrelix: convert, clone and stream voices from a shell. A host like any other: it uses only
// the public header.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "byte_order.h"
#include "ondrelix.h"
#include "pcm.h"
#include "wav.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kFailure = 1;
constexpr int kStreamRate = 16000;
constexpr const char *kModelsEnv = "ONDRELIX_MODELS";

using steady = std::chrono::steady_clock;

// ---- Arguments ----

struct args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // --name value
  std::vector<std::string> flags;              // --name
  std::string error;
  bool has(const std::string &flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
  }
  std::string get(const std::string &name, const std::string &fallback = "") const {
    auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
  }
};

args parse(int argc, char **argv, int first, const std::vector<std::string> &valued,
           const std::vector<std::string> &switches) {
  args a;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      const std::string name = arg.substr(2);
      if (std::find(valued.begin(), valued.end(), name) != valued.end()) {
        if (i + 1 >= argc) {
          a.error = "option --" + name + " needs a value";
          return a;
        }
        a.options[name] = argv[++i];
      } else if (std::find(switches.begin(), switches.end(), name) != switches.end() ||
                 name == "help") {
        a.flags.push_back(name);
      } else {
        a.error = "unknown option " + arg;
        return a;
      }
    } else {
      a.positional.push_back(arg);
    }
  }
  return a;
}

// The models installed beside this program, when it runs from an install.
std::string installed_models() {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "";
  exe[n] = '\0';
  std::string dir(exe);
  dir = dir.substr(0, dir.find_last_of('/') + 1) + ONDRELIX_INSTALLED_MODELS;
  struct stat st {};
  return ::stat((dir + "/openvoice_converter.onnx").c_str(), &st) == 0 ? dir : "";
}

std::string models_dir(const args &a) {
  if (!a.get("models").empty()) return a.get("models");
  if (const char *env = std::getenv(kModelsEnv); env && *env) return env;
  const std::string installed = installed_models();
  return installed.empty() ? ONDRELIX_DEFAULT_MODELS : installed;
}

int usage_error(const std::string &message, const char *usage) {
  std::fprintf(stderr, "ondrelix: %s\n\n%s", message.c_str(), usage);
  return kUsageError;
}

int fail(const char *what) {
  std::fprintf(stderr, "ondrelix: %s: %s\n", what, ondrelix_last_error());
  return kFailure;
}

// The voice names of the init report's "voices" array.
std::vector<std::string> catalogue_voices(const char *report) {
  std::vector<std::string> names;
  yyjson_doc *doc = yyjson_read(report, std::strlen(report), 0);
  yyjson_val *voices = yyjson_obj_get(yyjson_doc_get_root(doc), "voices");
  size_t i, count;
  yyjson_val *name;
  yyjson_arr_foreach(voices, i, count, name) {
    if (yyjson_is_str(name)) names.emplace_back(yyjson_get_str(name));
  }
  yyjson_doc_free(doc);
  return names;
}

std::vector<std::string> g_voices;  // filled by start_engine

bool start_engine(const args &a, bool print_report) {
  const char *report = nullptr;
  const std::string dir = models_dir(a);
  if (ondrelix_init(dir.c_str(), &report) != 0) {
    std::fprintf(stderr, "ondrelix: cannot start with models from %s: %s\n", dir.c_str(),
                 ondrelix_last_error());
    return false;
  }
  g_voices = catalogue_voices(report);
  if (print_report) std::printf("%s\n", report);
  return true;
}

bool same_name(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The library quietly uses its first voice for a name it does not know; a typo on the command
// line deserves an error instead. "custom" needs --clone, since every run starts a new engine.
bool known_voice(const std::string &voice, bool cloned) {
  if (voice.empty() || (cloned && same_name(voice, "custom"))) return true;
  for (const std::string &name : g_voices)
    if (same_name(voice, name)) return true;
  std::string list;
  for (const std::string &name : g_voices) list += " " + name;
  std::fprintf(stderr, "ondrelix: unknown voice '%s' (voices:%s%s)\n", voice.c_str(), list.c_str(),
               cloned ? " custom" : "; custom needs --clone");
  return false;
}

// ---- voices / version ----

const char *kVoicesUsage =
    "usage: ondrelix voices [--models DIR]\n"
    "  Starts the engine and prints its report, which lists the voices.\n"
    "  --models DIR   models directory (default: $ONDRELIX_MODELS, else the bundled models)\n";

int cmd_voices(int argc, char **argv) {
  const args a = parse(argc, argv, 2, {"models"}, {});
  if (a.has("help")) return std::printf("%s", kVoicesUsage), 0;
  if (!a.error.empty()) return usage_error(a.error, kVoicesUsage);
  if (!a.positional.empty()) return usage_error("voices takes no file arguments", kVoicesUsage);
  if (!start_engine(a, true)) return kFailure;
  ondrelix_cleanup();
  return 0;
}

// ---- convert ----

const char *kConvertUsage =
    "usage: ondrelix convert IN.wav OUT.wav [--voice NAME] [--clone REF.wav] [--models DIR]\n"
    "       ondrelix convert IN.wav... --out-dir DIR [--voice NAME] [--clone REF.wav] [--models "
    "DIR]\n"
    "  Converts WAV files to a voice and prints one JSON report per file.\n"
    "  --voice NAME   female, deep, robot, custom, ... (default: the first voice, female)\n"
    "  --clone REF    clone the voice \"custom\" from REF first and convert to it\n"
    "  --out-dir DIR  write each converted file as DIR/<input file name>\n"
    "  --models DIR   models directory (default: $ONDRELIX_MODELS, else the bundled models)\n";

struct file_state {
  bool exists = false;
  struct stat st {};
};

file_state look(const std::string &path) {
  file_state s;
  s.exists = ::stat(path.c_str(), &s.st) == 0;
  return s;
}

// A failed conversion must not leave a half-written file where the user asked for output.
void remove_if_written(const std::string &path, const file_state &before) {
  const file_state after = look(path);
  if (!after.exists) return;
  const bool changed = !before.exists || after.st.st_mtim.tv_sec != before.st.st_mtim.tv_sec ||
                       after.st.st_mtim.tv_nsec != before.st.st_mtim.tv_nsec ||
                       after.st.st_size != before.st.st_size;
  if (changed) std::remove(path.c_str());
}

std::string base_name(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void show_progress(size_t done, size_t total, steady::time_point start) {
  if (!isatty(STDERR_FILENO)) return;
  const double elapsed = std::chrono::duration<double>(steady::now() - start).count();
  const double left =
      done ? elapsed / static_cast<double>(done) * static_cast<double>(total - done) : 0.0;
  std::fprintf(stderr, "\r[%zu/%zu] elapsed %.1f s, about %.1f s left   %s", done, total, elapsed,
               left, done == total ? "\n" : "");
}

int cmd_convert(int argc, char **argv) {
  const args a = parse(argc, argv, 2, {"voice", "models", "clone", "out-dir"}, {});
  if (a.has("help")) return std::printf("%s", kConvertUsage), 0;
  if (!a.error.empty()) return usage_error(a.error, kConvertUsage);
  const std::string out_dir = a.get("out-dir");
  std::vector<std::pair<std::string, std::string>> jobs;
  if (out_dir.empty()) {
    if (a.positional.size() != 2)
      return usage_error("convert needs IN.wav and OUT.wav (or --out-dir)", kConvertUsage);
    jobs.emplace_back(a.positional[0], a.positional[1]);
  } else {
    if (a.positional.empty())
      return usage_error("convert needs at least one input file", kConvertUsage);
    for (const std::string &in : a.positional) jobs.emplace_back(in, out_dir + "/" + base_name(in));
  }
  std::string voice = a.get("voice");
  if (!start_engine(a, false)) return kFailure;
  if (!known_voice(voice, !a.get("clone").empty())) {
    ondrelix_cleanup();
    return kUsageError;
  }
  if (!a.get("clone").empty()) {
    if (ondrelix_load_voice(a.get("clone").c_str(), nullptr) != 0) {
      fail(("cannot clone a voice from " + a.get("clone")).c_str());
      ondrelix_cleanup();
      return kFailure;
    }
    if (voice.empty()) voice = "custom";
  }
  int status = 0;
  const auto start = steady::now();
  for (size_t i = 0; i < jobs.size(); ++i) {
    const auto &[in, out] = jobs[i];
    const file_state before = look(out);
    const char *report = nullptr;
    if (ondrelix_convert_file(in.c_str(), out.c_str(), voice.empty() ? nullptr : voice.c_str(),
                              &report) != 0) {
      if (isatty(STDERR_FILENO)) std::fprintf(stderr, "\n");
      std::fprintf(stderr, "ondrelix: cannot convert %s: %s\n", in.c_str(), ondrelix_last_error());
      remove_if_written(out, before);
      status = kFailure;
    } else {
      std::printf("%s\n", report);
      std::fflush(stdout);
    }
    if (jobs.size() > 1) show_progress(i + 1, jobs.size(), start);
  }
  ondrelix_cleanup();
  return status;
}

// ---- stream ----

const char *kStreamUsage =
    "usage: ondrelix stream [--voice NAME] [--mode dsp|neural] [--latency-ms N] [--models DIR]\n"
    "                       [--input IN.wav --output OUT.wav [--fast]] [--clone REF.wav]\n"
    "  Converts 16 kHz mono signed 16-bit little-endian samples from standard input to standard\n"
    "  output as they come, for example\n"
    "    arecord -f S16_LE -r 16000 -c 1 | ondrelix stream --voice deep | aplay -f S16_LE -r "
    "16000\n"
    "  The stop report goes to standard error at the end of input or on Ctrl-C.\n"
    "  --voice NAME      voice (default: female); in dsp mode other names pass the audio through\n"
    "  --mode MODE       neural (default, 200 ms blocks) or dsp (light effects, 20 ms blocks)\n"
    "  --latency-ms N    block length in milliseconds, 20 to 1000\n"
    "  --input IN.wav    feed a 16 kHz WAV file (any channels, down-mixed) at real-time pace\n"
    "  --output OUT.wav  with --input: write what comes out as a 16 kHz WAV file\n"
    "  --fast            with --input, feed as fast as the stream converts\n"
    "  --clone REF       clone the voice \"custom\" from REF first\n"
    "  --models DIR      models directory (default: $ONDRELIX_MODELS, else the bundled models)\n";

// A WAV file for the stream: any format the library reads, down-mixed, at 16 kHz.
bool read_stream_input(const std::string &path, std::vector<int16_t> &out) {
  qv_wav rec{};
  char err[512] = "";
  if (qv_wav_read(path.c_str(), &rec, err, sizeof err) != 0) {
    std::fprintf(stderr, "ondrelix: cannot read %s: %s\n", path.c_str(), err);
    return false;
  }
  const bool rate_ok = rec.sample_rate == kStreamRate;
  if (rate_ok) {
    out.resize(static_cast<size_t>(rec.frames));
    for (int32_t i = 0; i < rec.frames; ++i) out[i] = qv::pcm16_round(rec.samples[i]);
  }
  qv_wav_free(&rec);
  if (!rate_ok) std::fprintf(stderr, "ondrelix: %s must be 16 kHz for streaming\n", path.c_str());
  return rate_ok;
}

bool write_stream_output(const std::string &path, const std::vector<int16_t> &samples) {
  char err[512] = "";
  if (qv_wav_write_pcm16(path.c_str(), samples.data(), static_cast<int32_t>(samples.size()),
                         kStreamRate, err, sizeof err) == 0)
    return true;
  std::remove(path.c_str());
  std::fprintf(stderr, "ondrelix: cannot write %s: %s\n", path.c_str(), err);
  return false;
}

std::atomic<bool> g_interrupted{false};
void on_signal(int) { g_interrupted = true; }

// Where the stream's input comes from: standard input or a WAV file's samples.
class sample_source {
 public:
  explicit sample_source(std::vector<int16_t> file) : file_(std::move(file)), from_file_(true) {}
  sample_source() = default;
  bool from_file() const { return from_file_; }
  bool done() const { return done_; }
  // Up to `max` samples that are available now (never blocks for long).
  size_t take(int16_t *out, size_t max) {
    if (from_file_) {
      const size_t n = std::min(max, file_.size() - pos_);
      std::memcpy(out, file_.data() + pos_, n * sizeof(int16_t));
      pos_ += n;
      done_ = pos_ == file_.size();
      return n;
    }
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return 0;
    unsigned char bytes[2 * 4096];
    size_t want = std::min(max * 2, sizeof bytes);
    const ssize_t got = ::read(STDIN_FILENO, bytes, want);
    if (got <= 0) {
      done_ = true;
      return 0;
    }
    pending_.insert(pending_.end(), bytes, bytes + got);
    const size_t n = pending_.size() / 2;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<int16_t>(qv::load_le16(&pending_[2 * i]));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n * 2));
    return n;
  }

 private:
  std::vector<int16_t> file_;
  size_t pos_ = 0;
  bool from_file_ = false;
  bool done_ = false;
  std::vector<unsigned char> pending_;
};

void write_stdout(const int16_t *s, size_t n) {
  std::vector<unsigned char> bytes(n * 2);
  for (size_t i = 0; i < n; ++i) qv::store_le16(&bytes[2 * i], static_cast<uint16_t>(s[i]));
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

std::string stream_options(const args &a, int &block) {
  std::string json = "{";
  block = 3200;
  if (a.get("mode") == "dsp") {
    json += "\"mode\":\"dsp\"";
    block = 320;
  }
  if (!a.get("latency-ms").empty()) {
    if (json.size() > 1) json += ",";
    json += "\"latency_ms\":" + a.get("latency-ms");
    block = 16 * std::atoi(a.get("latency-ms").c_str());
  }
  return json + "}";
}

int run_stream(sample_source &source, bool fast, int block, std::vector<int16_t> *collected) {
  const auto start = steady::now();
  int64_t fed = 0, delivered = 0;
  int16_t chunk[4096];
  bool padded = false;
  auto idle_since = steady::now();
  for (;;) {
    if (g_interrupted) break;
    // Real-time pace: sample k is not fed before k / 16000 s after the start (a live source
    // never waits for this). --fast keeps only a few blocks in flight.
    const double now_s = std::chrono::duration<double>(steady::now() - start).count();
    int64_t allowed =
        fast ? delivered + 4 * block + fed / 16 : static_cast<int64_t>(now_s * kStreamRate) + 320;
    if (!source.done() && fed < allowed) {
      const size_t n =
          source.take(chunk, static_cast<size_t>(std::min<int64_t>(allowed - fed, 4096)));
      if (n > 0) {
        ondrelix_rt_write(chunk, static_cast<int>(n));
        fed += static_cast<int64_t>(n);
      }
    }
    if (source.done() && !padded) {
      // Silence up to a whole block, so the last samples are converted too.
      const int64_t rest = (block - fed % block) % block;
      std::vector<int16_t> zeros(static_cast<size_t>(rest), 0);
      if (rest > 0) ondrelix_rt_write(zeros.data(), static_cast<int>(rest));
      padded = true;
      idle_since = steady::now();
    }
    int got = 0;
    ondrelix_rt_read(chunk, 4096, &got);
    if (got > 0) {
      // Never hand out more than was fed: the padding is not the user's audio.
      const int64_t n = std::min<int64_t>(got, std::max<int64_t>(fed - delivered, 0));
      if (collected)
        collected->insert(collected->end(), chunk, chunk + n);
      else
        write_stdout(chunk, static_cast<size_t>(n));
      delivered += n;
      idle_since = steady::now();
    }
    // After the input ends, wait for the last blocks: done when nothing came for a while.
    const auto patience = std::chrono::milliseconds(500 + block / 16 * 3);
    if (padded && (delivered >= fed || steady::now() - idle_since > patience)) break;
  }
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  if (report) std::fprintf(stderr, "%s\n", report);
  return 0;
}

int cmd_stream(int argc, char **argv) {
  const args a =
      parse(argc, argv, 2, {"voice", "mode", "latency-ms", "models", "input", "output", "clone"},
            {"fast"});
  if (a.has("help")) return std::printf("%s", kStreamUsage), 0;
  if (!a.error.empty()) return usage_error(a.error, kStreamUsage);
  if (!a.positional.empty()) return usage_error("stream takes no file arguments", kStreamUsage);
  const std::string mode = a.get("mode", "neural");
  if (mode != "dsp" && mode != "neural")
    return usage_error("--mode is dsp or neural", kStreamUsage);
  const std::string latency = a.get("latency-ms");
  if (!latency.empty()) {
    char *end = nullptr;
    const long v = std::strtol(latency.c_str(), &end, 10);
    if (*end || v < 20 || v > 1000)
      return usage_error("--latency-ms takes a whole number from 20 to 1000", kStreamUsage);
  }
  if (a.get("input").empty() != a.get("output").empty())
    return usage_error("--input and --output go together", kStreamUsage);
  if (a.has("fast") && a.get("input").empty())
    return usage_error("--fast goes with --input", kStreamUsage);

  std::vector<int16_t> file_samples;
  if (!a.get("input").empty() && !read_stream_input(a.get("input"), file_samples)) return kFailure;
  if (!start_engine(a, false)) return kFailure;
  if (!a.get("clone").empty() && ondrelix_load_voice(a.get("clone").c_str(), nullptr) != 0) {
    fail(("cannot clone a voice from " + a.get("clone")).c_str());
    ondrelix_cleanup();
    return kFailure;
  }
  int block = 0;
  const std::string options = stream_options(a, block);
  const std::string voice = a.get("voice");
  // In DSP mode every other name is a deliberate pass-through.
  if (mode == "neural" && !known_voice(voice, !a.get("clone").empty())) {
    ondrelix_cleanup();
    return kUsageError;
  }
  if (ondrelix_rt_start(voice.empty() ? nullptr : voice.c_str(), options.c_str()) != 0) {
    fail("cannot start the stream");
    ondrelix_cleanup();
    return kFailure;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::signal(SIGPIPE, SIG_IGN);
  int status = 0;
  if (a.get("input").empty()) {
    sample_source source;
    status = run_stream(source, false, block, nullptr);
  } else {
    sample_source source(std::move(file_samples));
    std::vector<int16_t> out;
    status = run_stream(source, a.has("fast"), block, &out);
    if (status == 0 && !write_stream_output(a.get("output"), out)) status = kFailure;
  }
  ondrelix_cleanup();
  return status;
}

const char *kUsage =
    "usage: ondrelix COMMAND [options]   (ondrelix COMMAND --help for each)\n"
    "  voices    start the engine and list its voices\n"
    "  convert   convert WAV files to a voice (optionally cloned from a clip)\n"
    "  stream    convert 16 kHz audio from standard input, or a WAV file, in real time\n"
    "  version   print the library version\n";

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage_error("missing command", kUsage);
  const std::string cmd = argv[1];
  if (cmd == "voices") return cmd_voices(argc, argv);
  if (cmd == "convert") return cmd_convert(argc, argv);
  if (cmd == "stream") return cmd_stream(argc, argv);
  if (cmd == "version") return std::printf("%s\n", ondrelix_version()), 0;
  if (cmd == "--help" || cmd == "-h" || cmd == "help") return std::printf("%s", kUsage), 0;
  return usage_error("unknown command '" + cmd + "'", kUsage);
}
