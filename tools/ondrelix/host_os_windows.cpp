// host_os.h on Windows: wide paths and command line, handles for the pipes, CreateProcessW.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "host_os.h"

namespace cli::os {

namespace {

std::wstring wide(const std::string &utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string narrow(const wchar_t *text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// One argument quoted for a command line as CommandLineToArgvW splits it.
std::wstring quoted(const std::wstring &arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

bool move_all(HANDLE h, const char *data, size_t n, bool writing) {
  while (n > 0) {
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD done = 0;
    const DWORD part = n > 1u << 30 ? 1u << 30 : static_cast<DWORD>(n);
    const BOOL ok = writing ? WriteFile(h, data, part, &done, nullptr)
                            : ReadFile(h, const_cast<char *>(data), part, &done, nullptr);
    if (!ok || done == 0) return false;
    data += done;
    n -= done;
  }
  return true;
}

}  // namespace

std::string executable_path() {
  wchar_t exe[32768];
  const DWORD n = GetModuleFileNameW(nullptr, exe, 32768);
  if (n == 0 || n >= 32768) return "";
  return narrow(exe);
}

file_stamp stamp_of(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  file_stamp s;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return s;
  s.exists = true;
  const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
  s.modified_ns = static_cast<int64_t>(ticks) * 100;
  s.size =
      static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return s;
}

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

void binary_stdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

std::vector<std::string> utf8_arguments(int, char **) {
  int count = 0;
  wchar_t **wargv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; wargv && i < count; ++i) args.push_back(narrow(wargv[i]));
  LocalFree(wargv);
  return args;
}

size_t read_stdin(void *buffer, size_t n) {
  DWORD got = 0;
  const DWORD part = n > 1u << 30 ? 1u << 30 : static_cast<DWORD>(n);
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, part, &got, nullptr)) return 0;
  return got;
}

struct child_process::handles {
  HANDLE process = nullptr;
  HANDLE to_child = INVALID_HANDLE_VALUE;
  HANDLE from_child = INVALID_HANDLE_VALUE;
};

child_process::child_process() : h_(new handles) {}

child_process::~child_process() {
  close_input();
  if (h_->from_child != INVALID_HANDLE_VALUE) CloseHandle(h_->from_child);
  wait();
}

bool child_process::start(const std::vector<std::string> &args) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in_read, in_write, out_read, out_write;
  if (!CreatePipe(&in_read, &in_write, &inherit, 0)) return false;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) {
    CloseHandle(in_read);
    CloseHandle(in_write);
    return false;
  }
  // Our ends stay ours: the child inherits only its own.
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  std::wstring command;
  for (const std::string &arg : args) command += (command.empty() ? L"" : L" ") + quoted(wide(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  const std::wstring exe = wide(executable_path());
  const BOOL ok = CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &info);
  CloseHandle(in_read);
  CloseHandle(out_write);
  if (!ok) {
    CloseHandle(in_write);
    CloseHandle(out_read);
    return false;
  }
  CloseHandle(info.hThread);
  h_->process = info.hProcess;
  h_->to_child = in_write;
  h_->from_child = out_read;
  return true;
}

bool child_process::write(const void *data, size_t n) {
  return move_all(h_->to_child, static_cast<const char *>(data), n, true);
}

bool child_process::read(void *data, size_t n) {
  return move_all(h_->from_child, static_cast<const char *>(data), n, false);
}

void child_process::close_input() {
  if (h_->to_child != INVALID_HANDLE_VALUE) CloseHandle(h_->to_child);
  h_->to_child = INVALID_HANDLE_VALUE;
}

void child_process::wait() {
  if (!h_->process) return;
  WaitForSingleObject(h_->process, INFINITE);
  CloseHandle(h_->process);
  h_->process = nullptr;
}

}  // namespace cli::os
