#include "tool_path.h"

#include <cstdlib>

namespace tessaline {

std::string extendedToolSearchPath(const std::string& current) {
  std::string result = current;
  for (const char* folder : {"/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin"}) {
    // Tested against the original value: "/bin" is part of every folder appended before it.
    if (current.find(folder) != std::string::npos) continue;
    if (!result.empty()) result += ':';
    result += folder;
  }
  return result;
}

void extendToolSearchPathOnce() {
  static bool applied = false;
  if (applied) return;
  applied = true;
  const char* current = std::getenv("PATH");
  setenv("PATH", extendedToolSearchPath(current ? current : "").c_str(), 1);
}

}  // namespace tessaline
