#pragma once
// The depth-to-gray curve shared by the GPU point programs, on the processor: the SVG export and
// anything else that needs a point's brightness without drawing it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pcp {

// One node of the curve: normalised depth (0 = near plane, 1 = far plane) and its brightness.
struct SliderPoint {
  float position;
  float gray;
  int32_t id;  // numbered when created or read; the mapping never looks at it
};

// Brightness 0..1 of `depth` (metres) over [nearPlane, farPlane] through the nodes in the order
// given; nullopt when the depth lies outside the range (the point is not drawn at all). Without
// nodes the gray is the normalised depth; depths no node pair covers are black.
inline std::optional<float> mapDepthToGray(float depth, float nearPlane, float farPlane,
                                           const std::vector<SliderPoint>& nodes) {
  if (depth < nearPlane || depth > farPlane) return std::nullopt;
  const float normalized = (depth - nearPlane) / std::max(farPlane - nearPlane, 0.000001f);
  float gray = nodes.empty() ? normalized : 0.0f;
  for (size_t i = 0; i + 1 < nodes.size(); ++i) {
    const SliderPoint& lower = nodes[i];
    const SliderPoint& upper = nodes[i + 1];
    if (lower.position <= normalized && normalized <= upper.position) {
      const float t = (normalized - lower.position) / std::max(upper.position - lower.position, 0.000001f);
      gray = lower.gray + (upper.gray - lower.gray) * t;
      break;
    }
  }
  return std::clamp(gray, 0.0f, 1.0f);
}

}  // namespace pcp
