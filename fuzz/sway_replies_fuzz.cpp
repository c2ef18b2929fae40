// The compositor's answers read from arbitrary bytes: each is a list or a
// reason, a failure keeps nothing it read, and every output kept has a name
// and a size.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/sway_replies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view reply(reinterpret_cast<const char*>(data), size);
  const layer::MonitorPlace before = {"before", 0, 0, 1, 1};
  std::vector<layer::MonitorPlace> outputs = {before};
  std::string why;
  if (layer::ReadSwayOutputs(reply, &outputs, &why)) {
    for (const layer::MonitorPlace& output : outputs)
      if (output.name.empty() || output.width <= 0 || output.height <= 0) std::abort();
  } else if (why.empty() || outputs.size() != 1 || outputs[0].name != before.name) {
    std::abort();
  }
  std::vector<std::string> errors = {"before"};
  why.clear();
  if (!layer::ReadSwayResults(reply, &errors, &why) && (why.empty() || errors != std::vector<std::string>{"before"}))
    std::abort();
  return 0;
}
