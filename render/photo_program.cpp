#include "photo_program.h"

#include <algorithm>

#include "gl_program.h"
#include "spatial_ranks.h"

namespace pcp {
namespace {

constexpr const char* kVertexSource = R"(#version 120
attribute vec3 aPosition;
attribute vec3 aColor;
uniform mat4 mvp;
uniform float requestedPointSize;
varying float pointDepth;
varying vec3 pointColor;
void main() {
  gl_Position = mvp * vec4(aPosition, 1.0);
  gl_PointSize = requestedPointSize;
  pointDepth = aPosition.z;
  pointColor = aColor;
}
)";

constexpr const char* kFragmentSource = R"(#version 120
uniform float nearPlane;
uniform float farPlane;
uniform int sliderCount;
uniform float sliderPositions[32];
uniform float sliderValues[32];
uniform int useColor;
varying float pointDepth;
varying vec3 pointColor;
void main() {
  if (pointDepth < nearPlane || pointDepth > farPlane) discard;
  float normalized = (pointDepth - nearPlane) / max(farPlane - nearPlane, 0.000001);
  float gray = 0.0;
  if (sliderCount == 0) {
    gray = normalized;
  } else {
    for (int i = 0; i < 31; ++i) {
      if (i + 1 >= sliderCount) break;
      float lower = sliderPositions[i];
      float upper = sliderPositions[i + 1];
      if (lower <= normalized && normalized <= upper) {
        float t = (normalized - lower) / max(upper - lower, 0.000001);
        gray = sliderValues[i] + (sliderValues[i + 1] - sliderValues[i]) * t;
        break;
      }
    }
  }
  gray = clamp(gray, 0.0, 1.0);
  vec3 base = useColor == 1 ? pointColor : vec3(1.0);
  gl_FragColor = vec4(base * gray, 1.0);
}
)";

}  // namespace

const ShaderSources& photoPointSources() {
  static const ShaderSources sources{kVertexSource, kFragmentSource};
  return sources;
}

GLuint buildPhotoPointProgram(const ShaderSources& sources, std::string& error) {
  error.clear();
  return gl_program::build(sources.vertex, sources.fragment, {{0, "aPosition"}, {1, "aColor"}}, error);
}

std::vector<SliderPoint> photoMappingNodes(const std::vector<SliderPoint>& nodes) {
  std::vector<SliderPoint> sorted = nodes;
  std::sort(sorted.begin(), sorted.end(),
            [](const SliderPoint& a, const SliderPoint& b) { return a.position < b.position; });
  if (sorted.size() > kMaxPhotoNodes) sorted.resize(kMaxPhotoNodes);
  return sorted;
}

bool keepsPhotoPoint(const CaptureData& capture, uint32_t threshold, size_t pointIndex) {
  if (threshold >= point_sampling::kKeepAllThreshold) return true;
  const uint64_t pixel =
      capture.pixelIndices.size() == capture.points.size() ? capture.pixelIndices[pointIndex] : pointIndex;
  const uint64_t width = std::max<uint32_t>(capture.depthWidth, 1);
  return point_sampling::keeps(threshold, static_cast<uint32_t>((pixel % width) & 255u),
                               static_cast<uint32_t>((pixel / width) & 255u));
}

bool photoColorMode(const CaptureData& capture) {
  const auto colorMode = capture.metadata.find("color_mode");
  return colorMode != capture.metadata.end() && colorMode->is_boolean() && colorMode->get<bool>();
}

}  // namespace pcp
