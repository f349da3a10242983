// scratch_files with libsndfile.
#include <sndfile.h>
#include <stdlib.h>

#include <filesystem>
#include <vector>

#include "audio_files.h"
#include "platform/files.h"

namespace cli {

namespace {

constexpr sf_count_t kBlockFrames = 8192;

// An open libsndfile handle, closed with its owner.
struct sound_file {
  SNDFILE *file = nullptr;
  SF_INFO info{};
  ~sound_file() {
    if (file) sf_close(file);
  }
  bool open(const std::string &path, int mode) {
    file = sf_open(path.c_str(), mode, &info);
    return file != nullptr;
  }
};

// Integer sources of 16 bits or fewer fit 16-bit PCM exactly; the rest (24 and 32 bits, and
// the lossy codecs, which decode to float) keep their precision as float.
int wav_subformat(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
      return SF_FORMAT_PCM_16;
    default:
      return SF_FORMAT_FLOAT;
  }
}

sf_count_t read_frames(SNDFILE *f, short *p, sf_count_t n) { return sf_readf_short(f, p, n); }
sf_count_t read_frames(SNDFILE *f, float *p, sf_count_t n) { return sf_readf_float(f, p, n); }
sf_count_t write_frames(SNDFILE *f, const short *p, sf_count_t n) {
  return sf_writef_short(f, p, n);
}
sf_count_t write_frames(SNDFILE *f, const float *p, sf_count_t n) {
  return sf_writef_float(f, p, n);
}

// Copies every frame of `from` into `to` as `Sample`s (16-bit audio as shorts, so that its
// values pass unchanged); false with the failing side's message.
template <typename Sample>
bool copy_frames(sound_file &from, sound_file &to, std::string &error) {
  std::vector<Sample> block(static_cast<size_t>(kBlockFrames * from.info.channels));
  for (;;) {
    const sf_count_t got = read_frames(from.file, block.data(), kBlockFrames);
    if (got <= 0) break;
    if (write_frames(to.file, block.data(), got) != got) {
      error = sf_strerror(to.file);
      return false;
    }
  }
  if (sf_error(from.file) != SF_ERR_NO_ERROR) {
    error = sf_strerror(from.file);
    return false;
  }
  return true;
}

}  // namespace

scratch_files::~scratch_files() {
  if (folder_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

bool scratch_files::have_folder(std::string &error) {
  if (!folder_.empty()) return true;
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "ondrelix-XXXXXX").string();
  if (ec || !mkdtemp(&pattern[0])) {  // a folder only its owner can enter
    error = "cannot make a temporary folder";
    return false;
  }
  folder_ = pattern;
  return true;
}

bool scratch_files::decode(const std::string &path, std::string &wav, std::string &error) {
  if (!have_folder(error)) return false;
  sound_file in;
  if (!in.open(path, SFM_READ)) {
    error = sf_strerror(nullptr);
    return false;
  }
  sound_file out;
  out.info.samplerate = in.info.samplerate;
  out.info.channels = in.info.channels;
  out.info.format = SF_FORMAT_WAV | wav_subformat(in.info.format);
  wav = folder_ + "/input.wav";
  if (!out.open(wav, SFM_WRITE)) {
    error = sf_strerror(nullptr);
    return false;
  }
  return (out.info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16
             ? copy_frames<short>(in, out, error)
             : copy_frames<float>(in, out, error);
}

bool scratch_files::file_path(const std::string &name, std::string &path, std::string &error) {
  if (!have_folder(error)) return false;
  path = folder_ + "/" + name;
  return true;
}

bool scratch_files::encode_flac(const std::string &wav, const std::string &out,
                                std::string &error) {
  sound_file in;
  if (!in.open(wav, SFM_READ)) {
    error = sf_strerror(nullptr);
    return false;
  }
  const std::string part = out + ".part";
  bool ok;
  {
    sound_file flac;
    flac.info.samplerate = in.info.samplerate;
    flac.info.channels = in.info.channels;
    flac.info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    ok = flac.open(part, SFM_WRITE);
    if (!ok) error = "Failed to create output FLAC file: " + out + ": " + sf_strerror(nullptr);
    ok = ok && copy_frames<short>(in, flac, error);  // the library writes 16-bit PCM
  }                                                  // closed: the FLAC file is complete
  if (ok && !qv::replace_file(part.c_str(), out.c_str())) {
    error = "cannot rename " + part + " to " + out;
    ok = false;
  }
  if (!ok) qv::remove_file(part.c_str());
  return ok;
}

}  // namespace cli
