// ondrelix: convert, clone and stream voices from a shell. A host like any other: it reaches the
// engine only through the public header.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "convert_command.h"
#include "host_os.h"
#include "ondrelix.h"
#include "stream_command.h"
#if ONDRELIX_HAS_SERVE
#include "serve/serve_command.h"
#endif

namespace {

const char *kVoicesUsage =
    "usage: ondrelix voices [--models DIR]\n"
    "  Starts the engine and prints its report, which lists the voices.\n"
    "  --models DIR   models directory (default: $ONDRELIX_MODELS, else the bundled models)\n";

const char *kUsage =
    "usage: ondrelix COMMAND [options]   (ondrelix COMMAND --help for each)\n"
    "  voices    start the engine and list its voices\n"
    "  convert   convert WAV files to a voice (optionally cloned from a clip)\n"
    "  stream    convert audio from standard input, or a WAV file, in real time\n"
    "  serve     a local web page to hear every voice on a microphone, a file or a clip\n"
    "  version   print the library version\n";

int cmd_voices(int argc, char **argv) {
  const cli::args a = cli::parse(argc, argv, 2, {"models"}, {});
  if (a.has("help")) return std::printf("%s", kVoicesUsage), 0;
  if (!a.error.empty()) return cli::usage_error(a.error, kVoicesUsage);
  if (!a.positional.empty())
    return cli::usage_error("voices takes no file arguments", kVoicesUsage);
  std::vector<std::string> voices;
  if (!cli::start_engine(a, true, voices)) return cli::kFailure;
  ondrelix_cleanup();
  return 0;
}

int run(int argc, char **argv) {
  if (argc < 2) return cli::usage_error("missing command", kUsage);
  const std::string cmd = argv[1];
  if (cmd == "voices") return cmd_voices(argc, argv);
  if (cmd == "convert") return cli::cmd_convert(argc, argv);
  if (cmd == "convert-worker") return cli::cmd_convert_worker(argc, argv);  // see batch.cpp
  if (cmd == "stream") return cli::cmd_stream(argc, argv);
#if ONDRELIX_HAS_SERVE
  if (cmd == "serve") return cli::cmd_serve(argc, argv);
#else
  if (cmd == "serve") return std::fprintf(stderr, "ondrelix: this build has no serve\n"), 1;
#endif
  if (cmd == "version") return std::printf("%s\n", ondrelix_version()), 0;
  if (cmd == "--help" || cmd == "-h" || cmd == "help") return std::printf("%s", kUsage), 0;
  return cli::usage_error("unknown command '" + cmd + "'", kUsage);
}

}  // namespace

// Arguments are UTF-8 text wherever the program runs (on Windows the wide command line).
int main(int argc, char **argv) {
  cli::os::binary_stdio();
  std::vector<std::string> args = cli::os::utf8_arguments(argc, argv);
  std::vector<char *> utf8_argv;
  for (std::string &arg : args) utf8_argv.push_back(&arg[0]);
  utf8_argv.push_back(nullptr);
  return run(static_cast<int>(args.size()), utf8_argv.data());
}
