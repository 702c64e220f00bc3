#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pcv0930 {

// One listed capture: a PCV recording (all of its segment files) or a photo.
struct MediaItem {
  bool photo = false;
  std::string sidecarFingerprint;
  std::string path;  // a recording's main path need not exist as a file
  std::string name;
  std::string error;
  std::string fingerprint;
  std::vector<std::string> files;
  uint64_t size = 0;
  std::filesystem::file_time_type modified{};
  uint64_t versionCount = 0;
  bool versionsBroken = false;
};

// One listed folder. Entirely empty (no path, folders, items or error) after a cancelled listing.
struct Directory {
  std::vector<std::string> folders;
  std::string levelPath;
  std::vector<std::string> levelFolders;
  std::vector<MediaItem> items;
  std::string error;
};

}  // namespace pcv0930
