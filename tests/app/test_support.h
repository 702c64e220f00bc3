#pragma once
// Temp folders and environment overrides for the app tests.
#include "common_test_support.h"
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace apptest {

using testsupport::TempFolder;

using EnvOverride = testsupport::ScopedEnv;

inline void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace apptest
