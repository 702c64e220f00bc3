#pragma once
// A point cloud photo with its sidecar of numbered versions.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "depth_mapping.h"
#include "directory_listing.h"
#include "pcp_capture.h"
#include "project_file.h"

namespace media {

struct PhotoParams {
  float currentPointSize = 3.0f;
  float renderPointSize = 18.0f;
  float maxDisplayDistance = 10.0f;
  float samplingRatio = 1.0f;
  std::vector<pcp::SliderPoint> nodes;

  // From a version entry; metadata supplies the defaults (and everything when entry is null or empty).
  static PhotoParams read(const nlohmann::json& metadata, const nlohmann::json& entry);
  nlohmann::json json() const;
};

bool validPhotoParams(const nlohmann::json& entry);
std::filesystem::path photoSidecar(const std::filesystem::path& capturePath);
// The whole file; throws std::runtime_error ("无法读取 " + name, or "读取失败").
std::string readText(const std::filesystem::path& path);

struct PhotoDocument {
  std::filesystem::path path;
  pcv0930::ProjectFile sidecar;
  nlohmann::json json = nlohmann::json::object();
  std::vector<std::string> versionNames;  // newest first
  std::vector<std::string> strayExports;
  std::vector<std::string> sourceFiles;
  std::string error;
  bool versionsBroken = false;

  bool load(const std::filesystem::path& capturePath);
  // Throws when a numbered name has no entry.
  nlohmann::json version(const std::string& name) const;
  std::string note(const std::string& name) const;
  std::string exportPrefix() const;
  // Empty when no version holds exactly these parameters (and this note, when one is given).
  std::string matchingVersion(const PhotoParams& params, const std::string& preferredName,
                              const std::optional<std::string>& note) const;
  // Throws std::runtime_error when the versions cannot be numbered.
  int nextVersion() const;
  bool commitVersion(const std::string& name, const PhotoParams& params, const std::string& note,
                     const std::string& exportFile);
  // name gets the version written. A failure to number a new version (nextVersion's errors) is
  // reported like any other: false with the message in error.
  bool saveVersion(const PhotoParams& params, const std::string& preferredName, const std::optional<std::string>& note,
                   const std::string& exportFile, std::string& name);
  bool capture(pcp::CaptureData& captureData) const;
};

std::string photoFingerprint(const PhotoDocument& document);
// Throws std::filesystem::filesystem_error when the folder cannot be listed; a broken photo is an
// item with its error, never an exception.
void appendPhotos(pcv0930::Directory& directory, const std::string& folder, const pcv0930::CancelCheck& cancel);

}  // namespace media
