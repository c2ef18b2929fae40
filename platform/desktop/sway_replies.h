// Reading what the compositor answers over its IPC socket: plain functions
// over the JSON text, no sockets. Only what the setter needs is kept; the
// rest is checked and skipped, with nesting bounded, so a hostile or broken
// answer is a reason, never a crash or a hang.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "desktop_setter.h"

namespace layer {

// The active outputs of a GET_OUTPUTS answer, in its order: each one's name
// and its rect in the layout. False with the reason when the text is not
// such a list.
bool ReadSwayOutputs(std::string_view reply, std::vector<MonitorPlace>* outputs, std::string* why);

// A RUN_COMMAND answer, one entry per command run: empty for a success,
// else the compositor's error (or "failed" when it gave none). False with
// the reason when the text is not such a list.
bool ReadSwayResults(std::string_view reply, std::vector<std::string>* errors, std::string* why);

}  // namespace layer
