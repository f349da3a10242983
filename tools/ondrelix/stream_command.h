// The stream subcommand.
#pragma once

namespace cli {
int cmd_stream(int argc, char **argv);
}  // namespace cli
