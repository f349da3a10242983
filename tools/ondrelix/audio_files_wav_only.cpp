// scratch_files for builds without libsndfile: WAV only.
#include "audio_files.h"

namespace cli {

namespace {
const char *kWavOnly = "this build of ondrelix reads and writes WAV files only";
}  // namespace

scratch_files::~scratch_files() = default;

bool scratch_files::decode(const std::string &, std::string &, std::string &error) {
  error = kWavOnly;
  return false;
}

bool scratch_files::file_path(const std::string &, std::string &, std::string &error) {
  error = kWavOnly;
  return false;
}

bool scratch_files::encode_flac(const std::string &, const std::string &, std::string &error) {
  error = kWavOnly;
  return false;
}

bool scratch_files::have_folder(std::string &error) {
  error = kWavOnly;
  return false;
}

}  // namespace cli
