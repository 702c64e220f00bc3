#include "directory_listing.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The part before "_N" when the stem ends in an underscore and one or more digits.
bool splitSegmentStem(const std::string& stem, std::string& prefix) {
  const size_t underscore = stem.rfind('_');
  if (underscore == std::string::npos || underscore + 1 == stem.size()) return false;
  const bool digits = std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(underscore) + 1, stem.end(),
                                  [](unsigned char c) { return std::isdigit(c) != 0; });
  if (!digits) return false;
  prefix = stem.substr(0, underscore);
  return true;
}

}  // namespace

std::string normalizeMainPcvPath(const std::string& path) {
  const fs::path file(path);
  std::error_code error;
  if (file.extension() != ".pcv" || !fs::is_regular_file(file, error)) return path;
  std::string prefix;
  if (!splitSegmentStem(file.stem().string(), prefix)) return path;
  const fs::path mainFile = file.parent_path() / (prefix + ".pcv");
  if (!fs::is_regular_file(mainFile, error)) return path;
  return mainFile.string();
}
