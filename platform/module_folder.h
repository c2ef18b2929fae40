// The folder of the program's loadable modules.
#pragma once

#include <string>

// The readable path of `file` among the program's modules, or empty; then
// `looked_in`, when given, says where it was sought.
std::string ModulePath(const char* file, std::string* looked_in = nullptr);
