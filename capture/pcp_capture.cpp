#include "pcp_capture.h"

#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>

namespace pcp {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr size_t kLengthFieldsSize = 12;
constexpr uint32_t kMaxPictureLength = 1u << 30;
// Kept depths lie strictly between these (0.001 m and 20 m).
constexpr uint16_t kNearLimitMm = 1;
constexpr uint16_t kFarLimitMm = 20000;
// Deeper documents are refused: copying a JSON value recurses once per level.
constexpr int kMaxJsonNesting = 512;
constexpr const char* kZeroIntrinsics = "Camera intrinsics fx/fy cannot be zero";

// The DOM builder of the JSON library, keeping the library's message instead of throwing it.
class MessageKeepingParser : public nlohmann::detail::json_sax_dom_parser<json> {
 public:
  MessageKeepingParser(json& root, std::string& message)
      : nlohmann::detail::json_sax_dom_parser<json>(root, false), message_(message) {}

  bool start_object(std::size_t length) {
    return enter() && nlohmann::detail::json_sax_dom_parser<json>::start_object(length);
  }
  bool start_array(std::size_t length) {
    return enter() && nlohmann::detail::json_sax_dom_parser<json>::start_array(length);
  }
  bool end_object() {
    --nesting_;
    return nlohmann::detail::json_sax_dom_parser<json>::end_object();
  }
  bool end_array() {
    --nesting_;
    return nlohmann::detail::json_sax_dom_parser<json>::end_array();
  }
  template <class Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& failure) {
    message_ = failure.what();
    return nlohmann::detail::json_sax_dom_parser<json>::parse_error(position, token, failure);
  }

 private:
  bool enter() {
    if (++nesting_ <= kMaxJsonNesting) return true;
    message_ = "nesting deeper than " + std::to_string(kMaxJsonNesting) + " levels";
    return false;
  }

  std::string& message_;
  int nesting_ = 0;
};

}  // namespace

bool parseBoundedJson(const std::string& text, json& value, std::string& message) {
  json parsed;
  MessageKeepingParser parser(parsed, message);
  if (!json::sax_parse(text, &parser)) return false;
  value = std::move(parsed);
  return true;
}

namespace {

const json* member(const json& object, const std::string& key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

uint32_t readU32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

std::vector<uint16_t> depthFromBytes(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> depth(bytes.size() / 2);
  for (size_t i = 0; i < depth.size(); ++i)
    depth[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return depth;
}

// Size of an open file; 0 when the stream cannot tell (every later read then reports truncation).
uint64_t streamSize(std::istream& in) {
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  in.seekg(0, std::ios::beg);
  return in && end > 0 ? static_cast<uint64_t>(end) : 0;
}

// Reads a file front to back, refusing any length the file cannot hold before allocating for it.
class SequentialReader {
 public:
  SequentialReader(std::istream& in, uint64_t fileSize) : in_(in), fileSize_(fileSize) {}

  template <typename Buffer>
  bool read(Buffer& out, uint64_t size) {
    if (offset_ > fileSize_ || size > fileSize_ - offset_) return false;
    out.resize(static_cast<size_t>(size));
    if (size == 0) return true;
    if (!in_.read(reinterpret_cast<char*>(&out[0]), static_cast<std::streamsize>(size))) return false;
    offset_ += size;
    return true;
  }

 private:
  std::istream& in_;
  uint64_t fileSize_;
  uint64_t offset_ = 0;
};

std::string depthSizeMismatch(uint64_t expected, uint64_t found) {
  return "PCP depth size mismatch: expected " + std::to_string(expected) + " pixels, got " + std::to_string(found);
}

void readDepthSize(CaptureData& capture) {
  capture.depthWidth = jsonU32(capture.metadata, "depth_width", 640);
  capture.depthHeight = jsonU32(capture.metadata, "depth_height", 576);
}

uint64_t pixelCount(const CaptureData& capture) { return uint64_t{capture.depthWidth} * capture.depthHeight; }

// Takes over pixels from stb_image (8-bit RGB); false leaves stb_image's reason.
bool adoptDecoded(stbi_uc* pixels, int width, int height, ImageData& image, std::string& reason) {
  if (pixels == nullptr) {
    const char* failure = stbi_failure_reason();
    reason = failure ? failure : "unknown failure";
    return false;
  }
  image.width = width;
  image.height = height;
  image.pixels.assign(pixels, pixels + size_t{3} * static_cast<size_t>(width) * static_cast<size_t>(height));
  stbi_image_free(pixels);
  return true;
}

// Far above any colour camera (8192 x 4096), low enough that a lying header cannot exhaust memory.
constexpr uint64_t kMaxPicturePixels = uint64_t{1} << 25;

// A PNG chunk whose length runs past the end of the data.
bool hasOverlongPngChunk(const std::vector<uint8_t>& encoded) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (encoded.size() < sizeof kSignature || std::memcmp(encoded.data(), kSignature, sizeof kSignature) != 0)
    return false;
  size_t offset = sizeof kSignature;
  while (encoded.size() - offset >= 8) {
    const uint8_t* chunk = encoded.data() + offset;
    const uint64_t length = uint64_t{chunk[0]} << 24 | uint64_t{chunk[1]} << 16 | uint64_t{chunk[2]} << 8 | chunk[3];
    if (length > encoded.size() - offset - 8) return true;
    if (std::memcmp(chunk + 4, "IEND", 4) == 0) return false;
    offset += 8 + static_cast<size_t>(length);
    if (encoded.size() - offset < 4) return false;
    offset += 4;
  }
  return false;
}

// stb_image sizes its buffers from what the header claims before it has seen the data, so the
// claims are checked against the data first.
const char* implausiblePicture(const std::vector<uint8_t>& encoded) {
  if (encoded.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return "too large";
  int width = 0, height = 0, channels = 0;
  if (stbi_info_from_memory(encoded.data(), static_cast<int>(encoded.size()), &width, &height, &channels) &&
      uint64_t(width) * uint64_t(height) > kMaxPicturePixels)
    return "too large";
  if (hasOverlongPngChunk(encoded)) return "outofdata";
  return nullptr;
}

bool decodePicture(const std::vector<uint8_t>& encoded, ImageData& image, std::string& reason) {
  if (encoded.empty()) return true;
  if (const char* implausible = implausiblePicture(encoded)) {
    reason = implausible;
    return false;
  }
  int width = 0, height = 0, channels = 0;
  stbi_uc* pixels =
      stbi_load_from_memory(encoded.data(), static_cast<int>(encoded.size()), &width, &height, &channels, 3);
  return adoptDecoded(pixels, width, height, image, reason);
}

bool decodePictureFile(const std::string& path, ImageData& image, std::string& reason) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    reason = "can't fopen";
    return false;
  }
  const std::vector<uint8_t> encoded{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (encoded.empty()) {
    reason = "unknown image type";
    return false;
  }
  return decodePicture(encoded, image, reason);
}

// One colour per kept point, so the colour list always matches the point list.
void attachColors(CaptureData& capture, const ImageData& image) {
  if (image.pixels.empty()) return;
  const uint64_t depthWidth = std::max<uint64_t>(capture.depthWidth, 1);
  const uint64_t depthHeight = std::max<uint64_t>(capture.depthHeight, 1);
  const uint64_t width = static_cast<uint64_t>(image.width), height = static_cast<uint64_t>(image.height);
  capture.colors.reserve(capture.pixelIndices.size());
  for (uint64_t k : capture.pixelIndices) {
    const uint64_t row = std::min(height * (k / depthWidth) / depthHeight, height - 1);
    const uint64_t column = std::min((k % depthWidth) * width / depthWidth, width - 1);
    const uint8_t* rgb = &image.pixels[3 * (row * width + column)];
    capture.colors.push_back({rgb[0] / 255.0f, rgb[1] / 255.0f, rgb[2] / 255.0f});
  }
}

bool fail(CaptureData& capture, std::string reason) {
  capture.error = std::move(reason);
  return false;
}

bool loadPcpFile(const std::string& path, const std::string& sidecarPath, CaptureData& capture) {
  capture.path = path;
  capture.sidecarPath =
      sidecarPath.empty() ? (fs::path(path).parent_path() / (fs::path(path).stem().string() + ".json")).string()
                          : sidecarPath;
  capture.isPcp = true;

  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(capture, "Cannot open PCP file: " + path);
  SequentialReader reader(in, streamSize(in));
  std::string magic;
  if (!reader.read(magic, sizeof kPcpMagic) || std::memcmp(magic.data(), kPcpMagic, sizeof kPcpMagic) != 0)
    return fail(capture, "Not a TOLVEX_KPT_V1 PCP file: " + path);
  std::vector<uint8_t> lengths;
  if (!reader.read(lengths, kLengthFieldsSize)) return fail(capture, "Truncated PCP length header: " + path);
  const uint32_t metadataLength = readU32(&lengths[0]);
  const uint32_t depthLength = readU32(&lengths[4]);
  const uint32_t pictureLength = readU32(&lengths[8]);
  if (metadataLength == 0 || metadataLength > kMaxPcpMetadataLength || depthLength == 0 || depthLength % 2 != 0 ||
      pictureLength > kMaxPictureLength)
    return fail(capture, "Invalid PCP payload lengths: " + path);

  std::string metadataText;
  if (!reader.read(metadataText, metadataLength)) return fail(capture, "Truncated PCP metadata: " + path);
  json metadata;
  std::string message;
  if (!parseBoundedJson(metadataText, metadata, message)) return fail(capture, "Invalid embedded PCP metadata: " + message);
  if (!metadata.is_object()) return fail(capture, "Invalid embedded PCP metadata: root is not an object");
  capture.embeddedMetadata = metadata;
  capture.metadata = std::move(metadata);

  std::vector<uint8_t> depthBytes;
  if (!reader.read(depthBytes, depthLength)) return fail(capture, "Truncated PCP depth payload: " + path);
  capture.depth = depthFromBytes(depthBytes);
  depthBytes = {};
  std::vector<uint8_t> picture;
  if (pictureLength > 0 && !reader.read(picture, pictureLength))
    return fail(capture, "Truncated PCP image payload: " + path);

  std::error_code ignored;
  if (!capture.sidecarPath.empty() && fs::exists(capture.sidecarPath, ignored)) {
    json sidecar;
    if (!readJson(capture.sidecarPath, sidecar, capture.error)) return false;
    for (const auto& item : sidecar.items()) capture.metadata[item.key()] = item.value();
  }

  readDepthSize(capture);
  if (capture.depthWidth == 0 || capture.depthHeight == 0 || pixelCount(capture) != capture.depth.size())
    return fail(capture, depthSizeMismatch(pixelCount(capture), capture.depth.size()));

  ImageData image;
  if (!decodePicture(picture, image, message)) return fail(capture, "Unable to decode embedded image: " + message);
  picture = {};

  buildPointCloud(capture);
  attachColors(capture, image);
  capture.hasViewFov = capture.metadata.contains("view_fov_half_deg") || capture.metadata.contains("fov_half_deg");
  return true;
}

bool loadLegacyPair(const std::string& binPath, const std::string& jsonPath, CaptureData& capture) {
  capture.path = binPath;
  capture.sidecarPath = jsonPath;
  if (!readJson(jsonPath, capture.metadata, capture.error)) return false;
  capture.embeddedMetadata = capture.metadata;

  readDepthSize(capture);
  if (capture.depthWidth == 0 || capture.depthHeight == 0) return fail(capture, "Invalid legacy depth dimensions");

  std::ifstream in(binPath, std::ios::binary);
  if (!in) return fail(capture, "Cannot open depth BIN file: " + binPath);
  const uint64_t fileSize = streamSize(in);
  // Compared in halves: width x height x 2 can exceed 64 bits.
  if (fileSize % 2 != 0 || fileSize / 2 != pixelCount(capture))
    return fail(capture, "Legacy BIN size does not match metadata dimensions");
  std::vector<uint8_t> depthBytes;
  SequentialReader reader(in, fileSize);
  if (!reader.read(depthBytes, fileSize)) return fail(capture, "Failed reading legacy depth BIN");
  capture.depth = depthFromBytes(depthBytes);
  depthBytes = {};

  buildPointCloud(capture);

  const json* colorMode = member(capture.metadata, "color_mode");
  const json* texture = member(capture.metadata, "high_res_texture");
  if (colorMode && colorMode->is_boolean() && colorMode->get<bool>() && texture && texture->is_string()) {
    const std::string texturePath = (fs::path(jsonPath).parent_path() / texture->get<std::string>()).string();
    ImageData image;
    std::string reason;
    // The intrinsics error of an empty point cloud gives way to a failure of the whole load.
    if (!decodePictureFile(texturePath, image, reason)) return fail(capture, "Unable to decode texture: " + reason);
    attachColors(capture, image);
  }
  return true;
}

// Memory exhaustion on a huge capture is a failed load, not an exception out of the loader.
template <typename Load>
bool guardedLoad(CaptureData& capture, Load load) {
  try {
    capture = CaptureData{};
    return load();
  } catch (const std::bad_alloc&) {
    const std::string path = capture.path;
    capture = CaptureData{};
    return fail(capture, "Not enough memory to load " + path);
  }
}

}  // namespace

float jsonFloat(const json& object, const std::string& key, float fallback) {
  const json* value = member(object, key);
  return value && value->is_number() ? static_cast<float>(value->get<double>()) : fallback;
}

uint32_t jsonU32(const json& object, const std::string& key, uint32_t fallback) {
  constexpr uint64_t kLargest = std::numeric_limits<uint32_t>::max();
  const json* value = member(object, key);
  if (value == nullptr) return fallback;
  // Values beyond 32 bits are unusable rather than wrapped into a small, plausible-looking size.
  if (value->is_number_unsigned()) {
    const uint64_t number = value->get<uint64_t>();
    return number <= kLargest ? static_cast<uint32_t>(number) : fallback;
  }
  if (value->is_number_integer()) {
    const int64_t number = value->get<int64_t>();
    return number >= 1 && static_cast<uint64_t>(number) <= kLargest ? static_cast<uint32_t>(number) : fallback;
  }
  return fallback;
}

Vec3 jsonVec3(const json& object, const std::string& key, float x, float y, float z) {
  const json* value = member(object, key);
  if (value == nullptr || !value->is_array() || value->size() < 3) return {x, y, z};
  const json& array = *value;
  if (!array[0].is_number() || !array[1].is_number() || !array[2].is_number()) return {x, y, z};
  return {static_cast<float>(array[0].get<double>()), static_cast<float>(array[1].get<double>()),
          static_cast<float>(array[2].get<double>())};
}

bool readJson(const std::string& path, json& value, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "Cannot open JSON file: " + path;
    return false;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  json parsed;
  std::string message;
  if (!parseBoundedJson(text, parsed, message)) {
    error = "Invalid JSON in " + path + ": " + message;
    return false;
  }
  if (!parsed.is_object()) {
    error = "JSON root must be an object: " + path;
    return false;
  }
  value = std::move(parsed);
  return true;
}

void buildPointCloud(CaptureData& capture) {
  capture.points.clear();
  capture.pixelIndices.clear();
  capture.colors.clear();
  const uint32_t width = capture.depthWidth, height = capture.depthHeight;
  const float fx = jsonFloat(capture.metadata, "fx", static_cast<float>(0.8 * width));
  const float fy = jsonFloat(capture.metadata, "fy", static_cast<float>(0.8 * width));
  const float cx = jsonFloat(capture.metadata, "cx", static_cast<float>(0.5 * width));
  const float cy = jsonFloat(capture.metadata, "cy", static_cast<float>(0.5 * height));
  if (fx == 0.0f || fy == 0.0f) {
    capture.error = kZeroIntrinsics;
    return;
  }
  // Numbers too large for a float would turn every point into infinities or NaNs.
  if (!std::isfinite(fx) || !std::isfinite(fy) || !std::isfinite(cx) || !std::isfinite(cy)) {
    capture.error = "Camera intrinsics must be finite numbers";
    return;
  }
  if (pixelCount(capture) != capture.depth.size()) {
    capture.error = depthSizeMismatch(pixelCount(capture), capture.depth.size());
    return;
  }
  capture.points.reserve(capture.depth.size());
  capture.pixelIndices.reserve(capture.depth.size());
  uint64_t k = 0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x, ++k) {
      const uint16_t millimetres = capture.depth[k];
      if (millimetres <= kNearLimitMm || millimetres >= kFarLimitMm) continue;
      const float z = millimetres / 1000.0f;
      capture.pixelIndices.push_back(k);
      capture.points.push_back({(static_cast<float>(x) - cx) * z / fx, (static_cast<float>(y) - cy) * z / fy, z});
    }
  }
}

// The paths are copied first: a reload may pass the capture's own path fields, which the reset clears.
bool loadPcp(const std::string& path, const std::string& sidecarPath, CaptureData& capture) {
  return guardedLoad(capture, [&, path, sidecarPath] { return loadPcpFile(path, sidecarPath, capture); });
}

bool loadLegacy(const std::string& binPath, const std::string& jsonPath, CaptureData& capture) {
  return guardedLoad(capture, [&, binPath, jsonPath] { return loadLegacyPair(binPath, jsonPath, capture); });
}

}  // namespace pcp
