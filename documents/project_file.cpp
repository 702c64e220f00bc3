#include "project_file.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

#include "versioned_write.h"

const char* const kOriginalVersionName = "原始版本";

namespace {

using nlohmann::json;

const char* const kProjectSuffix = "_projects";
const char* const kCannotWriteProject = "无法写入项目，请检查目录权限与剩余空间";
const char* const kUtcTimeFormat = "%Y-%m-%dT%H:%M:%SZ";

// The number after prefix + "_" at the start of name, read up to the first non-digit and
// saturating at the largest value; nullopt when the name does not start that way or no digit follows.
std::optional<uint64_t> versionNumber(const std::string& name, const std::string& prefix) {
  const std::string start = prefix + "_";
  if (name.compare(0, start.size(), start) != 0) return std::nullopt;
  size_t i = start.size();
  if (i == name.size() || name[i] < '0' || name[i] > '9') return std::nullopt;
  uint64_t number = 0;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(name[i] - '0');
    number = number > (kMax - digit) / 10 ? kMax : number * 10 + digit;
  }
  return number;
}

std::string prefixOfProjectFile(const std::filesystem::path& projectPath) {
  const std::string stem = projectPath.stem().string();
  const size_t suffixLength = std::char_traits<char>::length(kProjectSuffix);
  return stem.size() >= suffixLength ? stem.substr(0, stem.size() - suffixLength) : std::string();
}

bool isDecimalFrameName(const std::string& name) {
  if (name.empty() || name.size() > 10) return false;
  for (const char c : name) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoll(name) <= std::numeric_limits<int32_t>::max();
}

bool validKey(const std::string& name, const json& key) {
  if (!isDecimalFrameName(name) || !key.is_object()) return false;
  const auto v = key.find("v");
  if (v == key.end() || !v->is_number() || !std::isfinite(v->get<double>())) return false;
  const auto m = key.find("m");
  if (m == key.end()) return true;
  if (!m->is_number_integer()) return false;
  if (m->is_number_unsigned()) return m->get<uint64_t>() <= 4;
  const int64_t mode = m->get<int64_t>();
  return mode >= 0 && mode <= 4;
}

// nullptr when any step of the path is missing or not an object.
const json* member(const json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

const json* lastExport(const json& entry) {
  const json* editor = member(entry, "editor_0930");
  return editor ? member(*editor, "last_successful_export") : nullptr;
}

// Whole seconds since 1970 of a saved-time candidate; nullopt when it is not usable.
std::optional<int64_t> candidateSeconds(const json* candidate) {
  if (!candidate) return std::nullopt;
  if (candidate->is_number()) {
    const double seconds = candidate->get<double>();
    if (!(std::isfinite(seconds) && seconds > 0 && seconds < 253402300800.0)) return std::nullopt;
    return static_cast<int64_t>(seconds);
  }
  if (candidate->is_string()) {
    const std::string text = candidate->get<std::string>();
    std::tm utc{};
    const char* end = strptime(text.c_str(), kUtcTimeFormat, &utc);
    if (!end || *end != '\0' || end != text.c_str() + text.size()) return std::nullopt;
    return static_cast<int64_t>(timegm(&utc));
  }
  return std::nullopt;
}

// Only compared with later saves, so a text that is not UTF-8 may be replaced here.
std::string compactText(const json& entry) { return entry.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string int128ToDecimal(__int128 value) {
  const bool negative = value < 0;
  std::string digits;
  do {
    const int digit = static_cast<int>(value % 10);
    digits.push_back(static_cast<char>('0' + (digit < 0 ? -digit : digit)));
    value /= 10;
  } while (value != 0);
  if (negative) digits.push_back('-');
  return std::string(digits.rbegin(), digits.rend());
}

// libstdc++ counts file times from 2174-01-01 00:00:00 UTC; fingerprints count from 1970.
constexpr int64_t kFileClockEpochAfter1970Seconds = 6437664000;

std::string nanosecondsSince1970(std::filesystem::file_time_type time) {
  const int64_t sinceFileEpoch =
      std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
  return int128ToDecimal(__int128{sinceFileEpoch} + __int128{kFileClockEpochAfter1970Seconds} * 1000000000);
}

std::string toHex(uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return text;
}

}  // namespace

std::string buildProjectPrefixFromPcv(const std::filesystem::path& pcvPath) { return pcvPath.stem().string(); }

namespace pcv0930 {

bool ProjectFile::load(const std::filesystem::path& pcvPath) {
  path = pcvPath.parent_path() / (pcvPath.stem().string() + kProjectSuffix + ".json");
  error.clear();
  root = json::object();
  loadedText.clear();

  const ReadStatus status = readWholeFile(path, loadedText);
  if (status == ReadStatus::Missing) return true;
  if (status == ReadStatus::OpenFailed) error = "无法读取项目文件";
  if (status == ReadStatus::ReadFailed) error = "项目读取失败";
  if (!error.empty()) return false;

  json parsed;
  try {
    parsed = json::parse(loadedText);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  if (!parsed.is_object()) {
    error = "项目结构无效";
    return false;
  }
  root = std::move(parsed);
  return true;
}

bool ProjectFile::write() {
  if (!error.empty()) return false;
  std::string text;
  try {
    text = root.dump(4, ' ', false);
  } catch (const std::exception&) {
    error = kCannotWriteProject;  // a text that is not UTF-8 cannot be stored
    return false;
  }
  if (!writeVersionedFile(path, loadedText, text, error)) return false;
  loadedText = std::move(text);
  return true;
}

std::vector<std::string> ProjectFile::versions() const {
  std::vector<std::string> names;
  if (!error.empty() || !root.is_object()) return names;
  const std::string prefix = prefixOfProjectFile(path);
  std::vector<std::pair<uint64_t, std::string>> numbered;
  for (const auto& [name, entry] : root.items()) {
    if (name == kOriginalVersionName || !validVersion(entry)) continue;
    numbered.emplace_back(versionNumber(name, prefix).value_or(0), name);
  }
  std::sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) { return a > b; });
  for (auto& [number, name] : numbered) names.push_back(std::move(name));
  return names;
}

std::string ProjectFile::note(const std::string& name) const {
  const json* entry = member(root, name.c_str());
  const json* editor = entry ? member(*entry, "editor_0930") : nullptr;
  const json* text = editor ? member(*editor, "note") : nullptr;
  return text && text->is_string() ? text->get<std::string>() : std::string();
}

bool validVersion(const json& entry) {
  const json* tracks = member(entry, "tracks");
  if (!tracks || !tracks->is_object()) return false;
  for (const char* integerMember : {"fps", "total_frames"}) {
    const json* value = member(entry, integerMember);
    if (value && !value->is_number_integer()) return false;
  }
  for (const auto& [trackName, track] : tracks->items()) {
    if (!track.is_object()) return false;
    for (const auto& [frameName, key] : track.items()) {
      if (!validKey(frameName, key)) return false;
    }
  }
  return true;
}

uint64_t fnv1a64(const std::string& text, uint64_t start) {
  uint64_t hash = start;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::string fingerprintHash(const std::string& text) {
  return toHex(fnv1a64(text, 1469598103934665603ULL));  // stored fingerprints depend on this start value
}

std::string fingerprint(const std::vector<std::string>& files) {
  std::string text;
  for (const std::string& file : files) {
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(file, ec);
    if (ec) canonical = file;
    const uintmax_t size = std::filesystem::file_size(file, ec);
    const std::filesystem::file_time_type modified = std::filesystem::last_write_time(file, ec);
    text += canonical.string() + ":" + std::to_string(size) + ":" + nanosecondsSince1970(modified);
  }
  return fingerprintHash(text);
}

std::string versionTitle(const std::string& name, const std::string& prefix) {
  const std::optional<uint64_t> number = versionNumber(name, prefix);
  return number ? "版本 " + std::to_string(*number) : name;
}

std::string savedCalendarTime(const json& entry) {
  const json* record = lastExport(entry);
  for (const json* candidate : {member(entry, "timestamp"), record ? member(*record, "completed_at") : nullptr}) {
    const std::optional<int64_t> seconds = candidateSeconds(candidate);
    if (!seconds || *seconds < 1) continue;
    const std::time_t time = static_cast<std::time_t>(*seconds);
    std::tm local{};
    char text[64];
    if (localtime_r(&time, &local) && std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) > 0) {
      return text;
    }
  }
  return "保存时间未记录";
}

bool exportRecord(const json& entry, const MediaItem& item, json& record) {
  const json* found = lastExport(entry);
  record = found ? *found : json();
  if (!record.is_object()) return false;
  const json* start = member(record, "start_frame");
  const json* end = member(record, "end_frame");
  if (!start || !end || !start->is_number() || !end->is_number()) return false;
  const double startFrame = start->get<double>();
  const double endFrame = end->get<double>();
  if (!(0 <= startFrame && startFrame <= endFrame)) return false;
  const json* base = member(record, "frame_index_base");
  if (base && !base->is_number()) return false;
  if (!base || base->get<double>() != 0) return false;
  const json* inclusive = member(record, "range_inclusive");
  if (!inclusive || !inclusive->is_boolean() || !inclusive->get<bool>()) return false;
  const json* source = member(record, "source_fingerprint");
  return source && source->is_string() && source->get<std::string>() == item.fingerprint;
}

bool restoreExportSelection(const json& entry, const MediaItem& item, int frameCount, int& start, int& end) {
  start = 0;
  end = frameCount > 0 ? frameCount - 1 : 0;
  json record;
  if (frameCount <= 0 || !exportRecord(entry, item, record)) return false;
  const double recordEnd = record["end_frame"].get<double>();
  if (!(recordEnd < frameCount)) return false;
  start = static_cast<int>(record["start_frame"].get<double>());
  end = static_cast<int>(recordEnd);
  return !(start == 0 && end == frameCount - 1);
}

}  // namespace pcv0930

std::string& projectErrorText() {
  static std::string text;
  return text;
}

bool scanProjectVersions(std::vector<std::string>& list, const std::filesystem::path& pcvPath) {
  pcv0930::ProjectFile file;
  const bool loaded = file.load(pcvPath);
  projectErrorText() = file.error;
  list = file.versions();
  list.insert(list.begin(), kOriginalVersionName);
  return loaded;
}

json projectParametersForComparison(const json& entry) {
  const json* tracks = member(entry, "tracks");
  json canonicalTracks = json::object();
  for (const char* name : trackNames()) {
    const json* track = tracks ? member(*tracks, name) : nullptr;
    canonicalTracks[name] = track && track->is_object() ? *track : json::object();
  }
  json& sampling = canonicalTracks["sampling_ratio"];
  const bool allKeysAtOne = std::all_of(sampling.begin(), sampling.end(), [](const json& key) {
    const json* v = member(key, "v");
    return v && v->is_number() && v->get<double>() == 1.0;
  });
  if (allKeysAtOne) sampling = json::object();
  return json{{"fps", 24}, {"tracks", std::move(canonicalTracks)}};
}

std::string matchingProjectVersion(const pcv0930::ProjectFile& file, const json& entry,
                                   const std::string& preferredName, const std::optional<std::string>& note) {
  const json canonical = projectParametersForComparison(entry);
  auto matches = [&](const std::string& name) {
    const json* candidate = member(file.root, name.c_str());
    return candidate && pcv0930::validVersion(*candidate) &&
           projectParametersForComparison(*candidate) == canonical && (!note || file.note(name) == *note);
  };
  if (note && file.note(preferredName) != *note) return {};
  if (matches(preferredName)) return preferredName;
  if (canonical == projectParametersForComparison(json{{"tracks", json::object()}})) {
    return !note || file.note(kOriginalVersionName) == *note ? kOriginalVersionName : std::string();
  }
  if (!file.root.is_object()) return {};
  for (const auto& [name, candidate] : file.root.items()) {
    if (matches(name)) return name;
  }
  return {};
}

const char* const kVersionNumbersExhausted = "版本编号已用尽";

uint64_t largestVersionNumber(const json& root, const std::string& prefix) {
  uint64_t largest = 0;
  if (!root.is_object()) return largest;
  for (const auto& [name, value] : root.items()) largest = std::max(largest, versionNumber(name, prefix).value_or(0));
  return largest;
}

SaveProjectResult saveProjectVersion(const std::filesystem::path& pcvPath, const std::string& prefix,
                                     const ProjectTracks& tracks, const std::string& videoDir,
                                     const std::string& pngDir, int64_t totalFrames, std::string& parametersText,
                                     std::string& versionName, const std::string& nameSuffix,
                                     const std::string& preferredName, const std::optional<std::string>& note) {
  projectErrorText().clear();
  versionName.clear();
  pcv0930::ProjectFile file;
  if (!file.load(pcvPath)) {
    projectErrorText() = file.error;
    return kSaveFailed;
  }

  json entry = {{"total_frames", totalFrames}, {"fps", 24},          {"export_video_dir", videoDir},
                {"export_png_dir", pngDir},     {"tracks", tracksToJson(tracks)}};
  const std::string match = matchingProjectVersion(file, entry, preferredName, note);
  if (!match.empty()) {
    versionName = match;
    parametersText = compactText(entry);
    return kSaveUnchanged;
  }
  if (!note && nameSuffix.empty()) {
    const json loaded = json::parse(parametersText, nullptr, false);
    if (!loaded.is_discarded() && projectParametersForComparison(loaded) == projectParametersForComparison(entry)) {
      return kSaveUnchanged;
    }
  }

  const uint64_t largest = largestVersionNumber(file.root, prefix);
  if (largest == std::numeric_limits<uint64_t>::max()) {
    projectErrorText() = kVersionNumbersExhausted;
    return kSaveFailed;
  }
  const std::string name = prefix + "_" + std::to_string(largest + 1) + nameSuffix;

  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  entry["timestamp"] = now;
  if (note) entry["editor_0930"] = {{"schema_version", 1}, {"note", *note}, {"note_updated_at", now}};
  file.root[name] = entry;
  if (!file.write()) {
    projectErrorText() = file.error;
    return kSaveFailed;
  }
  versionName = name;
  parametersText = compactText(entry);
  return kSaveWritten;
}
