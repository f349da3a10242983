// Audio files the library does not read or write itself. The library reads WAV; the command
// also takes whatever libsndfile reads (FLAC, Ogg Vorbis and Opus, MP3) by decoding it into a
// private temporary WAV file, and writes FLAC by encoding the library's WAV output. Builds
// without libsndfile (Windows) take and write WAV only and say so.
#pragma once

#include <string>

namespace cli {

// True when the library takes the file as it is: a RIFF/WAVE file, a file named ".wav" whatever
// it holds, or one that cannot be read at all (the library's own messages then say why).
bool library_reads(const std::string &path);

// The file name a converted input gets in an output folder: the input's name, with its
// extension made ".wav" or ".flac" for the output format (a ".wav" input keeps its name).
std::string output_name(const std::string &input, bool flac);

// A private temporary folder for the files handed to and taken from the library; the folder
// and everything in it go with the object.
class scratch_files {
 public:
  scratch_files() = default;
  ~scratch_files();
  scratch_files(const scratch_files &) = delete;
  scratch_files &operator=(const scratch_files &) = delete;

  // Decodes `path` into a WAV file of the folder, whose path goes to `wav`; false with the
  // decoder's message in `error`.
  bool decode(const std::string &path, std::string &wav, std::string &error);
  // A path in the folder for the library to write its output to.
  bool output_path(std::string &wav, std::string &error) {
    return file_path("output.wav", wav, error);
  }
  // The path of a file called `name` in the folder.
  bool file_path(const std::string &name, std::string &path, std::string &error);
  // Encodes a WAV file as 16-bit FLAC at `out`, written as out.part and renamed once complete.
  bool encode_flac(const std::string &wav, const std::string &out, std::string &error);

 private:
  bool have_folder(std::string &error);
  std::string folder_;
};

}  // namespace cli
