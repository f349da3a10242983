// The stream subcommand: a host of the library's real-time stream, fed from standard input (raw
// s16le at any rate and channel count) or a WAV file, with the output going to standard output or
// a WAV file. The host's rate is brought to and from the stream's 16 kHz with libsoxr.
#include "stream_command.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "cli.h"
#include "host_audio.h"
#include "host_os.h"
#include "ondrelix.h"
#include "platform/files.h"
#include "signal/pcm.h"
#include "stream/stream_constants.h"

namespace cli {

namespace {

using steady = std::chrono::steady_clock;

const char *kStreamUsage =
    "usage: ondrelix stream [--voice NAME] [--mode dsp|neural] [--blocks] [--latency-ms N]\n"
    "                       [--gate-db DB] [--max-delay-ms N] [--models DIR]\n"
    "                       [--rate HZ] [--channels N] [--clone REF.wav]\n"
    "                       [--input IN.wav --output OUT.wav [--fast]]\n"
    "  Converts signed 16-bit little-endian samples from standard input to standard output as\n"
    "  they come, for example\n"
    "    arecord -f S16_LE -r 48000 -c 1 | ondrelix stream --voice deep --rate 48000 \\\n"
    "      | aplay -f S16_LE -r 48000 -c 1\n"
    "  The stop report goes to standard error at the end of input or on Ctrl-C, followed by the\n"
    "  delay the command measured from reading a sample to writing it (resampling included).\n"
    "  --voice NAME      voice (default: female); in dsp mode other names pass the audio through\n"
    "  --mode MODE       neural (default) or dsp (light effects, 20 ms blocks)\n"
    "  --blocks          neural mode as isolated 200 ms blocks, each converted on its own (the\n"
    "                    library's default mode); without it the neural stream is continuous:\n"
    "                    overlapping pieces joined without a seam, as much output as input\n"
    "  --latency-ms N    20 to 1000: the block length, or in the continuous mode the hop between\n"
    "                    pieces (default 46 ms; rounded to steps of 46.4 ms)\n"
    "  --gate-db DB      continuous mode: pieces below DB (-120 to 0) skip the models and come\n"
    "                    out as silence (default: no gate)\n"
    "  --max-delay-ms N  continuous mode: input waiting longer than N ms (50 to 10000, default\n"
    "                    500) is dropped, oldest first, so the delay stays bounded\n"
    "  --rate HZ         the pipe's sample rate, 8000 to 192000 (default: 16000); the stream runs\n"
    "                    at 16 kHz and the audio is resampled to and from it (libsoxr, high\n"
    "                    quality). With --input: the rate of the output file (default: the "
    "input's)\n"
    "  --channels N      the pipe's channels, 1 to 32 (default: 1): down-mixed going in, the\n"
    "                    result on every channel coming out\n"
    "  --input IN.wav    feed a WAV file (any rate, any channels, down-mixed) at real-time pace\n"
    "  --output OUT.wav  with --input: write what comes out as a mono 16-bit WAV file\n"
    "  --fast            with --input, feed as fast as the stream converts\n"
    "  --clone REF       clone the voice \"custom\" from REF first\n"
    "  --models DIR      models directory (default: $ONDRELIX_MODELS, else the bundled models)\n";

std::atomic<bool> g_interrupted{false};
void on_signal(int) { g_interrupted = true; }

// Where the host's audio comes from: standard input or a WAV file's samples, as mono float.
class host_source {
 public:
  explicit host_source(int channels)
      : raw_(channels), stdin_(std::make_unique<os::stdin_reader>()) {}
  explicit host_source(std::vector<float> file)
      : raw_(1), file_(std::move(file)), from_file_(true) {}
  bool done() const { return done_; }
  // Up to `max` frames that are available now (never blocks for long).
  void take(size_t max, std::vector<float> &out) {
    if (from_file_) {
      const size_t n = std::min(max, file_.size() - pos_);
      out.insert(out.end(), file_.begin() + static_cast<long>(pos_),
                 file_.begin() + static_cast<long>(pos_ + n));
      pos_ += n;
      done_ = pos_ == file_.size();
      return;
    }
    bytes_.clear();
    done_ = !stdin_->take(max * raw_.frame_bytes(), bytes_);
    raw_.decode(bytes_.data(), bytes_.size(), out);
  }

 private:
  raw_decoder raw_;
  std::unique_ptr<os::stdin_reader> stdin_;  // the pipe, read by a thread of its own
  std::vector<unsigned char> bytes_;
  std::vector<float> file_;
  size_t pos_ = 0;
  bool from_file_ = false;
  bool done_ = false;
};

// Where the converted audio goes: standard output (raw frames) or a WAV file at the end. At most
// `limit` frames are put: the input's length at the output rate.
class host_sink {
 public:
  host_sink(int channels, bool to_file) : channels_(channels), to_file_(to_file) {}
  void put(const std::vector<float> &mono, size_t limit) {
    const size_t n = std::min(mono.size(), limit > written_ ? limit - written_ : 0);
    written_ += n;
    if (to_file_) {
      for (size_t i = 0; i < n; ++i) file_.push_back(qv::pcm16_round(mono[i]));
      return;
    }
    if (n == 0) return;
    std::vector<unsigned char> bytes;
    encode_raw(mono.data(), n, channels_, bytes);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  }
  size_t written() const { return written_; }
  const std::vector<int16_t> &file() const { return file_; }

 private:
  int channels_;
  bool to_file_;
  size_t written_ = 0;
  std::vector<int16_t> file_;
};

// Read-to-write delay: the time at which every 10 ms of input was read, against the time the
// output sample at the same position was written.
class delay_meter {
 public:
  explicit delay_meter(double in_rate) : step_(std::max(1.0, in_rate / 100.0)) {}
  void read(double input_frames, double now_ms) {
    while (next_mark_ <= input_frames) {
      marks_.push_back(now_ms);
      next_mark_ += step_;
    }
  }
  void wrote(double input_position, double now_ms) {
    while (matched_ < marks_.size() && static_cast<double>(matched_) * step_ < input_position)
      delays_.push_back(now_ms - marks_[matched_++]);
  }
  double percentile(double p) const {
    if (delays_.empty()) return 0.0;
    std::vector<double> d = delays_;
    std::sort(d.begin(), d.end());
    return d[std::min(d.size() - 1, static_cast<size_t>(p * static_cast<double>(d.size())))];
  }

 private:
  double step_;
  double next_mark_ = 0.0;
  size_t matched_ = 0;
  std::vector<double> marks_, delays_;
};

double ms_since(steady::time_point t0) {
  return std::chrono::duration<double, std::milli>(steady::now() - t0).count();
}

struct stream_setup {
  int block;        // the stream's block at 16 kHz
  bool continuous;  // pieces end on the input's last samples: pad by one hop and the lookahead
  int max_backlog;  // continuous mode: 16 kHz samples that may wait before the oldest is dropped
  double in_rate;   // of the source
  double out_rate;  // of the sink
  int channels;
  bool fast;
};

// How much --fast keeps in flight (fed but not yet back): in block mode four blocks; in the
// continuous mode a hop, the lookahead and at most half the drop bound, so that the input
// waiting in the stream never reaches the bound however slow the conversion, and a file fed as
// fast as the stream converts loses no sample.
int64_t in_flight_limit(const stream_setup &s) {
  if (!s.continuous) return 4 * int64_t{s.block};
  return s.block + qv::kContinuousLookaheadSamples +
         std::min<int64_t>(2 * int64_t{s.block}, s.max_backlog / 2);
}

// Feeds the stream from `source` and writes what comes out to `sink` until the input ends (and
// its last block is back) or a signal arrives.
int run_stream(host_source &source, host_sink &sink, const stream_setup &s) {
  stream_link link(s.in_rate, s.out_rate);
  if (!link.ok()) {
    std::fprintf(stderr, "ondrelix: cannot resample between %.0f Hz and 16 kHz\n", s.in_rate);
    ondrelix_rt_stop(nullptr);
    return kFailure;
  }
  const auto start = steady::now();
  const double host_per_stream = s.in_rate / qv::kStreamRate;
  int64_t host_in = 0;
  std::vector<float> host, at_host;
  delay_meter meter(s.in_rate);
  auto limit = [&] {
    return static_cast<size_t>(std::llround(static_cast<double>(host_in) * s.out_rate / s.in_rate));
  };
  bool padded = false;
  auto idle_since = steady::now();
  int16_t chunk[4096];
  for (;;) {
    if (g_interrupted) break;
    // Real-time pace: stream sample k is not fed before k / 16000 s after the start (a live
    // source never waits for this). --fast feeds by back-pressure instead: what is in flight
    // stays within what the stream holds back by design, so it never reaches the drop bound.
    const double now_s = ms_since(start) / 1000.0;
    const int64_t allowed = s.fast ? link.delivered() + in_flight_limit(s)
                                   : static_cast<int64_t>(now_s * qv::kStreamRate) + qv::kDspBlock;
    if (!source.done() && link.fed() < allowed) {
      const double want = std::ceil(static_cast<double>(allowed - link.fed()) * host_per_stream);
      host.clear();
      source.take(static_cast<size_t>(std::min(want, 4096.0)), host);
      host_in += static_cast<int64_t>(host.size());
      meter.read(static_cast<double>(host_in), ms_since(start));
      link.write(host.data(), host.size());
    }
    if (source.done() && !padded) {
      link.end_input();
      // Silence up to a whole block, so the last samples are converted too.
      link.write_silence(s.continuous ? s.block + qv::kContinuousLookaheadSamples
                                      : (s.block - link.fed() % s.block) % s.block);
      padded = true;
      idle_since = steady::now();
    }
    int got = 0;
    ondrelix_rt_read(chunk, 4096, &got);
    if (got > 0) {
      at_host.clear();
      link.take(chunk, got, at_host);
      sink.put(at_host, limit());
      meter.wrote(static_cast<double>(sink.written()) * s.in_rate / s.out_rate, ms_since(start));
      idle_since = steady::now();
    }
    // After the input ends, wait for the last blocks: done when nothing came for a while.
    const auto patience = std::chrono::milliseconds(500 + s.block / 16 * 3);
    if (padded && (link.delivered() >= link.fed() || steady::now() - idle_since > patience)) break;
  }
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  if (report) std::fprintf(stderr, "%s\n", report);
  at_host.clear();
  link.end_output(at_host);
  sink.put(at_host, limit());
  std::fprintf(stderr, "{\"delay_ms\":%.1f,\"delay_max_ms\":%.1f,\"rate\":%.0f,\"channels\":%d}\n",
               meter.percentile(0.5), meter.percentile(1.0), s.out_rate, s.channels);
  return 0;
}

// The neural stream is continuous unless --blocks asks for the library's block mode.
bool continuous_mode(const args &a) {
  return a.get("mode", "neural") == "neural" && !a.has("blocks");
}

// The start options for the library, and the block the stream takes at 16 kHz (the continuous
// mode's pieces end on the input's last samples whatever the block, so its padding is one hop).
std::string stream_options(const args &a, int &block) {
  std::vector<std::string> members;
  const bool dsp = a.get("mode") == "dsp";
  const bool continuous = continuous_mode(a);
  block = dsp ? qv::kDspBlock : qv::kNeuralBlock;
  if (dsp) members.push_back("\"mode\":\"dsp\"");
  if (continuous) {
    members.push_back("\"continuous\":true");
    block = qv::kDefaultHopAtStreamRate;
  }
  if (!a.get("latency-ms").empty()) {
    members.push_back("\"latency_ms\":" + a.get("latency-ms"));
    block = qv::kSamplesPerMs * std::atoi(a.get("latency-ms").c_str());
  }
  if (continuous && !a.get("gate-db").empty()) members.push_back("\"gate_db\":" + a.get("gate-db"));
  if (continuous && !a.get("max-delay-ms").empty())
    members.push_back("\"max_delay_ms\":" + a.get("max-delay-ms"));
  std::string json = "{";
  for (const std::string &m : members) json += (json.size() > 1 ? "," : "") + m;
  return json + "}";
}

// A WAV file for the stream: any format the library reads, down-mixed, at its own rate.
bool read_input(const std::string &path, std::vector<float> &samples, int32_t &rate) {
  qv_wav rec{};
  char err[512] = "";
  if (qv_wav_read(path.c_str(), &rec, err, sizeof err) != 0) {
    std::fprintf(stderr, "ondrelix: cannot read %s: %s\n", path.c_str(), err);
    return false;
  }
  samples.assign(rec.samples, rec.samples + rec.frames);
  rate = rec.sample_rate;
  qv_wav_free(&rec);
  if (rate < 1000) {
    std::fprintf(stderr, "ondrelix: %s declares a sample rate of %d Hz\n", path.c_str(), rate);
    return false;
  }
  return true;
}

bool write_output(const std::string &path, const std::vector<int16_t> &samples, int rate) {
  char err[512] = "";
  if (qv_wav_write_pcm16(path.c_str(), samples.data(), static_cast<int32_t>(samples.size()), rate,
                         err, sizeof err) == 0)
    return true;
  qv::remove_file(path.c_str());
  std::fprintf(stderr, "ondrelix: cannot write %s: %s\n", path.c_str(), err);
  return false;
}

// Checks the options; returns 0 when they are usable, else the usage error's status.
int check_stream_args(const args &a, long &rate, long &channels) {
  if (!a.error.empty()) return usage_error(a.error, kStreamUsage);
  if (!a.positional.empty()) return usage_error("stream takes no file arguments", kStreamUsage);
  const std::string mode = a.get("mode", "neural");
  if (mode != "dsp" && mode != "neural")
    return usage_error("--mode is dsp or neural", kStreamUsage);
  long latency = 0;
  if (!a.get("latency-ms").empty() && !parse_int(a.get("latency-ms"), 20, 1000, latency))
    return usage_error("--latency-ms takes a whole number from 20 to 1000", kStreamUsage);
  if (!a.get("rate").empty() && !parse_int(a.get("rate"), 8000, 192000, rate))
    return usage_error("--rate takes a whole number of Hz from 8000 to 192000", kStreamUsage);
  if (!a.get("channels").empty() && !parse_int(a.get("channels"), 1, 32, channels))
    return usage_error("--channels takes a whole number from 1 to 32", kStreamUsage);
  long gate = 0, max_delay = 0;
  if (!a.get("gate-db").empty() && !parse_int(a.get("gate-db"), -120, 0, gate))
    return usage_error("--gate-db takes a whole number of dB from -120 to 0", kStreamUsage);
  if (!a.get("max-delay-ms").empty() && !parse_int(a.get("max-delay-ms"), 50, 10000, max_delay))
    return usage_error("--max-delay-ms takes a whole number from 50 to 10000", kStreamUsage);
  if (!continuous_mode(a) && (!a.get("gate-db").empty() || !a.get("max-delay-ms").empty()))
    return usage_error("--gate-db and --max-delay-ms go with the continuous mode", kStreamUsage);
  if (mode == "dsp" && a.has("blocks"))
    return usage_error("--blocks is for the neural mode", kStreamUsage);
  const bool file = !a.get("input").empty();
  if (file != !a.get("output").empty())
    return usage_error("--input and --output go together", kStreamUsage);
  if (a.has("fast") && !file) return usage_error("--fast goes with --input", kStreamUsage);
  if (file && !a.get("channels").empty())
    return usage_error("--channels is for raw pipes (the output file is mono)", kStreamUsage);
  return 0;
}

}  // namespace

int cmd_stream(int argc, char **argv) {
  const args a = parse(argc, argv, 2,
                       {"voice", "mode", "latency-ms", "models", "input", "output", "clone", "rate",
                        "channels", "gate-db", "max-delay-ms"},
                       {"fast", "blocks"});
  if (a.has("help")) return std::printf("%s", kStreamUsage), 0;
  long rate = qv::kStreamRate, channels = 1;
  if (const int status = check_stream_args(a, rate, channels)) return status;
  const bool file = !a.get("input").empty();
  std::vector<float> file_samples;
  int32_t file_rate = 0;
  if (file && !read_input(a.get("input"), file_samples, file_rate)) return kFailure;

  std::vector<std::string> voices;
  if (!start_engine(a, false, voices)) return kFailure;
  if (!a.get("clone").empty() && ondrelix_load_voice(a.get("clone").c_str(), nullptr) != 0) {
    fail("cannot clone a voice from " + a.get("clone"));
    ondrelix_cleanup();
    return kFailure;
  }
  int block = 0;
  const std::string options = stream_options(a, block);
  const std::string voice = a.get("voice");
  // In DSP mode every other name is a deliberate pass-through.
  if (a.get("mode", "neural") == "neural" && !known_voice(voice, !a.get("clone").empty(), voices)) {
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
#if defined(SIGPIPE)
  std::signal(SIGPIPE, SIG_IGN);  // a reader that went away ends the output, not the program
#endif
  const int max_backlog =
      static_cast<int>(a.get("max-delay-ms").empty() ? qv::kDefaultMaxDelayMs
                                                     : std::atoi(a.get("max-delay-ms").c_str())) *
      qv::kSamplesPerMs;
  stream_setup setup{block,
                     continuous_mode(a),
                     max_backlog,
                     static_cast<double>(file ? file_rate : rate),
                     static_cast<double>(file && a.get("rate").empty() ? file_rate : rate),
                     static_cast<int>(channels),
                     a.has("fast")};
  host_source source = file ? host_source(std::move(file_samples)) : host_source(setup.channels);
  host_sink sink(setup.channels, file);
  int status = run_stream(source, sink, setup);
  if (status == 0 && file &&
      !write_output(a.get("output"), sink.file(), static_cast<int>(setup.out_rate)))
    status = kFailure;
  ondrelix_cleanup();
  return status;
}

}  // namespace cli
