#include "media_browser.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "directory_listing.h"

namespace fs = std::filesystem;

namespace pcv0930 {

void MediaBrowser::navigate(const std::string& dir, bool remember) {
  currentPath = dir;
  loading = true;
  if (remember && (history_.empty() || history_.back() != dir)) history_.push_back(dir);
}

void MediaBrowser::poll() {
  if (!loading) return;
  directory = listFolderPlain(currentPath);
  loading = false;
}

void MediaBrowser::clearTextures(bool) {}

void MediaBrowser::goBack() {
  if (history_.size() < 2) return;
  history_.pop_back();
  navigate(history_.back(), false);
}

namespace {

MediaItem itemForFile(const fs::path& file, bool photo) {
  MediaItem item;
  item.photo = photo;
  item.path = file.string();
  item.name = file.filename().string();
  item.files.push_back(item.path);
  return item;
}

void addFileSize(MediaItem& item, const fs::path& file) {
  std::error_code error;
  const auto size = fs::file_size(file, error);
  if (!error) item.size += size;
}

}  // namespace

Directory listFolderPlain(const std::string& path) {
  Directory result;
  result.levelPath = path;
  std::error_code error;
  fs::directory_iterator it(path, error);
  if (error) {
    result.error = error.message();
    return result;
  }
  std::map<std::string, MediaItem> recordings;
  for (const fs::directory_iterator end; it != end; it.increment(error)) {
    if (error) {
      result.error = error.message();
      break;
    }
    const fs::path entry = it->path();
    if (entry.filename().string().rfind('.', 0) == 0) continue;
    std::error_code statError;
    if (fs::is_directory(entry, statError)) {
      result.folders.push_back(entry.string());
    } else if (fs::is_regular_file(entry, statError) && entry.extension() == ".pcv") {
      const std::string mainPath = normalizeMainPcvPath(entry.string());
      auto found = recordings.find(mainPath);
      if (found == recordings.end()) {
        found = recordings.emplace(mainPath, itemForFile(mainPath, false)).first;
        found->second.files.clear();
      }
      found->second.files.push_back(entry.string());
      addFileSize(found->second, entry);
    } else if (fs::is_regular_file(entry, statError) && entry.extension() == ".pcp") {
      result.items.push_back(itemForFile(entry, true));
      addFileSize(result.items.back(), entry);
    }
  }
  for (auto& recording : recordings) {
    std::sort(recording.second.files.begin(), recording.second.files.end());
    result.items.push_back(std::move(recording.second));
  }
  std::sort(result.folders.begin(), result.folders.end());
  std::sort(result.items.begin(), result.items.end(),
            [](const MediaItem& a, const MediaItem& b) { return a.name < b.name; });
  result.levelFolders = result.folders;
  return result;
}

}  // namespace pcv0930
