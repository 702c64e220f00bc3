#include "svg_export.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>

#include "photo_program.h"
#include "photo_renderer.h"
#include "spatial_ranks.h"

namespace vector_export {
namespace {

constexpr size_t kProgressStride = 1024;

// to_chars never consults the locale, so a comma-decimal user locale cannot leak into the file.
void appendFixed4(std::string& out, double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, 4);
  out.append(buffer, result.ec == std::errc() ? result.ptr : buffer);
}

void appendInteger(std::string& out, long long value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, result.ptr);
}

void appendHexByte(std::string& out, uint8_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.push_back(kDigits[value >> 4]);
  out.push_back(kDigits[value & 15]);
}

// NaN counts as farthest so that the order stays a strict weak ordering whatever the input.
float sortDepth(float depth) { return std::isnan(depth) ? std::numeric_limits<float>::infinity() : depth; }

std::string header(int width, int height) {
  std::string w, h;
  appendInteger(w, width);
  appendInteger(h, height);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + w + " " + h + "\" width=\"" + w +
         "\" height=\"" + h + "\">\n"
         "<title>Point cloud image</title>\n"
         "<defs><clipPath id=\"canvas\"><rect width=\"" + w + "\" height=\"" + h + "\"/></clipPath></defs>\n"
         "<rect width=\"100%\" height=\"100%\" fill=\"#000000\"/>\n"
         "<g clip-path=\"url(#canvas)\" stroke=\"none\">\n";
}

void appendPointLine(std::string& out, const Point& point, double size) {
  out += "<rect x=\"";
  appendFixed4(out, point.x - size / 2.0);
  out += "\" y=\"";
  appendFixed4(out, point.y - size / 2.0);
  out += "\" width=\"";
  appendFixed4(out, size);
  out += "\" height=\"";
  appendFixed4(out, size);
  out += "\" fill=\"#";
  appendHexByte(out, point.red);
  appendHexByte(out, point.green);
  appendHexByte(out, point.blue);
  out += "\"/>\n";
}

}  // namespace

bool progress(const Progress& progress, float fraction, std::string& error) {
  if (!progress || progress(fraction)) return true;
  error = "已取消";
  return false;
}

bool write(const std::string& path, int width, int height, double size, std::vector<Point>& points,
           std::string& error, const Progress& onProgress) {
  error.clear();
  if (width < 1 || height < 1 || !std::isfinite(size) || !(size > 0.0)) {
    error = "矢量画幅或点尺寸无效";
    return false;
  }
  if (!progress(onProgress, 0.0f, error)) return false;
  std::sort(points.begin(), points.end(), [](const Point& a, const Point& b) {
    const float depthA = sortDepth(a.depth);
    const float depthB = sortDepth(b.depth);
    if (depthA != depthB) return depthA > depthB;
    return a.index > b.index;
  });
  if (!progress(onProgress, 0.12f, error)) return false;

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = "无法创建 SVG 文件";
    return false;
  }
  std::string chunk = header(width, height);
  const size_t count = points.size();
  for (size_t i = 0; i < count; ++i) {
    if (i % kProgressStride == 0) {
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      chunk.clear();
      const float fraction = static_cast<float>(0.12 + 0.88 * static_cast<double>(i) / static_cast<double>(count));
      if (!progress(onProgress, fraction, error)) {
        out.flush();
        return false;
      }
    }
    appendPointLine(chunk, points[i], size);
  }
  chunk += "</g>\n</svg>\n";
  out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  out.flush();
  if (!out) {
    error = "SVG 写入失败（请检查磁盘空间）";
    return false;
  }
  return progress(onProgress, 1.0f, error);
}

}  // namespace vector_export

namespace pcp {
namespace {

uint8_t colorByte(double component) {
  if (!std::isfinite(component)) return 0;
  return static_cast<uint8_t>(std::lround(std::clamp(component, 0.0, 1.0) * 255.0));
}

}  // namespace

bool exportSvg(const CaptureData& capture, const std::vector<SliderPoint>& nodes, float maxDistance, float pointSize,
               int width, int height, const std::string& path, std::string& error,
               const vector_export::Progress& progress, float samplingRatio) {
  error.clear();
  if (capture.points.empty()) {
    error = "照片没有有效点云";
    return false;
  }
  if (width <= 0 || height <= 0 || !std::isfinite(maxDistance) || !(maxDistance > 0.0f)) {
    error = "矢量画幅或距离无效";
    return false;
  }
  const std::vector<SliderPoint> mappingNodes = photoMappingNodes(nodes);
  const Matrix4 m = PointCloudRenderer::captureMvp(capture, maxDistance);
  const bool useColor = photoColorMode(capture) && capture.colors.size() == capture.points.size();
  const uint32_t threshold = point_sampling::keepThreshold(samplingRatio);

  std::vector<vector_export::Point> points;
  points.reserve(capture.points.size());
  const size_t count = capture.points.size();
  for (size_t i = 0; i < count; ++i) {
    if (i % 1024 == 0 &&
        !vector_export::progress(progress, static_cast<float>(0.4 * static_cast<double>(i) / static_cast<double>(count)),
                                 error)) {
      return false;
    }
    if (!keepsPhotoPoint(capture, threshold, i)) continue;
    const Vec3& p = capture.points[i];
    const std::optional<float> gray = mapDepthToGray(p.z, 0.0f, maxDistance, mappingNodes);
    if (!gray) continue;
    const float clipX = m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3];
    const float clipY = m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7];
    const float clipZ = m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11];
    const float clipW = m[12] * p.x + m[13] * p.y + m[14] * p.z + m[15];
    if (!std::isfinite(clipX) || !std::isfinite(clipY) || !std::isfinite(clipZ) || !std::isfinite(clipW)) continue;
    if (!(clipW > 0.0f) || clipX < -clipW || clipX > clipW || clipY < -clipW || clipY > clipW || clipZ < -clipW ||
        clipZ >= clipW) {
      continue;
    }
    const Vec3 base = useColor ? capture.colors[i] : Vec3{1.0f, 1.0f, 1.0f};
    vector_export::Point point;
    point.x = (static_cast<double>(clipX) / clipW + 1.0) * width * 0.5;
    point.y = (1.0 - static_cast<double>(clipY) / clipW) * height * 0.5;
    point.depth = clipZ / clipW;
    point.red = colorByte(static_cast<double>(base.x) * *gray);
    point.green = colorByte(static_cast<double>(base.y) * *gray);
    point.blue = colorByte(static_cast<double>(base.z) * *gray);
    point.index = i;
    points.push_back(point);
  }
  const vector_export::Progress writerProgress = [&progress](float fraction) {
    return !progress || progress(0.4f + 0.6f * fraction);
  };
  return vector_export::write(path, width, height, std::max(pointSize, 0.1f), points, error, writerProgress);
}

}  // namespace pcp
