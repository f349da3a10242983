// What the ondrelix subcommands share: argument parsing, exit codes, the models directory, the
// engine start and the voice names it reports.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cli {

constexpr int kUsageError = 2;
constexpr int kFailure = 1;

struct args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // --name value
  std::vector<std::string> flags;              // --name
  std::string error;
  bool has(const std::string &flag) const;
  std::string get(const std::string &name, const std::string &fallback = "") const;
};

// Parses argv[first..]: options in `valued` take a value, those in `switches` (and --help) none.
args parse(int argc, char **argv, int first, const std::vector<std::string> &valued,
           const std::vector<std::string> &switches);

// A whole number from `low` to `high`, or false.
bool parse_int(const std::string &text, long low, long high, long &value);

int usage_error(const std::string &message, const char *usage);
// Prints "ondrelix: WHAT: <last error>" and returns kFailure.
int fail(const std::string &what);

// --models, else $ONDRELIX_MODELS, else the models installed beside the program, else the build's.
std::string models_dir(const args &a);

// Starts the engine on models_dir(a); prints the init report when asked. The voice names of its
// report go to `voices`, and the report itself to `report_text` when given.
bool start_engine(const args &a, bool print_report, std::vector<std::string> &voices,
                  std::string *report_text = nullptr);

// The library quietly uses its first voice for a name it does not know; a typo on the command
// line deserves an error instead (printed here). "custom" needs --clone, since every run starts
// a new engine.
bool known_voice(const std::string &voice, bool cloned, const std::vector<std::string> &voices);

// The last path component.
std::string base_name(const std::string &path);

}  // namespace cli
