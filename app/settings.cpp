#include "settings.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform_paths.h"

namespace fs = std::filesystem;

namespace tessaline {

namespace {

bool createFolder(const std::string& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  return !error && fs::is_directory(folder, error);
}

std::vector<std::string> parseRecentFiles(std::ifstream& in) {
  std::vector<std::string> entries;
  const nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
  if (!document.is_array()) return entries;
  for (const nlohmann::json& element : document) {
    if (element.is_string() && !element.get_ref<const std::string&>().empty()) {
      entries.push_back(element.get<std::string>());
    }
  }
  return entries;
}

}  // namespace

std::string prepareSettingsFolder() {
  const std::string folder = platform::settingsFolder();
  if (folder.empty() || !createFolder(folder)) return {};
  return folder;
}

std::string layoutFilePath(const std::string& settingsFolder) {
  if (settingsFolder.empty()) return {};
  return (fs::path(settingsFolder) / "imgui.ini").string();
}

std::string recentFilesStorePath() {
  const std::string folder = platform::settingsFolder();
  if (folder.empty()) return ".pcv_editor_recent.json";
  createFolder(folder);
  return (fs::path(folder) / "recent.json").string();
}

std::string legacyRecentFilesPath() {
  const std::string home = platform::homeFolder();
  if (home.empty()) return {};
  return (fs::path(home) / ".pcv_editor_recent.json").string();
}

RecentFiles::RecentFiles(std::string storePath, std::string legacyPath)
    : storePath_(std::move(storePath)), legacyPath_(std::move(legacyPath)) {}

void RecentFiles::read() {
  entries_.clear();
  std::ifstream in(storePath_, std::ios::binary);
  if (!in && !legacyPath_.empty()) in.open(legacyPath_, std::ios::binary);
  if (in) entries_ = parseRecentFiles(in);
}

void RecentFiles::remember(const std::string& path) {
  if (path.empty()) return;
  std::vector<std::string> updated{path};
  for (const std::string& entry : entries_) {
    if (updated.size() == kLimit) break;
    if (entry != path) updated.push_back(entry);
  }
  entries_ = std::move(updated);
  std::ofstream out(storePath_, std::ios::binary | std::ios::trunc);
  // Paths are bytes; one that is not valid UTF-8 must not make the writer throw.
  if (out) out << nlohmann::json(entries_).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tessaline
