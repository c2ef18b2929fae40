// Where the program's loadable modules are: beside the program in a build
// tree, in the private library folder when installed. Always found from the
// running program's own place, so a moved or packaged tree works and an
// installed copy never picks up a stray build.
#include <limits.h>
#include <unistd.h>

#include <string>

#include "layer_control.h"
#include "module_folder.h"

namespace {

std::string& TestFolder() {
  static std::string folder;
  return folder;
}

std::string ProgramFolder() {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return {};
  std::string path(self, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

}  // namespace

void LayerSetModuleFolder(const char* folder) { TestFolder() = folder != nullptr ? folder : ""; }

std::string ModulePath(const char* file, std::string* looked_in) {
  std::string program = ProgramFolder();
  std::string candidates[3];
  if (!TestFolder().empty()) candidates[0] = TestFolder() + "/";
  if (!program.empty()) {
    candidates[1] = program;
    candidates[2] = program + SKERROW_INSTALLED_MODULES "/";
  }
  for (const std::string& folder : candidates) {
    if (folder.empty()) continue;
    std::string path = folder + file;
    if (access(path.c_str(), R_OK) == 0) return path;
  }
  if (looked_in != nullptr) *looked_in = program + " and " + program + SKERROW_INSTALLED_MODULES;
  return {};
}
