// JSON text the command writes itself (skip and failure reports, the server's errors), in the
// library's style: members in order, strings written as they are (paths may be any bytes on
// Linux, as in the library's reports).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cli {

// {"NAME": "VALUE", ...} in the order given.
std::string json_strings(const std::vector<std::pair<std::string, std::string>> &members);

// A report with the string members named in `replacements` set to new values (members it lacks
// are left out); the report itself when it is not JSON.
std::string with_strings(const std::string &report,
                         const std::vector<std::pair<std::string, std::string>> &replacements);

}  // namespace cli
