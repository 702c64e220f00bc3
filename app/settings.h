#pragma once
#include <string>
#include <vector>

namespace tessaline {

// Creates the settings folder (with parents); its path, or empty when there is none or it could
// not be created.
std::string prepareSettingsFolder();
// "imgui.ini" inside the settings folder; empty (no layout file) when the folder is empty.
std::string layoutFilePath(const std::string& settingsFolder);

// Where the recent files are written: the settings folder's "recent.json" (the folder is created,
// errors ignored), or ".pcv_editor_recent.json" relative to the working folder without one.
std::string recentFilesStorePath();
// The older location, read when the store cannot be opened; empty when HOME is unset.
std::string legacyRecentFilesPath();

// The recently opened captures, newest first.
class RecentFiles {
 public:
  static constexpr size_t kLimit = 12;

  RecentFiles(std::string storePath, std::string legacyPath);
  // Reads the store, or the legacy file when the store cannot be opened. Bad documents give an
  // empty list.
  void read();
  // Moves path to the front (at most kLimit entries) and rewrites the store.
  void remember(const std::string& path);
  const std::vector<std::string>& entries() const { return entries_; }

 private:
  std::string storePath_;
  std::string legacyPath_;
  std::vector<std::string> entries_;
};

}  // namespace tessaline
