#include "platform/files.h"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>

#include <string>

namespace {

// The path as UTF-16, or an empty string when it is not valid UTF-8.
std::wstring wide(const char *utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace

namespace qv {

FILE *open_file(const char *path, const char *mode) {
  const std::wstring p = wide(path), m = wide(mode);
  if (p.empty() || m.empty()) return nullptr;
  return _wfopen(p.c_str(), m.c_str());
}

bool replace_file(const char *from, const char *to) {
  const std::wstring f = wide(from), t = wide(to);
  if (f.empty() || t.empty()) return false;
  return MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool remove_file(const char *path) {
  const std::wstring p = wide(path);
  return !p.empty() && _wremove(p.c_str()) == 0;
}

bool is_replaceable(const char *path) {
  const std::wstring p = wide(path);
  if (p.empty()) return false;
  const DWORD attributes = GetFileAttributesW(p.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  return (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace qv

#else

#include <sys/stat.h>

#include <cerrno>

namespace qv {

FILE *open_file(const char *path, const char *mode) { return std::fopen(path, mode); }
bool replace_file(const char *from, const char *to) { return std::rename(from, to) == 0; }
bool remove_file(const char *path) { return std::remove(path) == 0; }

bool is_replaceable(const char *path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode);
}

}  // namespace qv

#endif
