#include "directory_listing.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "pcv_reader.h"
#include "platform_paths.h"
#include "project_file.h"

namespace fs = std::filesystem;

namespace {

const char* const kSegmentsMissing = "录像分卷缺失";
const char* const kCacheSubfolder = ".cache/tessaline/1002";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isHidden(const fs::path& path) {
  const std::string name = path.filename().string();
  return !name.empty() && name.front() == '.';
}

struct SegmentFile {
  int number = 0;
  std::string path;
};

// Group key and segment number of a ".pcv" file of folder. A number too large for an int is not
// read as a segment number, so one odd name cannot stop the whole folder from listing.
std::pair<std::string, int> groupOf(const fs::path& folder, const std::string& stem) {
  std::string prefix;
  std::string digits;
  if (splitNumberedStem(stem, prefix, digits)) {
    int number = 0;
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    const bool fits = parsed.ec == std::errc() && parsed.ptr == digits.data() + digits.size();
    std::error_code ignored;
    if (fits && (isCameraRecordingStem(prefix) || fs::is_regular_file(folder / (prefix + ".pcv"), ignored))) {
      return {prefix, number};
    }
  }
  return {stem, 0};
}

// Subfolder paths of folder (dot names skipped, links followed); false when cancelled.
bool gatherFolders(const fs::path& folder, const pcv0930::CancelCheck& cancel, std::vector<std::string>& folders) {
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (cancel && cancel()) return false;
    std::error_code unreadableType;
    if (!isHidden(entry.path()) && entry.is_directory(unreadableType)) folders.push_back(entry.path().string());
  }
  return true;
}

void sortNatural(std::vector<std::string>& names) { std::sort(names.begin(), names.end(), pcv0930::naturalLess); }

void readVersions(pcv0930::MediaItem& item) {
  pcv0930::ProjectFile project;
  item.versionsBroken = !project.load(item.path);
  item.versionCount = project.versions().size();
  if (item.versionsBroken) return;
  for (const auto& entry : project.root) {
    if (!pcv0930::validVersion(entry)) {
      item.versionsBroken = true;
      return;
    }
  }
}

pcv0930::MediaItem videoItem(const fs::path& folder, const std::string& key, std::vector<SegmentFile>& segments) {
  std::sort(segments.begin(), segments.end(), [](const SegmentFile& a, const SegmentFile& b) {
    return std::tie(a.number, a.path) < std::tie(b.number, b.path);
  });
  pcv0930::MediaItem item;
  int64_t expected = 0;
  for (const SegmentFile& segment : segments) {
    if (segment.number != expected) item.error = kSegmentsMissing;
    item.files.push_back(segment.path);
    item.size += fs::file_size(segment.path);
    const fs::file_time_type modified = fs::last_write_time(segment.path);
    item.modified = item.files.size() == 1 ? modified : std::max(item.modified, modified);
    expected = int64_t{segment.number} + 1;
  }
  item.name = key + ".pcv";
  item.path = (folder / item.name).string();
  readVersions(item);
  item.fingerprint = pcv0930::fingerprint(item.files);
  return item;
}

void fillLevel(pcv0930::Directory& directory, const fs::path& folder, const pcv0930::CancelCheck& cancel,
               bool& cancelled) {
  directory.levelPath = folder.string();
  directory.levelFolders = directory.folders;
  if (!directory.folders.empty()) return;
  // "/a/b/" names the folder b, whose parent is "/a".
  const fs::path named = folder.has_filename() || !folder.has_relative_path() ? folder : folder.parent_path();
  const fs::path parent = named.parent_path();
  if (parent.empty() || parent == named) return;
  directory.levelPath = parent.string();
  try {
    cancelled = !gatherFolders(parent, cancel, directory.levelFolders);
  } catch (const std::exception&) {
    // An unreadable parent only leaves the level list empty.
    directory.levelFolders.clear();
  }
  sortNatural(directory.levelFolders);
}

}  // namespace

namespace pcv0930 {

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

size_t digitRunEnd(const std::string& text, size_t begin) {
  while (begin < text.size() && isDigit(text[begin])) ++begin;
  return begin;
}

// Start of the significant digits of the run [begin, end): leading zeros skipped, last digit kept.
size_t significantStart(const std::string& text, size_t begin, size_t end) {
  while (begin + 1 < end && text[begin] == '0') ++begin;
  return begin;
}

}  // namespace

Directory listDirectory(const std::string& path, const CancelCheck& cancel) {
  const auto cancelled = [&cancel] { return cancel && cancel(); };
  const fs::path folder(path);
  Directory directory;
  std::map<std::string, std::vector<SegmentFile>> groups;
  try {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (cancelled()) return Directory();
      if (isHidden(entry.path())) continue;
      // An entry whose type cannot be read (a link loop, say) is left out like any other odd entry.
      std::error_code unreadableType;
      if (entry.is_regular_file(unreadableType)) {
        if (entry.path().extension() != ".pcv") continue;
        const auto [key, number] = groupOf(folder, entry.path().stem().string());
        groups[key].push_back({number, entry.path().string()});
      } else if (entry.is_directory(unreadableType)) {
        directory.folders.push_back(entry.path().string());
      }
    }
    for (auto& [key, segments] : groups) {
      if (cancelled()) return Directory();
      directory.items.push_back(videoItem(folder, key, segments));
    }
    sortNatural(directory.folders);
    std::sort(directory.items.begin(), directory.items.end(), listedBefore);
    bool levelCancelled = false;
    fillLevel(directory, folder, cancel, levelCancelled);
    if (levelCancelled) return Directory();
  } catch (const std::exception& e) {
    directory.error = e.what();
  }
  return directory;
}

bool naturalLess(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size()) {
    if (j >= b.size()) return false;
    if (isDigit(a[i]) && isDigit(b[j])) {
      const size_t endA = digitRunEnd(a, i);
      const size_t endB = digitRunEnd(b, j);
      const size_t startA = significantStart(a, i, endA);
      const size_t startB = significantStart(b, j, endB);
      const size_t lengthA = endA - startA;
      const size_t lengthB = endB - startB;
      if (lengthA != lengthB) return lengthA < lengthB;
      const int order = a.compare(startA, lengthA, b, startB, lengthB);
      if (order != 0) return order < 0;
      i = endA;
      j = endB;
      continue;
    }
    const char lowerA = lowerAscii(a[i]);
    const char lowerB = lowerAscii(b[j]);
    if (lowerA != lowerB) return static_cast<unsigned char>(lowerA) < static_cast<unsigned char>(lowerB);
    ++i;
    ++j;
  }
  return j < b.size();
}

bool listedBefore(const MediaItem& a, const MediaItem& b) {
  if (a.modified != b.modified) return a.modified > b.modified;
  return naturalLess(a.name, b.name);
}

std::string sizeText(uint64_t bytes) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  char text[64];
  if (bytes < kGiB) {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / static_cast<double>(kMiB));
  } else {
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / static_cast<double>(kGiB));
  }
  return text;
}

std::string durationText(double seconds) {
  if (seconds < 0) return "计算中…";
  if (seconds > 0 && seconds < 1) return "<1s";
  // Also catches NaN and values beyond the 64-bit range.
  if (!(seconds < 1.8e19)) return "--:--";
  const auto whole = static_cast<unsigned long long>(seconds);
  char text[64];
  if (whole < 3600) {
    std::snprintf(text, sizeof text, "%02llu:%02llu", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
  }
  return text;
}

std::string coverDirectory() {
  const std::string cache = platform::cacheFolder();
  if (!cache.empty()) return cache;
  return (fs::path(".") / kCacheSubfolder).string();
}

}  // namespace pcv0930

std::string normalizeMainPcvPath(const std::string& path) {
  const fs::path file(path);
  std::error_code error;
  if (file.extension() != ".pcv" || !fs::is_regular_file(file, error)) return path;
  std::string prefix;
  std::string digits;
  if (!splitNumberedStem(file.stem().string(), prefix, digits)) return path;
  const fs::path mainFile = file.parent_path() / (prefix + ".pcv");
  if (!fs::is_regular_file(mainFile, error)) return path;
  return mainFile.string();
}
