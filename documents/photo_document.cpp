#include "photo_document.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "versioned_write.h"

namespace media {

namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

constexpr int kLargestVersionNumber = std::numeric_limits<int>::max();
constexpr size_t kMinNodes = 2;
constexpr size_t kMaxNodes = 32;

const char* const kLegacyPrefix = "pointcloud_";
const char* const kVersionsMalformed = "照片版本结构无效";
const char* const kRepairVersionsFirst = "照片版本结构无效，请先修复参数文件";

const Json* member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(const std::string& text, size_t from) {
  return from < text.size() && std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), isDigit);
}

// "[1-9][0-9]*", the only names numbered versions and exports carry.
bool isVersionNumberText(const std::string& text) { return !text.empty() && text[0] != '0' && allDigits(text, 0); }

// The value of text's leading digits, capped at the largest version number; nullopt without one.
std::optional<int> leadingNumber(const std::string& text) {
  if (text.empty() || !isDigit(text[0])) return std::nullopt;
  int64_t number = 0;
  for (size_t i = 0; i < text.size() && isDigit(text[i]); ++i) {
    number = std::min<int64_t>(number * 10 + (text[i] - '0'), kLargestVersionNumber);
  }
  return static_cast<int>(number);
}

// "render_count" as a whole number within 0 .. the largest version number; 0 when unusable.
int renderCount(const Json& document) {
  const Json* count = member(document, "render_count");
  if (!count || !count->is_number()) return 0;
  const double value = count->get<double>();
  if (!(value > 0)) return 0;
  return value >= kLargestVersionNumber ? kLargestVersionNumber : static_cast<int>(value);
}

// A missing "versions", null and an empty array stand for no versions yet.
bool emptyVersions(const Json* versions) {
  return !versions || versions->is_null() || (versions->is_array() && versions->empty());
}

bool isLegacyStem(const std::string& stem) {
  const std::string prefix = kLegacyPrefix;
  return stem.compare(0, prefix.size(), prefix) == 0 && allDigits(stem, prefix.size());
}

bool isPcp(const fs::path& capture) { return capture.extension() == ".pcp"; }

float clampedSamplingRatio(float ratio) { return std::isfinite(ratio) ? std::clamp(ratio, 0.2f, 1.0f) : 1.0f; }

bool finiteNumber(const Json& value) { return value.is_number() && std::isfinite(value.get<double>()); }

std::optional<std::string> readFailure(pcv0930::ReadStatus status, const fs::path& file) {
  switch (status) {
    case pcv0930::ReadStatus::Ok:
      return std::nullopt;
    case pcv0930::ReadStatus::ReadFailed:
      return "读取失败";
    case pcv0930::ReadStatus::Missing:
    case pcv0930::ReadStatus::OpenFailed:
      break;
  }
  return "无法读取 " + file.filename().string();
}

uint32_t littleEndian32(const char* bytes) {
  const auto byte = [&](int i) { return uint32_t{static_cast<unsigned char>(bytes[i])}; };
  return byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
}

// The embedded metadata of a PCP file, reading nothing beyond the head of the file.
bool readPcpMetadata(const fs::path& capture, Json& metadata, std::string& error) {
  std::error_code ec;
  if (!fs::is_regular_file(capture, ec)) {
    error = "PCP 文件头无效";
    return false;
  }
  std::ifstream in(capture, std::ios::binary);
  char head[pcp::kPcpHeadSize] = {};
  in.read(head, sizeof head);
  const std::streamsize headRead = in ? static_cast<std::streamsize>(sizeof head) : in.gcount();
  if (headRead < static_cast<std::streamsize>(sizeof pcp::kPcpMagic) ||
      !std::equal(std::begin(pcp::kPcpMagic), std::end(pcp::kPcpMagic), head)) {
    error = "PCP 文件头无效";
    return false;
  }
  const uintmax_t fileSize = fs::file_size(capture, ec);
  const uint32_t length = headRead == static_cast<std::streamsize>(sizeof head) ? littleEndian32(head + 16) : 0;
  if (ec || length < 1 || length > pcp::kMaxPcpMetadataLength || fileSize < pcp::kPcpHeadSize ||
      length > fileSize - pcp::kPcpHeadSize) {
    error = "PCP 元数据长度无效";
    return false;
  }
  std::string text(length, '\0');
  if (!in.read(text.data(), static_cast<std::streamsize>(length))) {
    error = "PCP 元数据不完整";
    return false;
  }
  return pcp::parseBoundedJson(text, metadata, error);
}

}  // namespace

PhotoParams PhotoParams::read(const Json& metadata, const Json& entry) {
  const bool emptyEntry = entry.is_null() || ((entry.is_object() || entry.is_array()) && entry.empty());
  const Json& source = emptyEntry ? metadata : entry;
  PhotoParams params;
  params.currentPointSize = std::clamp(pcp::jsonFloat(source, "current_point_size", 3.0f), 0.1f, 50.0f);
  params.renderPointSize = std::clamp(pcp::jsonFloat(source, "render_point_size", 18.0f), 0.1f, 50.0f);
  const float metadataDistance = pcp::jsonFloat(metadata, "max_display_distance", 10.0f);
  params.maxDisplayDistance =
      std::clamp(pcp::jsonFloat(source, "max_display_distance", metadataDistance), 0.1f, 15.0f);
  params.samplingRatio = clampedSamplingRatio(pcp::jsonFloat(source, "sampling_ratio", 1.0f));

  const Json* sliders = member(source, "grayscale_sliders");
  if (sliders && sliders->is_array()) {
    int32_t id = 0;
    for (const Json& node : *sliders) {
      params.nodes.push_back({pcp::jsonFloat(node, "position", 0.0f), pcp::jsonFloat(node, "grayscale", 0.0f), ++id});
    }
  } else {
    const float distance = params.maxDisplayDistance;
    const auto position = [&](const char* key, float fallback) {
      return std::clamp(pcp::jsonFloat(metadata, key, fallback) / distance, 0.0f, 1.0f);
    };
    params.nodes = {{position("D1", 0.0f), 0.0f, 1}, {position("D2", 5.0f), 1.0f, 2}, {position("D3", 10.0f), 0.0f, 3}};
  }
  return params;
}

Json PhotoParams::json() const {
  const float sampling = clampedSamplingRatio(samplingRatio);
  Json sliders = Json::array();
  for (const pcp::SliderPoint& node : nodes) {
    sliders.push_back({{"position", double{node.position}}, {"grayscale", double{node.gray}}});
  }
  return {{"current_point_size", double{currentPointSize}},
          {"render_point_size", double{renderPointSize}},
          {"sampling_ratio", double{sampling}},
          {"max_display_distance", double{maxDisplayDistance}},
          {"grayscale_sliders", std::move(sliders)}};
}

bool validPhotoParams(const Json& entry) {
  const Json* sliders = member(entry, "grayscale_sliders");
  if (!sliders || !sliders->is_array() || sliders->size() < kMinNodes || sliders->size() > kMaxNodes) return false;
  for (const Json& node : *sliders) {
    for (const char* key : {"position", "grayscale"}) {
      const Json* value = member(node, key);
      if (!value || !finiteNumber(*value)) return false;
      const double number = value->get<double>();
      if (number < 0 || number > 1) return false;
    }
  }
  for (const char* key : {"current_point_size", "render_point_size", "sampling_ratio", "max_display_distance"}) {
    const Json* value = member(entry, key);
    if (value && !finiteNumber(*value)) return false;
  }
  return true;
}

fs::path photoSidecar(const fs::path& capturePath) {
  const std::string stem = capturePath.stem().string();
  if (capturePath.extension() == ".bin" && isLegacyStem(stem)) {
    return capturePath.parent_path() / ("render_params_" + stem.substr(std::char_traits<char>::length(kLegacyPrefix)) + ".json");
  }
  fs::path sidecar = capturePath;
  return sidecar.replace_extension(".json");
}

std::string readText(const fs::path& path) {
  std::string text;
  if (const std::optional<std::string> failure = readFailure(pcv0930::readWholeFile(path, text), path)) {
    throw std::runtime_error(*failure);
  }
  return text;
}

bool PhotoDocument::load(const fs::path& capturePath) {
  *this = PhotoDocument{};
  path = capturePath;
  sourceFiles = {path.string()};
  sidecar.path = photoSidecar(path);
  const auto fail = [&](std::string reason) {
    error = std::move(reason);
    sidecar.error = error;
    return false;
  };

  if (isPcp(path) && !readPcpMetadata(path, json, error)) return fail(error);

  std::string text;
  const pcv0930::ReadStatus status = pcv0930::readWholeFile(sidecar.path, text);
  if (status == pcv0930::ReadStatus::Missing) {
    if (!isPcp(path)) return fail("旧照片缺少配套 JSON");
  } else {
    if (const std::optional<std::string> failure = readFailure(status, sidecar.path)) return fail(*failure);
    Json overrides;
    std::string parseError;
    if (!pcp::parseBoundedJson(text, overrides, parseError)) return fail(parseError);
    if (!overrides.is_object()) return fail("照片参数文件结构无效");
    sidecar.loadedText = std::move(text);
    sidecar.root = overrides;
    if (json.is_object()) {
      for (auto& [key, value] : overrides.items()) json[key] = std::move(value);
    }
  }

  if (!json.is_object()) return fail("照片元数据结构无效");
  const Json* texture = member(json, "high_res_texture");
  if (texture && texture->is_string()) {
    const fs::path textureFile = sidecar.path.parent_path() / texture->get<std::string>();
    std::error_code ec;
    if (fs::is_regular_file(textureFile, ec)) sourceFiles.push_back(textureFile.string());
  }

  const Json* versions = member(json, "versions");
  if (versions && !versions->is_object()) versionsBroken = true;
  if (versions && versions->is_object()) {
    for (const auto& [name, entry] : versions->items()) {
      if (isVersionNumberText(name) && validPhotoParams(entry)) {
        versionNames.push_back(name);
      } else {
        versionsBroken = true;
      }
    }
  }
  std::sort(versionNames.begin(), versionNames.end(),
            [](const std::string& a, const std::string& b) { return pcv0930::naturalLess(b, a); });

  const std::string prefix = exportPrefix() + "_";
  fs::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& file = it->path();
    const std::string extension = file.extension().string();
    if (extension != ".png" && extension != ".jpg" && extension != ".jpeg" && extension != ".svg") continue;
    const std::string stem = file.stem().string();
    if (stem.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string number = stem.substr(prefix.size());
    if (isVersionNumberText(number) && std::find(versionNames.begin(), versionNames.end(), number) == versionNames.end()) {
      strayExports.push_back(file.filename().string());
    }
  }
  std::sort(strayExports.begin(), strayExports.end(), pcv0930::naturalLess);
  return true;
}

Json PhotoDocument::version(const std::string& name) const {
  if (name == kOriginalVersionName) {
    Json entry = PhotoParams::read(json, nullptr).json();
    const Json* editor = member(json, "editor_media");
    const Json* original = editor ? member(*editor, "original") : nullptr;
    if (original) entry["editor_media"] = *original;
    return entry;
  }
  return json.at("versions").at(name);
}

std::string PhotoDocument::note(const std::string& name) const {
  try {
    const Json entry = version(name);
    const Json* editor = member(entry, "editor_media");
    const Json* text = editor ? member(*editor, "note") : nullptr;
    return text && text->is_string() ? text->get<std::string>() : std::string();
  } catch (const std::exception&) {
    return {};
  }
}

std::string PhotoDocument::exportPrefix() const {
  const std::string stem = path.stem().string();
  const std::string legacyPrefix = kLegacyPrefix;
  if (path.extension() == ".bin" && stem.compare(0, legacyPrefix.size(), legacyPrefix) == 0) {
    return "pointcloud_capture_" + stem.substr(legacyPrefix.size());
  }
  return stem;
}

std::string PhotoDocument::matchingVersion(const PhotoParams& params, const std::string& preferredName,
                                           const std::optional<std::string>& wantedNote) const {
  const Json target = params.json();
  const auto matches = [&](const std::string& name) {
    try {
      return PhotoParams::read(json, version(name)).json() == target && (!wantedNote || note(name) == *wantedNote);
    } catch (const std::exception&) {
      return false;
    }
  };
  if (wantedNote && note(preferredName) != *wantedNote) return {};
  const bool preferredListed =
      preferredName == kOriginalVersionName ||
      std::find(versionNames.begin(), versionNames.end(), preferredName) != versionNames.end();
  if (preferredListed && matches(preferredName)) return preferredName;
  if (matches(kOriginalVersionName)) return kOriginalVersionName;
  const auto found = std::find_if(versionNames.begin(), versionNames.end(), matches);
  return found == versionNames.end() ? std::string() : *found;
}

int PhotoDocument::nextVersion() const {
  const Json* versions = member(json, "versions");
  if (!emptyVersions(versions) && !versions->is_object()) throw std::runtime_error(kRepairVersionsFirst);
  int largest = renderCount(json);
  if (versions && versions->is_object()) {
    for (const auto& [name, entry] : versions->items()) largest = std::max(largest, leadingNumber(name).value_or(0));
  }
  const size_t prefixLength = exportPrefix().size() + 1;
  for (const std::string& stray : strayExports) {
    largest = std::max(largest, leadingNumber(stray.substr(std::min(prefixLength, stray.size()))).value_or(0));
  }
  if (largest == kLargestVersionNumber) throw std::runtime_error("照片版本编号已达上限");
  return largest + 1;
}

bool PhotoDocument::commitVersion(const std::string& name, const PhotoParams& params, const std::string& note,
                                  const std::string& exportFile) {
  // A document that failed to load (or never did) must not replace the sidecar.
  if (!sidecar.error.empty() || sidecar.path.empty() || !json.is_object()) {
    error = sidecar.error.empty() ? "照片尚未加载" : sidecar.error;
    return false;
  }
  pcv0930::ProjectFile updated = sidecar;
  Json& root = updated.root;
  root = json;
  if (!root["editor_media"].is_object()) root["editor_media"] = Json::object();
  const auto stamp = [&](Json& editor) {
    if (!editor.is_object()) editor = Json::object();
    editor["schema_version"] = 1;
    editor["note"] = note;
    if (!exportFile.empty()) editor["export_file"] = exportFile;
  };

  const bool original = name == kOriginalVersionName;
  if (original) {
    stamp(root["editor_media"]["original"]);
  } else {
    Json& versions = root["versions"];
    if (!versions.is_object()) {
      if (!emptyVersions(&versions)) {
        error = kVersionsMalformed;
        return false;
      }
      versions = Json::object();
    }
    Json& entry = versions[name];
    if (!entry.is_object()) entry = Json::object();
    const Json values = params.json();
    for (const auto& [key, value] : values.items()) entry[key] = value;
    if (!entry.contains("timestamp")) entry["timestamp"] = static_cast<int64_t>(std::time(nullptr));
    stamp(entry["editor_media"]);
    root["render_count"] = std::max(leadingNumber(name).value_or(0), renderCount(root));
  }

  if (!updated.write()) {
    error = updated.error;
    return false;
  }
  sidecar = std::move(updated);
  json = sidecar.root;
  error.clear();
  if (original) return true;

  if (std::find(versionNames.begin(), versionNames.end(), name) == versionNames.end()) {
    // Listed only as a reload would list it; callers check the parameters before saving.
    if (isVersionNumberText(name) && validPhotoParams(json["versions"][name])) {
      versionNames.push_back(name);
      std::sort(versionNames.begin(), versionNames.end(),
                [](const std::string& a, const std::string& b) { return pcv0930::naturalLess(b, a); });
    } else {
      versionsBroken = true;
    }
  }
  const std::string prefix = exportPrefix() + "_";
  strayExports.erase(std::remove_if(strayExports.begin(), strayExports.end(),
                                    [&](const std::string& stray) { return fs::path(stray).stem() == prefix + name; }),
                     strayExports.end());
  return true;
}

bool PhotoDocument::saveVersion(const PhotoParams& params, const std::string& preferredName,
                                const std::optional<std::string>& note, const std::string& exportFile,
                                std::string& name) {
  name = matchingVersion(params, preferredName, note);
  if (name.empty()) {
    try {
      name = std::to_string(nextVersion());
    } catch (const std::exception& e) {
      error = e.what();
      return false;
    }
  }
  return commitVersion(name, params, note.value_or(std::string()), exportFile);
}

bool PhotoDocument::capture(pcp::CaptureData& captureData) const {
  if (isPcp(path)) return pcp::loadPcp(path.string(), sidecar.path.string(), captureData);
  return pcp::loadLegacy(path.string(), sidecar.path.string(), captureData);
}

std::string photoFingerprint(const PhotoDocument& document) {
  Json metadata = document.json;
  if (metadata.is_object()) {
    for (const char* key : {"versions", "render_count", "editor_media"}) metadata.erase(key);
  }
  // Only compared with later listings, so a text that is not UTF-8 may be replaced here.
  const std::string text = pcv0930::fingerprint(document.sourceFiles) +
                           metadata.dump(-1, ' ', false, Json::error_handler_t::replace);
  return pcv0930::fingerprintHash(text);
}

void appendPhotos(pcv0930::Directory& directory, const std::string& folder, const pcv0930::CancelCheck& cancel) {
  std::error_code visitError;
  for (fs::directory_iterator it(folder), end; it != end; it.increment(visitError)) {
    if (cancel && cancel()) return;
    const fs::path& file = it->path();
    const bool photoName =
        file.extension() == ".pcp" || (file.extension() == ".bin" && isLegacyStem(file.stem().string()));
    std::error_code ec;
    if (!photoName || !fs::is_regular_file(file, ec)) continue;

    pcv0930::MediaItem item;
    item.photo = true;
    item.path = file.string();
    item.name = file.filename().string();
    item.modified = fs::last_write_time(file, ec);
    item.size = fs::file_size(file, ec);
    PhotoDocument document;
    const bool loaded = document.load(file);
    if (!loaded) item.error = document.error;
    item.files = document.sourceFiles;
    item.versionCount = document.versionNames.size();
    item.versionsBroken = !loaded || document.versionsBroken;
    item.fingerprint = photoFingerprint(document);
    if (fs::exists(document.sidecar.path, ec)) item.sidecarFingerprint = pcv0930::fingerprint({document.sidecar.path.string()});
    directory.items.push_back(std::move(item));
  }
  if (visitError) throw fs::filesystem_error("无法列出照片", folder, visitError);
  std::sort(directory.items.begin(), directory.items.end(), pcv0930::listedBefore);
}

}  // namespace media
