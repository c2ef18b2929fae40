// The program's options: each steers the program already running for this
// user and display, or tells about the program itself.
#pragma once

#include <optional>
#include <string_view>

namespace layer {

// What the command line asks: nothing (start the program), or an exit code
// once the option has been carried out.
std::optional<int> RunCommandLine(int argc, char** argv);

// Claims `name` for this start; when another program holds it, hands that
// one the request a second start makes and gives the exit code.
std::optional<int> ClaimOrHandOver(std::string_view name);

}  // namespace layer
