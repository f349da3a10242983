#include "api.h"

#include <algorithm>
#include <cstdio>

#include "../audio_files.h"
#include "../json_text.h"
#include "ondrelix.h"
#include "platform/files.h"

namespace cli::serve {

namespace {

bool write_bytes(const std::string &path, const std::string &bytes) {
  FILE *f = qv::open_file(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool read_bytes(const std::string &path, std::string &bytes) {
  FILE *f = qv::open_file(path.c_str(), "rb");
  if (!f) return false;
  char block[65536];
  for (size_t got; (got = std::fread(block, 1, sizeof block, f)) > 0;) bytes.append(block, got);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// The uploaded audio as a file the library reads: saved in the private folder, and decoded
// there when it is not WAV. Empty, with the message in `error`, when it cannot be.
std::string upload_as_wav(scratch_files &scratch, const std::string &body, std::string &error) {
  if (body.empty()) {
    error = "the request holds no audio file";
    return "";
  }
  std::string upload, wav;
  if (!scratch.file_path("upload", upload, error)) return "";
  if (!write_bytes(upload, body)) {
    error = "cannot keep the uploaded file";
    return "";
  }
  if (library_reads(upload)) return upload;
  return scratch.decode(upload, wav, error) ? wav : "";
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decoded(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
               hex_digit(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

bool is_voice(server_state &state, const std::string &voice) {
  std::lock_guard<std::mutex> lock(state.engine);
  if (voice == "custom") return state.cloned;
  return std::find(state.voices.begin(), state.voices.end(), voice) != state.voices.end();
}

reply error_reply(unsigned status, const std::string &message) {
  return {status, "application/json", json_strings({{"error", message}})};
}

reply voices(const server_state &state) { return {200, "application/json", state.init_report}; }

reply convert(server_state &state, const std::string &voice, const std::string &body) {
  if (!is_voice(state, voice)) return error_reply(400, "unknown voice '" + voice + "'");
  scratch_files scratch;
  std::string error, out, converted;
  const std::string in = upload_as_wav(scratch, body, error);
  if (in.empty() || !scratch.file_path("converted.wav", out, error)) return error_reply(400, error);
  {
    std::lock_guard<std::mutex> lock(state.engine);
    if (ondrelix_convert_file(in.c_str(), out.c_str(), voice.c_str(), nullptr) != 0)
      return error_reply(400, ondrelix_last_error());
  }
  if (!read_bytes(out, converted)) return error_reply(500, "cannot read the converted file");
  return {200, "audio/wav", converted};
}

reply clone(server_state &state, const std::string &body) {
  scratch_files scratch;
  std::string error;
  const std::string in = upload_as_wav(scratch, body, error);
  if (in.empty()) return error_reply(400, error);
  std::lock_guard<std::mutex> lock(state.engine);
  const char *report = nullptr;
  if (ondrelix_load_voice(in.c_str(), &report) != 0) return error_reply(400, ondrelix_last_error());
  state.cloned = true;
  return {200, "application/json", report};
}

std::string query_value(const std::string &target, const std::string &key) {
  const size_t question = target.find('?');
  if (question == std::string::npos) return "";
  const std::string query = target.substr(question + 1);
  for (size_t start = 0; start <= query.size();) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == key)
      return eq == std::string::npos ? "" : percent_decoded(pair.substr(eq + 1));
    start = end + 1;
  }
  return "";
}

}  // namespace cli::serve
