// tessaline-samples OUTPUT_FOLDER: writes the synthetic sample library into a new or empty folder.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "sample_library.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argc > 0 ? argv[0] : "tessaline-samples");
    return 1;
  }
  const std::string folder = argv[1];
  std::error_code failure;
  fs::create_directories(folder, failure);
  if (failure || !fs::is_directory(folder)) {
    std::fprintf(stderr, "Cannot create the output folder %s: %s\n", folder.c_str(),
                 failure ? failure.message().c_str() : "not a folder");
    return 1;
  }
  // Never mix the samples with (or overwrite) files that are already there.
  if (!fs::is_empty(folder, failure) || failure) {
    std::fprintf(stderr, "The output folder %s is not empty; choose a new or empty folder\n", folder.c_str());
    return 1;
  }
  std::vector<std::string> written;
  std::string error;
  const bool ok = samples::writeLibrary(folder, samples::LibraryOptions{}, written, error);
  std::printf("Sample library in %s:\n", folder.c_str());
  for (const std::string& line : written) std::printf("  %s\n", line.c_str());
  if (!ok) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
