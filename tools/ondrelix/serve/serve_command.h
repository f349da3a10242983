// The serve subcommand: a local web page to try every voice on a microphone, a file or a clip.
#pragma once

namespace cli {

int cmd_serve(int argc, char **argv);

}  // namespace cli
