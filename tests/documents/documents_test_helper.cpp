// documents_test_helper rewrite FILE TEXT
//   replaces FILE with TEXT in place, as a program that knows nothing of the write protocol.
// documents_test_helper stress PCV WORKER SECONDS
//   saves a new version of PCV's project as fast as it can; prints one line per call:
//   "ok NAME VALUE" or "error MESSAGE".
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "project_file.h"

namespace {

int rewrite(const std::string& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  return out.flush() ? 0 : 1;
}

int stress(const std::string& pcvPath, int worker, double seconds) {
  const std::string prefix = buildProjectPrefixFromPcv(pcvPath);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::string parametersText;
  for (int call = 0; std::chrono::steady_clock::now() < deadline; ++call) {
    ProjectTracks tracks;
    const float value = static_cast<float>(worker * 1000000 + call);  // unique among all workers
    tracks.pointSize.keys[0] = {value, 0};
    std::string versionName;
    const SaveProjectResult result =
        saveProjectVersion(pcvPath, prefix, tracks, "", "", 100, parametersText, versionName, "", "", std::nullopt);
    if (result == kSaveWritten) {
      std::cout << "ok " << versionName << " " << static_cast<int>(value) << "\n";
    } else {
      std::cout << "error " << (result == kSaveFailed ? projectErrorText() : "unchanged") << "\n";
    }
  }
  return std::cout.flush() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "rewrite" && argc == 4) return rewrite(argv[2], argv[3]);
  if (mode == "stress" && argc == 5) return stress(argv[2], std::stoi(argv[3]), std::stod(argv[4]));
  std::cerr << "usage: documents_test_helper rewrite FILE TEXT | stress PCV WORKER SECONDS\n";
  return 2;
}
