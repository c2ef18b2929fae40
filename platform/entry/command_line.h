// The program's options: each steers the program already running for this
// user and display, or tells about the program itself.
#pragma once

#include <optional>

namespace layer {

// What the command line asks: nothing (start the program), or an exit code
// once the option has been carried out.
std::optional<int> RunCommandLine(int argc, char** argv);

}  // namespace layer
