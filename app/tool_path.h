#pragma once
#include <string>

namespace tessaline {

// The search path with the usual tool folders appended that it does not mention yet, so that
// ffmpeg is found even when the program is started from a desktop launcher with a bare PATH.
std::string extendedToolSearchPath(const std::string& current);
// Applies extendedToolSearchPath to this process's PATH, once per process.
void extendToolSearchPathOnce();

}  // namespace tessaline
