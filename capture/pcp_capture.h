#pragma once
// Point cloud photos: PCP files (metadata, depth and a colour picture in one file, with an optional
// JSON sidecar whose keys win) and legacy pairs (a raw depth ".bin" plus a ".json" that may name a
// texture picture), loaded into one record with the depth turned into points. Failures return false
// and leave the reason in CaptureData::error; nothing throws.
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pcp {

struct Vec3 {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
};

// 8-bit RGB, rows top to bottom.
struct ImageData {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

struct CaptureData {
  std::string path;         // the PCP file or the legacy ".bin"
  std::string sidecarPath;  // the PCP sidecar or the legacy ".json"
  bool isPcp = false;
  bool hasViewFov = false;  // selects the newer camera model; PCP files only
  uint32_t depthWidth = 0;
  uint32_t depthHeight = 0;
  nlohmann::json embeddedMetadata;  // as stored in the capture
  nlohmann::json metadata;          // embeddedMetadata with the sidecar's keys written over it
  std::vector<uint16_t> depth;      // millimetres, row-major, 0 = no measurement
  std::vector<Vec3> points;         // metres, capture-camera space
  std::vector<uint64_t> pixelIndices;  // row-major depth pixel of each point
  std::vector<Vec3> colors;            // 0..1 per point; empty without a picture
  std::string error;
};

// An empty sidecarPath stands for the ".json" with the PCP file's stem in its folder.
bool loadPcp(const std::string& path, const std::string& sidecarPath, CaptureData& capture);
bool loadLegacy(const std::string& binPath, const std::string& jsonPath, CaptureData& capture);
// Rebuilds points and pixelIndices (and empties colors). Zero focal lengths give no points and
// the intrinsics error, which the renderer reports later; the loaders still succeed.
void buildPointCloud(CaptureData& capture);

bool readJson(const std::string& path, nlohmann::json& json, std::string& error);
// JSON text with its nesting bounded (copying and comparing a value recurse once per level);
// message gets the library's text or the nesting refusal.
bool parseBoundedJson(const std::string& text, nlohmann::json& value, std::string& message);

// The PCP head: the 16-byte magic, then the metadata, depth and picture lengths of 4 bytes each.
inline constexpr char kPcpMagic[16] = {'T', 'O', 'L', 'V', 'E', 'X', '_', 'K', 'P', 'T', '_', 'V', '1', 0, 0, 0};
inline constexpr uint32_t kPcpHeadSize = 28;
inline constexpr uint32_t kMaxPcpMetadataLength = 64u << 20;

// Typed key readers: the default whenever the key is missing or holds an unusable value.
float jsonFloat(const nlohmann::json& object, const std::string& key, float fallback);
uint32_t jsonU32(const nlohmann::json& object, const std::string& key, uint32_t fallback);
Vec3 jsonVec3(const nlohmann::json& object, const std::string& key, float x, float y, float z);

}  // namespace pcp
