#include "video_renderer.h"

#include <stb_image_write.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>

#include "gl_framebuffer.h"
#include "matrix4.h"
#include "spatial_ranks.h"
#include "video_program.h"

namespace {

constexpr float kMinFocalLength = 0.000001f;
constexpr float kMinDepthMetres = 0.001f;
// The capture camera sits this far along world +z, looking toward -z.
constexpr double kCaptureCameraZ = 5.2;
constexpr double kNearPlane = 0.1;
constexpr double kFarPlaneMargin = 10.0;
constexpr double kMinSquaredLength = 1e-12;
constexpr double kPi = 3.14159265358979323846;

using Vec3 = std::array<double, 3>;

Vec3 toVec3(const std::array<float, 3>& v) { return {v[0], v[1], v[2]}; }
Vec3 minus(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
// The floor keeps a zero vector (camera on its target, up along the view) from dividing by zero.
Vec3 normalized(const Vec3& v) {
  const double length = std::sqrt(std::max(dot(v, v), kMinSquaredLength));
  return {v[0] / length, v[1] / length, v[2] / length};
}

using Matrix4d = std::array<double, 16>;

ImageRGB blackImage(int width, int height) {
  ImageRGB image;
  image.width = width;
  image.height = height;
  image.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 3, 0);
  return image;
}

struct SavedTarget {
  GLint framebuffer = 0;
  GLint viewport[4] = {0, 0, 0, 0};
};

SavedTarget saveTarget() {
  SavedTarget saved;
  glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &saved.framebuffer);
  glGetIntegerv(GL_VIEWPORT, saved.viewport);
  return saved;
}

void restoreTarget(const SavedTarget& saved) {
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(saved.framebuffer));
  glViewport(saved.viewport[0], saved.viewport[1], saved.viewport[2], saved.viewport[3]);
}

GLint uniform(GLuint program, const char* name) { return glGetUniformLocation(program, name); }

}  // namespace

bool ImageRGB::complete() const {
  return !empty() && pixels.size() == static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
}

std::vector<GpuPoint> buildGpuPoints(const FrameData& frame, float maxDistance, float samplingRatio) {
  std::vector<GpuPoint> points;
  // Written so that NaN intrinsics are refused too.
  if (!(frame.fx >= kMinFocalLength) || !(frame.fy >= kMinFocalLength)) return points;
  if (!std::isfinite(frame.cx) || !std::isfinite(frame.cy)) return points;
  const size_t width = frame.width;
  const size_t height = frame.height;
  const size_t available = frame.depth.size();
  if (width == 0 || height == 0 || available == 0) return points;

  const uint32_t threshold = point_sampling::keepThreshold(samplingRatio);
  // A depth array shorter than the image only has points where it has samples.
  points.reserve(std::min(width * height, available));
  for (size_t y = 0; y < height; ++y) {
    const size_t rowStart = y * width;
    if (rowStart >= available) break;
    const size_t rowLength = std::min(width, available - rowStart);
    const uint16_t* row = frame.depth.data() + rowStart;
    const float rowOffset = static_cast<float>(y) - frame.cy;
    for (size_t x = 0; x < rowLength; ++x) {
      if (!point_sampling::keeps(threshold, static_cast<uint32_t>(x), static_cast<uint32_t>(y))) continue;
      const uint16_t raw = row[x];
      if (raw == 0) continue;
      const float z = static_cast<float>(raw) / 1000.0f;
      if (!(z > kMinDepthMetres && z <= maxDistance)) continue;
      points.push_back({(static_cast<float>(x) - frame.cx) * z / frame.fx, rowOffset * z / frame.fy, z, z});
    }
  }
  return points;
}

Matrix4 videoExportMvp(const RenderParams& params, int width, int height, bool flipX, bool flipY) {
  // Capture (X, Y, Z) to world (-X, Y, 5.2 - Z).
  const Matrix4d model{-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, kCaptureCameraZ, 0, 0, 0, 1};

  const Vec3 eye = toVec3(params.camera_pos);
  const Vec3 forward = normalized(minus(eye, toVec3(params.camera_target)));
  const Vec3 right = normalized(cross(toVec3(params.camera_up), forward));
  const Vec3 up = cross(forward, right);
  const Matrix4d view{right[0],   right[1],   right[2],   -dot(right, eye),
                      up[0],      up[1],      up[2],      -dot(up, eye),
                      forward[0], forward[1], forward[2], -dot(forward, eye),
                      0,          0,          0,          1};

  const float fovDegrees = params.fov < 5.0f ? 5.0f : std::min(params.fov, 80.0f);
  const double f = 1.0 / std::tan(static_cast<double>(fovDegrees) * kPi / 180.0);
  const double aspect = static_cast<double>(static_cast<float>(width) / static_cast<float>(height));
  const double farPlane = static_cast<double>(params.max_dist) + kFarPlaneMargin;
  const double sx = flipX ? f / aspect : -f / aspect;
  const double sy = flipY ? f : -f;
  const Matrix4d projection{sx, 0, 0, 0,
                            0, sy, 0, 0,
                            0, 0, -(farPlane + kNearPlane) / (farPlane - kNearPlane),
                            -2.0 * farPlane * kNearPlane / (farPlane - kNearPlane),
                            0, 0, -1, 0};

  const Matrix4d mvp = multiplyMatrix4(projection, multiplyMatrix4(view, model));
  Matrix4 result{};
  std::transform(mvp.begin(), mvp.end(), result.begin(), [](double value) { return static_cast<float>(value); });
  return result;
}

void drawVideoPoints(GLuint pointBuffer, size_t pointCount, const RenderParams& params, const Matrix4& mvp,
                     float pointSize) {
  const GLuint program = global_pc_program;
  if (program == 0 || pointCount == 0) return;
  const float positions[3] = {params.slider_pos_0, params.slider_pos_1, params.slider_pos_2};
  const float grays[3] = {params.slider_gray_0, params.slider_gray_1, params.slider_gray_2};
  glUseProgram(program);
  glUniformMatrix4fv(uniform(program, "u_mvp"), 1, GL_TRUE, mvp.data());
  glPointSize(pointSize);
  glUniform1f(uniform(program, "u_point_size"), pointSize);
  glUniform1f(uniform(program, "near_plane"), 0.0f);
  glUniform1f(uniform(program, "far_plane"), params.max_dist);
  glUniform1i(uniform(program, "num_sliders"), 3);
  glUniform1fv(uniform(program, "slider_positions"), 3, positions);
  glUniform1fv(uniform(program, "slider_grayscales"), 3, grays);

  glEnable(GL_DEPTH_TEST);
  glEnable(GL_VERTEX_PROGRAM_POINT_SIZE);
  glBindBuffer(GL_ARRAY_BUFFER, pointBuffer);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 4, GL_FLOAT, GL_FALSE, sizeof(GpuPoint), nullptr);
  glDrawArrays(GL_POINTS, 0, static_cast<GLsizei>(std::min<size_t>(pointCount, INT_MAX)));

  glDisableVertexAttribArray(0);
  glDisable(GL_DEPTH_TEST);
  glUseProgram(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
}

ImageRGB renderGpuFrameToImage(const FrameData& frame, const RenderParams& params, int width, int height, bool flipX,
                               bool flipY, std::string* error) {
  const auto fail = [error](std::string message) {
    if (error != nullptr) *error = std::move(message);
    return ImageRGB{};
  };
  if (error != nullptr) error->clear();
  if (width < 1 || height < 1 || frame.width == 0 || frame.height == 0 || frame.depth.empty()) return {};
  const std::vector<GpuPoint> points = buildGpuPoints(frame, params.max_dist, params.sampling_ratio);
  if (points.empty()) return blackImage(width, height);
  // A black frame here would pass for a rendered one in an export.
  if (global_pc_program == 0) return fail("the video point program is not available");

  const SavedTarget saved = saveTarget();
  std::string targetError;
  std::unique_ptr<platform::GlFramebuffer> target = platform::GlFramebuffer::create(width, height, targetError);
  if (!target) {
    restoreTarget(saved);
    return fail("cannot create the offscreen target: " + targetError);
  }
  GLuint pointBuffer = 0;
  glGenBuffers(1, &pointBuffer);
  glBindBuffer(GL_ARRAY_BUFFER, pointBuffer);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(points.size() * sizeof(GpuPoint)), points.data(),
               GL_STATIC_DRAW);
  glBindBuffer(GL_ARRAY_BUFFER, 0);

  target->bind();
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  drawVideoPoints(pointBuffer, points.size(), params, videoExportMvp(params, width, height, flipX, flipY),
                  params.point_size);

  ImageRGB image;
  image.width = width;
  image.height = height;
  const bool read = target->readRgb(image.pixels);
  restoreTarget(saved);
  glDeleteBuffers(1, &pointBuffer);
  target.reset();
  if (!read) return fail("cannot read back the rendered frame");
  return image;
}

namespace pcv0930 {
namespace {

// The source interval [begin, end) one output row or column covers, and the whole source pixels
// it touches.
struct Span {
  double begin;
  double end;
  size_t first;
  size_t last;  // exclusive
};

std::vector<Span> spans(int outputCount, int sourceCount) {
  std::vector<Span> result(static_cast<size_t>(outputCount));
  const double source = static_cast<double>(sourceCount);
  for (int i = 0; i < outputCount; ++i) {
    Span& span = result[static_cast<size_t>(i)];
    span.begin = static_cast<double>(i) * source / outputCount;
    span.end = static_cast<double>(i + 1) * source / outputCount;
    span.first = static_cast<size_t>(std::floor(span.begin));
    span.last = static_cast<size_t>(std::min(std::ceil(span.end), source));
  }
  return result;
}

double overlap(const Span& span, size_t pixel) {
  return std::min(span.end, static_cast<double>(pixel + 1)) - std::max(span.begin, static_cast<double>(pixel));
}

// lround(pow(v, 0.8) * 255) for v in [0, 1] without a pow per channel: the curve rises, so a cell
// whose two ends give the same byte gives it throughout; only cells holding a step need pow.
class BrightenCurve {
 public:
  BrightenCurve() {
    for (int cell = 0; cell <= kCells; ++cell) atCellStart_[cell] = exact(static_cast<double>(cell) / kCells);
  }
  uint8_t operator()(double value) const {
    const int cell = static_cast<int>(value * kCells);
    if (cell >= kCells) return atCellStart_[kCells];
    if (atCellStart_[cell] == atCellStart_[cell + 1]) return atCellStart_[cell];
    return exact(value);
  }

 private:
  static uint8_t exact(double value) { return static_cast<uint8_t>(std::lround(std::pow(value, 0.8) * 255.0)); }

  static constexpr int kCells = 4096;  // a power of two, so value * kCells is exact
  uint8_t atCellStart_[kCells + 1];
};

}  // namespace

ImageRGB shrinkImage(const ImageRGB& source, int width, int height, bool brighten) {
  ImageRGB result;
  result.width = width;
  result.height = height;
  if (width <= 0 || height <= 0) return result;
  result = blackImage(width, height);
  if (!source.complete()) return result;

  const std::vector<Span> rows = spans(height, source.height);
  const std::vector<Span> columns = spans(width, source.width);
  const size_t sourceStride = static_cast<size_t>(source.width) * 3;
  static const BrightenCurve brightenCurve;
  uint8_t* out = result.pixels.data();
  for (const Span& row : rows) {
    for (const Span& column : columns) {
      double sum[3] = {0.0, 0.0, 0.0};
      for (size_t k = row.first; k < row.last; ++k) {
        const double rowWeight = overlap(row, k);
        const uint8_t* in = source.pixels.data() + k * sourceStride + column.first * 3;
        for (size_t l = column.first; l < column.last; ++l, in += 3) {
          const double weight = rowWeight * overlap(column, l);
          sum[0] += weight * in[0];
          sum[1] += weight * in[1];
          sum[2] += weight * in[2];
        }
      }
      const double scale = (column.end - column.begin) * (row.end - row.begin) * 255.0;
      for (const double channel : sum) {
        const double value = std::clamp(channel / scale, 0.0, 1.0);
        *out++ = brighten ? brightenCurve(value) : static_cast<uint8_t>(std::lround(value * 255.0));
      }
    }
  }
  return result;
}

}  // namespace pcv0930

void uploadTexture(GLuint& texture, int& textureWidth, int& textureHeight, const ImageRGB& image) {
  if (!image.complete()) return;
  GLint maxSize = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
  if (image.width > maxSize || image.height > maxSize) return;
  if (texture == 0) {
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    textureWidth = 0;
    textureHeight = 0;
  } else {
    glBindTexture(GL_TEXTURE_2D, texture);
  }
  // Rows are tightly packed; the caller's alignment comes back afterwards.
  GLint savedAlignment = 4;
  glGetIntegerv(GL_UNPACK_ALIGNMENT, &savedAlignment);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  if (textureWidth == image.width && textureHeight == image.height) {
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, image.width, image.height, GL_RGB, GL_UNSIGNED_BYTE, image.pixels.data());
  } else {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, image.width, image.height, 0, GL_RGB, GL_UNSIGNED_BYTE,
                 image.pixels.data());
    textureWidth = image.width;
    textureHeight = image.height;
  }
  glPixelStorei(GL_UNPACK_ALIGNMENT, savedAlignment);
  glBindTexture(GL_TEXTURE_2D, 0);
}

bool savePng(const std::string& path, const ImageRGB& image) {
  if (!image.complete()) return false;
  // The encoder sizes its buffers in int.
  const size_t filteredBytes = (static_cast<size_t>(image.width) * 3 + 1) * static_cast<size_t>(image.height);
  if (filteredBytes > static_cast<size_t>(INT_MAX) / 2) return false;
  std::vector<uint8_t> encoded;
  const auto append = [](void* context, void* data, int size) {
    std::vector<uint8_t>& bytes = *static_cast<std::vector<uint8_t>*>(context);
    const uint8_t* begin = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), begin, begin + size);
  };
  if (stbi_write_png_to_func(append, &encoded, image.width, image.height, 3, image.pixels.data(), image.width * 3) == 0 ||
      encoded.empty()) {
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const size_t written = std::fwrite(encoded.data(), 1, encoded.size(), file);
  const bool closed = std::fclose(file) == 0;
  // A short write or failed flush is a failure, not a saved picture.
  return written == encoded.size() && closed;
}
