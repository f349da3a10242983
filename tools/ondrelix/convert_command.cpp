#include "convert_command.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "cli.h"
#include "host_os.h"
#include "json_text.h"
#include "ondrelix.h"
#include "platform/files.h"

namespace cli {

namespace {

const char *kConvertUsage =
    "usage: ondrelix convert IN.wav OUT.wav [--voice NAME] [--clone REF.wav] [--models DIR]\n"
    "       ondrelix convert IN... --out-dir DIR [--list FILE] [--jobs N] [--skip-existing]\n"
    "                        [--out-format wav|flac] [--log FILE] [--voice NAME] [--clone "
    "REF.wav]\n"
    "                        [--models DIR]\n"
    "  Converts audio files to a voice and prints one JSON report per file. Inputs other than\n"
    "  WAV (FLAC, Ogg Vorbis and Opus, MP3) are decoded with libsndfile.\n"
    "  --voice NAME     female, deep, robot, custom, ... (default: the first voice, female)\n"
    "  --clone REF      clone the voice \"custom\" from REF first and convert to it\n"
    "  --out-dir DIR    write each converted file into DIR, named as its input (.wav or .flac)\n"
    "  --list FILE      with --out-dir: also convert the files listed in FILE, one path a line\n"
    "                   (- reads the list from standard input)\n"
    "  --jobs N         with --out-dir: convert with N processes at once (default: 1)\n"
    "  --skip-existing  leave inputs whose output is already there (outputs appear only once\n"
    "                   complete) and report them as skipped\n"
    "  --out-format F   wav (default) or flac\n"
    "  --log FILE       also append every file's report, failures included, to FILE\n"
    "  --models DIR     models directory (default: $ONDRELIX_MODELS, else the bundled models)\n"
    "  The exit status is 1 when any file failed; each failure is named on standard error.\n";

// The paths listed in a file, one a line (empty lines left out, a CR before the LF dropped).
bool read_list(const std::string &path, std::vector<std::string> &paths) {
  FILE *f = path == "-" ? stdin : qv::open_file(path.c_str(), "rb");
  if (!f) return false;
  std::string line;
  for (int c = std::fgetc(f);; c = std::fgetc(f)) {
    if (c == EOF || c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) paths.push_back(line);
      line.clear();
      if (c == EOF) break;
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  const bool ok = !std::ferror(f);
  if (f != stdin) std::fclose(f);
  return ok;
}

// Two inputs with the same name would write one output, the second over the first.
std::string shared_output(const std::vector<conversion> &jobs) {
  std::map<std::string, const std::string *> first_input;
  for (const conversion &job : jobs) {
    auto [at, fresh] = first_input.emplace(job.second, &job.first);
    if (!fresh)
      return "inputs " + *at->second + " and " + job.first + " would both be written to " +
             job.second;
  }
  return "";
}

// Handles the jobs whose output exists; returns the others.
std::vector<conversion> skip_finished(const std::vector<conversion> &jobs, batch_results &results) {
  std::vector<conversion> left;
  for (const conversion &job : jobs) {
    if (os::stamp_of(job.second).exists)
      results.skipped(job);
    else
      left.push_back(job);
  }
  return left;
}

void convert_here(const std::vector<conversion> &jobs, const conversion_settings &settings,
                  batch_results &results) {
  scratch_files scratch;
  for (const conversion &job : jobs) {
    std::string text;
    if (convert_one(job, settings, scratch, text))
      results.converted(text);
    else
      results.failed(job, text);
  }
}

// The parsed command line of a conversion.
struct convert_request {
  std::vector<conversion> jobs;
  conversion_settings settings;
  long workers = 1;
  bool skip_existing = false;
  std::string clone, log;
};

// Fills `request` from the arguments; an empty result, or the usage error to print.
std::string read_request(const args &a, convert_request &request) {
  const std::string out_dir = a.get("out-dir"), format = a.get("out-format", "wav");
  if (!a.get("jobs").empty() && !parse_int(a.get("jobs"), 1, 256, request.workers))
    return "--jobs takes a whole number from 1 to 256";
  if (format != "wav" && format != "flac") return "--out-format takes wav or flac";
  request.settings.flac = format == "flac";
  request.settings.voice = a.get("voice");
  request.skip_existing = a.has("skip-existing");
  request.clone = a.get("clone");
  request.log = a.get("log");
  if (out_dir.empty()) {
    if (a.positional.size() != 2) return "convert needs IN.wav and OUT.wav (or --out-dir)";
    if (request.workers > 1) return "--jobs goes with --out-dir";
    if (!a.get("list").empty()) return "--list goes with --out-dir";
    request.jobs.emplace_back(a.positional[0], a.positional[1]);
    return "";
  }
  std::vector<std::string> inputs = a.positional;
  if (!a.get("list").empty() && !read_list(a.get("list"), inputs))
    return "cannot read the list " + a.get("list");
  if (inputs.empty()) return "convert needs at least one input file";
  for (const std::string &in : inputs)
    request.jobs.emplace_back(in, out_dir + "/" + output_name(in, request.settings.flac));
  return shared_output(request.jobs);
}

// Starts the engine with the voice asked for (cloned first when asked): 0, or the exit status
// after saying why not.
int start_with_voice(const args &a, convert_request &request) {
  std::vector<std::string> voices;
  if (!start_engine(a, false, voices)) return kFailure;
  if (!known_voice(request.settings.voice, !request.clone.empty(), voices)) {
    ondrelix_cleanup();
    return kUsageError;
  }
  if (!request.clone.empty()) {
    std::string error;
    if (!load_clone(request.clone, error)) {
      std::fprintf(stderr, "ondrelix: cannot clone a voice from %s: %s\n", request.clone.c_str(),
                   error.c_str());
      ondrelix_cleanup();
      return kFailure;
    }
    if (request.settings.voice.empty()) request.settings.voice = "custom";
  }
  return 0;
}

}  // namespace

bool load_clone(const std::string &reference, std::string &error) {
  scratch_files scratch;
  std::string wav = reference;
  if (!library_reads(reference) && !scratch.decode(reference, wav, error)) return false;
  if (ondrelix_load_voice(wav.c_str(), nullptr) == 0) return true;
  error = ondrelix_last_error();
  return false;
}

bool convert_one(const conversion &job, const conversion_settings &settings, scratch_files &scratch,
                 std::string &text) {
  std::string in = job.first, out = job.second;
  if (!library_reads(in) && !scratch.decode(job.first, in, text)) return false;
  if (settings.flac && !scratch.output_path(out, text)) return false;
  const char *report = nullptr;
  const bool converted =
      ondrelix_convert_file(in.c_str(), out.c_str(),
                            settings.voice.empty() ? nullptr : settings.voice.c_str(),
                            &report) == 0;
  text = converted ? report : ondrelix_last_error();
  bool ok = converted && (!settings.flac || scratch.encode_flac(out, job.second, text));
  // The library saw the private files a decoded input or a FLAC output went through.
  if (ok && (in != job.first || out != job.second))
    text = with_strings(text, {{"in_path", job.first}, {"out_path", job.second}});
  // The private copies go as soon as they are used: a corpus can be large.
  if (in != job.first) qv::remove_file(in.c_str());
  if (out != job.second) qv::remove_file(out.c_str());
  return ok;
}

int cmd_convert(int argc, char **argv) {
  const args a = parse(argc, argv, 2,
                       {"voice", "models", "clone", "out-dir", "jobs", "list", "out-format", "log"},
                       {"skip-existing"});
  if (a.has("help")) return std::printf("%s", kConvertUsage), 0;
  if (!a.error.empty()) return usage_error(a.error, kConvertUsage);
  convert_request request;
  const std::string error = read_request(a, request);
  if (!error.empty()) return usage_error(error, kConvertUsage);

  batch_results results(request.jobs.size());
  if (!request.log.empty() && !results.open_log(request.log)) {
    std::fprintf(stderr, "ondrelix: cannot open the log %s\n", request.log.c_str());
    return kFailure;
  }
  const std::vector<conversion> jobs =
      request.skip_existing ? skip_finished(request.jobs, results) : request.jobs;
  if (jobs.empty()) return results.status();  // nothing left: no engine needed
  if (const int status = start_with_voice(a, request); status != 0) return status;
  if (request.workers > 1 && jobs.size() > 1) {
    ondrelix_cleanup();  // each worker starts its own engine
    convert_in_workers(jobs, static_cast<int>(std::min<size_t>(request.workers, jobs.size())),
                       models_dir(a), request.settings, request.clone, results);
  } else {
    convert_here(jobs, request.settings, results);
    ondrelix_cleanup();
  }
  return results.status();
}

}  // namespace cli
