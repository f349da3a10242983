// Files by UTF-8 path. Paths are UTF-8 everywhere in the library; on Windows they become wide
// strings where they reach the system (the C library's narrow calls read the ANSI code page
// there, and a name with an accent would be "not found"). Internal.
#pragma once

#include <cstdio>

namespace qv {

// fopen of a UTF-8 path; null when it cannot be opened (or the path is not valid UTF-8).
FILE *open_file(const char *path, const char *mode);
// Moves `from` to `to`, replacing a file already there. True on success.
bool replace_file(const char *from, const char *to);
// Removes a file; true on success.
bool remove_file(const char *path);
// True when nothing is at `path` or a plain file is (not a link, a device or a pipe): a file a
// rename may put in place or replace.
bool is_replaceable(const char *path);

}  // namespace qv
