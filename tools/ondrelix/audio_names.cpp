// What does not depend on the decoder: recognising WAV files and naming outputs.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "audio_files.h"
#include "cli.h"
#include "platform/files.h"

namespace cli {

namespace {

bool ends_with_wav(const std::string &name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".wav";
}

}  // namespace

bool library_reads(const std::string &path) {
  if (ends_with_wav(path)) return true;
  FILE *f = qv::open_file(path.c_str(), "rb");
  if (!f) return true;
  char head[12] = {};
  const size_t got = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return got == sizeof head && std::memcmp(head, "RIFF", 4) == 0 &&
         std::memcmp(head + 8, "WAVE", 4) == 0;
}

std::string output_name(const std::string &input, bool flac) {
  const std::string name = base_name(input);
  if (!flac && ends_with_wav(name)) return name;
  const size_t dot = name.find_last_of('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  return stem + (flac ? ".flac" : ".wav");
}

}  // namespace cli
