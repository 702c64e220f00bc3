#include "camera_thumbnail.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <nlohmann/json.hpp>

namespace pcv0930 {

namespace {

// Depth beyond this is never drawn, whatever the metadata's display distance says.
constexpr double kMaxThumbnailDepth = 20.0;
// Keeps an absurd display distance from overflowing the far plane.
constexpr double kMaxFarDistance = 1e6;

using json = nlohmann::json;

double numberOr(const json& meta, const char* key, double fallback) {
  const auto found = meta.find(key);
  if (found == meta.end() || !found->is_number()) return fallback;
  const double value = found->get<double>();
  return std::isfinite(value) ? value : fallback;
}

std::array<float, 3> vectorOr(const json& meta, const char* key, std::array<float, 3> fallback) {
  const auto found = meta.find(key);
  if (found == meta.end() || !(found->is_array() || found->is_object()) || found->size() != 3) return fallback;
  std::array<float, 3> result{};
  size_t i = 0;
  for (const json& element : *found) {
    if (!element.is_number() || !std::isfinite(element.get<double>())) return fallback;
    result[i++] = element.get<float>();
  }
  return result;
}

struct ThumbnailSettings {
  double maxDistance = 20.0;
  double d1 = 0.0;
  double d2 = 10.0;
  double d3 = 20.0;
  RenderParams camera;
};

ThumbnailSettings settingsFrom(const std::string& metaJson) {
  json meta = json::parse(metaJson, nullptr, false);
  if (!meta.is_object()) meta = json::object();
  ThumbnailSettings settings;
  settings.maxDistance = numberOr(meta, "max_display_distance", settings.maxDistance);
  settings.d1 = numberOr(meta, "D1", settings.d1);
  settings.d2 = numberOr(meta, "D2", settings.d2);
  settings.d3 = numberOr(meta, "D3", settings.d3);
  const double halfFov = numberOr(meta, "fov_half_deg", numberOr(meta, "view_fov_half_deg", 20.0));
  settings.camera.fov = static_cast<float>(std::clamp(halfFov, 5.0, 80.0));
  settings.camera.max_dist = static_cast<float>(std::clamp(settings.maxDistance, -kMaxFarDistance, kMaxFarDistance));
  settings.camera.camera_pos = vectorOr(meta, "camera_pos", settings.camera.camera_pos);
  settings.camera.camera_target = vectorOr(meta, "camera_target", settings.camera.camera_target);
  settings.camera.camera_up = vectorOr(meta, "camera_up", settings.camera.camera_up);
  return settings;
}

uint8_t grayByte(const ThumbnailSettings& s, double z) {
  double g = 0.0;
  if (s.d1 < z && z <= s.d2 && s.d2 != s.d1) {
    g = (z - s.d1) / (s.d2 - s.d1);
  } else if (s.d2 < z && z <= s.d3 && s.d3 != s.d2) {
    g = (s.d3 - z) / (s.d3 - s.d2);
  }
  return static_cast<uint8_t>(std::clamp(g, 0.0, 1.0) * 255.0);
}

}  // namespace

ImageRGB cameraThumbnail(const FrameData& frame, const std::function<bool()>& cancelled) {
  constexpr int kWidth = kThumbnailWidth;
  constexpr int kHeight = kThumbnailHeight;
  ImageRGB image;
  image.width = kWidth;
  image.height = kHeight;
  image.pixels.assign(static_cast<size_t>(kWidth) * kHeight * 3, 0);
  // Written so that NaN intrinsics give the black picture too.
  if (!(frame.fx > 0.0f) || !(frame.fy > 0.0f)) return image;

  const ThumbnailSettings settings = settingsFrom(frame.metaJson);
  // Both flips on give the positive x and y scales; the splat below mirrors the columns and
  // writes rows top-down, which lands on the GPU renderer's default orientation.
  const Matrix4 mvpFloat = videoExportMvp(settings.camera, kWidth, kHeight, true, true);
  std::array<double, 16> m{};
  std::copy(mvpFloat.begin(), mvpFloat.end(), m.begin());
  const double maxDepth = std::min(kMaxThumbnailDepth, settings.maxDistance);
  std::vector<float> depthBuffer(static_cast<size_t>(kWidth) * kHeight, 1e30f);

  const size_t width = frame.width;
  const size_t available = frame.depth.size();
  for (size_t v = 0; v < frame.height; ++v) {
    if (cancelled && cancelled()) return ImageRGB{};
    if (width == 0 || v * width >= available) break;
    const size_t rowLength = std::min(width, available - v * width);
    const uint16_t* row = frame.depth.data() + v * width;
    for (size_t u = 0; u < rowLength; ++u) {
      const double z = row[u] * 0.001;
      if (!(z > 0.0 && z <= maxDepth)) continue;
      const double x = (static_cast<double>(u) - frame.cx) / frame.fx * z;
      const double y = (static_cast<double>(v) - frame.cy) / frame.fy * z;
      const double clipW = m[12] * x + m[13] * y + m[14] * z + m[15];
      if (!(clipW > 0.0)) continue;
      const double ndcX = (m[0] * x + m[1] * y + m[2] * z + m[3]) / clipW;
      const double ndcY = (m[4] * x + m[5] * y + m[6] * z + m[7]) / clipW;
      const double ndcZ = (m[8] * x + m[9] * y + m[10] * z + m[11]) / clipW;
      if (!(ndcX >= -1.0 && ndcX < 1.0 && ndcY >= -1.0 && ndcY < 1.0 && std::fabs(ndcZ) <= 1.0)) continue;

      const uint8_t gray = grayByte(settings, z);
      const int c = static_cast<int>((ndcX + 1.0) * (kWidth / 2));
      const int r = static_cast<int>((ndcY + 1.0) * (kHeight / 2));
      const float depth = static_cast<float>(ndcZ);
      for (int py = std::max(r - 1, 0); py <= std::min(r, kHeight - 1); ++py) {
        for (int px = std::max(kWidth - 2 - c, 0); px <= std::min(kWidth - 1 - c, kWidth - 1); ++px) {
          const size_t index = static_cast<size_t>(py) * kWidth + static_cast<size_t>(px);
          if (!(depthBuffer[index] > depth)) continue;
          depthBuffer[index] = depth;
          uint8_t* pixel = image.pixels.data() + index * 3;
          pixel[0] = pixel[1] = pixel[2] = gray;
        }
      }
    }
  }
  return image;
}

}  // namespace pcv0930
