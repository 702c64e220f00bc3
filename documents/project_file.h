#pragma once
// The video project file: every saved edit of a recording as a numbered version in one JSON
// document beside it, written without losing changes made concurrently by other processes.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "media_item.h"
#include "tracks.h"

// Name that always stands for the unedited recording.
extern const char* const kOriginalVersionName;

// The recording's file name without its last extension.
std::string buildProjectPrefixFromPcv(const std::filesystem::path& pcvPath);

namespace pcv0930 {

struct ProjectFile {
  std::filesystem::path path;
  nlohmann::json root = nlohmann::json::object();
  std::string loadedText;  // bytes read at load; after a successful write, the bytes written
  std::string error;       // empty while usable

  // folder/(stem + "_projects.json") of pcvPath; a missing file is an empty document.
  bool load(const std::filesystem::path& pcvPath);
  // Refused while error is set; fails without overwriting when the file changed since load.
  bool write();
  // Valid numbered versions, newest first; never "原始版本".
  std::vector<std::string> versions() const;
  std::string note(const std::string& name) const;
};

bool validVersion(const nlohmann::json& entry);
std::string fingerprint(const std::vector<std::string>& files);
// The hash behind fingerprint (64-bit FNV-1a from its own start value), lowercase hexadecimal.
// 64-bit FNV-1a over the bytes of text, from the given start value.
uint64_t fnv1a64(const std::string& text, uint64_t start = 0xcbf29ce484222325ULL);
std::string fingerprintHash(const std::string& text);
std::string versionTitle(const std::string& name, const std::string& prefix);
std::string savedCalendarTime(const nlohmann::json& entry);
// record gets the version's last export record (null when it has none); true when that record
// applies to the listed recording.
bool exportRecord(const nlohmann::json& entry, const MediaItem& item, nlohmann::json& record);
bool restoreExportSelection(const nlohmann::json& entry, const MediaItem& item, int frameCount, int& start,
                            int& end);

}  // namespace pcv0930

// Reason of the last failed project operation; used by the frame loop's thread only.
std::string& projectErrorText();

// Loads the project file of pcvPath; list gets "原始版本" followed by versions().
bool scanProjectVersions(std::vector<std::string>& list, const std::filesystem::path& pcvPath);
nlohmann::json projectParametersForComparison(const nlohmann::json& entry);
std::string matchingProjectVersion(const pcv0930::ProjectFile& file, const nlohmann::json& entry,
                                   const std::string& preferredName, const std::optional<std::string>& note);

// Refusal when the next version number would not fit.
extern const char* const kVersionNumbersExhausted;
// The largest number after prefix + "_" at the start of an entry name, 0 when there is none;
// saturates at the largest value, which leaves no next number.
uint64_t largestVersionNumber(const nlohmann::json& root, const std::string& prefix);

enum SaveProjectResult : int { kSaveWritten = 0, kSaveUnchanged = 1, kSaveFailed = 2 };

SaveProjectResult saveProjectVersion(const std::filesystem::path& pcvPath, const std::string& prefix,
                                     const ProjectTracks& tracks, const std::string& videoDir,
                                     const std::string& pngDir, int64_t totalFrames, std::string& parametersText,
                                     std::string& versionName, const std::string& nameSuffix,
                                     const std::string& preferredName, const std::optional<std::string>& note);
