#pragma once
#include <string>
#include <vector>

namespace platform {

// The executable called `name` in the first absolute folder of PATH that holds one; empty when
// none does. Relative and empty PATH entries are skipped so the working folder is never searched.
std::string findOnPath(const std::string& name);

// Runs arguments[0] (a path, no shell involved) with the remaining arguments, standard input and
// error on /dev/null, and collects its standard output. False when it cannot be started, is killed
// or exits with a status other than 0.
bool runForOutput(const std::vector<std::string>& arguments, std::string& output);

}  // namespace platform
