#include "cli.h"

#include <yyjson.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_os.h"
#include "ondrelix.h"

namespace cli {

namespace {

constexpr const char *kModelsEnv = "ONDRELIX_MODELS";

// The models installed beside this program, when it runs from an install.
std::string installed_models() {
  const std::string exe = os::executable_path();
  if (exe.empty()) return "";
  const std::string dir = os::folder_of(exe) + ONDRELIX_INSTALLED_MODELS;
  return os::stamp_of(dir + "/openvoice_converter.onnx").exists ? dir : "";
}

// The voice names of the init report's "voices" array.
std::vector<std::string> voice_names(const char *report) {
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

bool same_name(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

bool args::has(const std::string &flag) const {
  return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

std::string args::get(const std::string &name, const std::string &fallback) const {
  auto it = options.find(name);
  return it == options.end() ? fallback : it->second;
}

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

bool parse_int(const std::string &text, long low, long high, long &value) {
  if (text.empty()) return false;
  char *end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return *end == '\0' && value >= low && value <= high;
}

int usage_error(const std::string &message, const char *usage) {
  std::fprintf(stderr, "ondrelix: %s\n\n%s", message.c_str(), usage);
  return kUsageError;
}

int fail(const std::string &what) {
  std::fprintf(stderr, "ondrelix: %s: %s\n", what.c_str(), ondrelix_last_error());
  return kFailure;
}

std::string models_dir(const args &a) {
  if (!a.get("models").empty()) return a.get("models");
  if (const char *env = std::getenv(kModelsEnv); env && *env) return env;
  const std::string installed = installed_models();
  return installed.empty() ? ONDRELIX_DEFAULT_MODELS : installed;
}

bool start_engine(const args &a, bool print_report, std::vector<std::string> &voices,
                  std::string *report_text) {
  const char *report = nullptr;
  const std::string dir = models_dir(a);
  if (ondrelix_init(dir.c_str(), &report) != 0) {
    std::fprintf(stderr, "ondrelix: cannot start with models from %s: %s\n", dir.c_str(),
                 ondrelix_last_error());
    return false;
  }
  voices = voice_names(report);
  if (report_text) *report_text = report;
  if (print_report) std::printf("%s\n", report);
  return true;
}

bool known_voice(const std::string &voice, bool cloned, const std::vector<std::string> &voices) {
  if (voice.empty() || (cloned && same_name(voice, "custom"))) return true;
  for (const std::string &name : voices)
    if (same_name(voice, name)) return true;
  std::string list;
  for (const std::string &name : voices) list += " " + name;
  std::fprintf(stderr, "ondrelix: unknown voice '%s' (voices:%s%s)\n", voice.c_str(), list.c_str(),
               cloned ? " custom" : "; custom needs --clone");
  return false;
}

std::string base_name(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace cli
