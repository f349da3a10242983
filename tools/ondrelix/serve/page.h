// The page `ondrelix serve` serves at "/": HTML, CSS and JavaScript in one file (page.html),
// built into the command.
#pragma once

#include <string>

namespace cli::serve {

const std::string &page_html();

}  // namespace cli::serve
