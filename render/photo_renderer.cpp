#include "photo_renderer.h"

#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "matrix4.h"
#include "spatial_ranks.h"

namespace pcp {
namespace {

constexpr float kPi = 3.14159265358979323846f;

Vec3 minus(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

Vec3 normalizedOr(Vec3 v, Vec3 fallback) {
  const float length = std::sqrt(dot(v, v));
  if (!(length > 1e-8f)) return fallback;
  return {v.x / length, v.y / length, v.z / length};
}

Matrix4 viewMatrix(const nlohmann::json& metadata) {
  const Vec3 eye = jsonVec3(metadata, "camera_pos", 0.0f, 0.0f, 5.0f);
  const Vec3 target = jsonVec3(metadata, "camera_target", 0.0f, 0.0f, 0.0f);
  const Vec3 up = jsonVec3(metadata, "camera_up", 0.0f, 1.0f, 0.0f);
  const Vec3 forward = normalizedOr(minus(eye, target), {0.0f, 0.0f, 1.0f});
  const Vec3 right = normalizedOr(cross(up, forward), {1.0f, 0.0f, 0.0f});
  const Vec3 trueUp = cross(forward, right);
  return {right.x,   right.y,   right.z,   -dot(right, eye),   //
          trueUp.x,  trueUp.y,  trueUp.z,  -dot(trueUp, eye),  //
          forward.x, forward.y, forward.z, -dot(forward, eye),  //
          0.0f,      0.0f,      0.0f,      1.0f};
}

Matrix4 perspective(float halfAngleDegrees, float aspect, float nearPlane, float farPlane) {
  const float f = 1.0f / std::tan(halfAngleDegrees * kPi / 180.0f);
  return {f / aspect, 0.0f, 0.0f, 0.0f,  //
          0.0f, f, 0.0f, 0.0f,           //
          0.0f, 0.0f, -(farPlane + nearPlane) / (farPlane - nearPlane), -2.0f * farPlane * nearPlane / (farPlane - nearPlane),
          0.0f, 0.0f, -1.0f, 0.0f};
}

void clearGlErrors() {
  while (glGetError() != GL_NO_ERROR) {
  }
}

bool validUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    uint32_t codePoint = 0;
    if (lead < 0x80) {
      codePoint = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      codePoint = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      codePoint = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      codePoint = lead & 0x07u;
    } else {
      return false;
    }
    if (extra > text.size() - i - 1) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    static constexpr uint32_t kSmallestOfLength[] = {0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallestOfLength[extra] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace

PointCloudRenderer::~PointCloudRenderer() { destroy(); }

bool PointCloudRenderer::initialize(std::string& error, const ShaderSources& sources) {
  destroy();
  program = buildPhotoPointProgram(sources, error);
  if (program == 0) {
    destroy();
    return false;
  }
  glGenVertexArrays(1, &vertexArray);
  glGenBuffers(1, &positionBuffer);
  glGenBuffers(1, &colorBuffer);
  glGenBuffers(1, &indexBuffer);
  return true;
}

void PointCloudRenderer::destroy() {
  if (indexBuffer != 0) glDeleteBuffers(1, &indexBuffer);
  if (colorBuffer != 0) glDeleteBuffers(1, &colorBuffer);
  if (positionBuffer != 0) glDeleteBuffers(1, &positionBuffer);
  if (vertexArray != 0) glDeleteVertexArrays(1, &vertexArray);
  if (program != 0) glDeleteProgram(program);
  program = 0;
  vertexArray = 0;
  positionBuffer = 0;
  colorBuffer = 0;
  indexBuffer = 0;
  sampledCount = 0;
  sampledRatio = -1.0f;
  pointCount = 0;
  hasColors = false;
}

bool PointCloudRenderer::upload(const CaptureData& capture, std::string& error) {
  error.clear();
  if (program == 0 || vertexArray == 0) {
    error = "Renderer is not initialized";
    return false;
  }
  if (capture.points.empty()) {
    error = capture.error.empty() ? "Capture contains no valid depth points" : capture.error;
    return false;
  }
  // Draw counts and sampled indices are 32-bit on the GL side.
  if (capture.points.size() > static_cast<size_t>(std::numeric_limits<GLsizei>::max())) {
    error = "Capture has too many points to draw";
    return false;
  }
  clearGlErrors();
  pointCount = capture.points.size();
  sampledRatio = -1.0f;
  hasColors = capture.colors.size() == capture.points.size();

  glBindVertexArray(vertexArray);
  glBindBuffer(GL_ARRAY_BUFFER, positionBuffer);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(capture.points.size() * sizeof(Vec3)), capture.points.data(),
               GL_STATIC_DRAW);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof(Vec3), nullptr);
  glEnableVertexAttribArray(0);
  if (hasColors) {
    glBindBuffer(GL_ARRAY_BUFFER, colorBuffer);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(capture.colors.size() * sizeof(Vec3)),
                 capture.colors.data(), GL_STATIC_DRAW);
    glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, sizeof(Vec3), nullptr);
    glEnableVertexAttribArray(1);
  } else {
    glDisableVertexAttribArray(1);
    glVertexAttrib3f(1, 1.0f, 1.0f, 1.0f);
  }
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindVertexArray(0);
  if (glGetError() != GL_NO_ERROR) {
    error = "OpenGL failed while uploading points";
    return false;
  }
  return true;
}

Matrix4 PointCloudRenderer::captureMvp(const CaptureData& capture, float maxDistance) {
  const nlohmann::json& metadata = capture.metadata;
  float halfAngle = 0.0f;
  float aspect = 0.0f;
  float nearPlane = 0.0f;
  float farPlane = 0.0f;
  float scaleX = 0.0f;
  float scaleY = 0.0f;
  if (capture.hasViewFov) {
    halfAngle = std::clamp(jsonFloat(metadata, "view_fov_half_deg", jsonFloat(metadata, "fov_half_deg", 20.0f)), 5.0f,
                           80.0f);
    aspect = 5.0f / 3.0f;
    nearPlane = 0.1f;
    farPlane = std::max(maxDistance + 10.0f, 0.11f);
    scaleX = -1.0f;
    scaleY = 1.0f;
  } else {
    const float fov = jsonFloat(metadata, "fov", 20.0f);
    halfAngle = std::fabs(fov - 20.0f) < 0.0001f ? 20.0f : fov / 2.0f;
    aspect = static_cast<float>(std::max<uint32_t>(capture.depthWidth, 1)) /
             static_cast<float>(std::max<uint32_t>(capture.depthHeight, 1));
    nearPlane = 0.01f;
    farPlane = std::max(maxDistance + 10.0f, 0.02f);
    scaleX = -jsonFloat(metadata, "scale_x", 0.7f);
    scaleY = jsonFloat(metadata, "scale_y", 1.0f);
  }
  const Matrix4 model = {1.0f, 0.0f, 0.0f, 0.0f,  //
                         0.0f, 1.0f, 0.0f, 0.0f,  //
                         0.0f, 0.0f, -1.0f, 5.2f,  //
                         0.0f, 0.0f, 0.0f, 1.0f};
  const Matrix4 scale = {scaleX, 0.0f, 0.0f, 0.0f,  //
                         0.0f, scaleY, 0.0f, 0.0f,  //
                         0.0f, 0.0f, 1.0f, 0.0f,    //
                         0.0f, 0.0f, 0.0f, 1.0f};
  return multiplyMatrix4(multiplyMatrix4(perspective(halfAngle, aspect, nearPlane, farPlane), viewMatrix(metadata)),
                         multiplyMatrix4(scale, model));
}

void PointCloudRenderer::rebuildSampledIndices(const CaptureData& capture, float ratio) {
  const uint32_t threshold = point_sampling::keepThreshold(ratio);
  // Only points that were uploaded may be referenced, whatever capture is passed now.
  const size_t candidates = std::min<size_t>(capture.points.size(), pointCount);
  std::vector<uint32_t> kept;
  kept.reserve(candidates);
  for (size_t i = 0; i < candidates; ++i) {
    if (keepsPhotoPoint(capture, threshold, i)) kept.push_back(static_cast<uint32_t>(i));
  }
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(kept.size() * sizeof(uint32_t)), kept.data(),
               GL_STATIC_DRAW);
  sampledCount = static_cast<int>(kept.size());
  sampledRatio = ratio;
}

void PointCloudRenderer::render(const CaptureData& capture, const std::vector<SliderPoint>& nodes, float maxDistance,
                                float pointSize, int width, int height, float samplingRatio) {
  if (program == 0 || width <= 0 || height <= 0 || pointCount == 0) return;
  const Matrix4 mvp = captureMvp(capture, maxDistance);
  const std::vector<SliderPoint> kept = photoMappingNodes(nodes);

  glEnable(GL_DEPTH_TEST);
  glEnable(GL_PROGRAM_POINT_SIZE);
  glUseProgram(program);
  glUniform1f(glGetUniformLocation(program, "requestedPointSize"), std::max(pointSize, 0.1f));
  glBindVertexArray(vertexArray);
  if (hasColors) {
    glEnableVertexAttribArray(1);
  } else {
    glDisableVertexAttribArray(1);
    glVertexAttrib3f(1, 1.0f, 1.0f, 1.0f);
  }

  glUniformMatrix4fv(glGetUniformLocation(program, "mvp"), 1, GL_TRUE, mvp.data());
  glUniform1f(glGetUniformLocation(program, "nearPlane"), 0.0f);
  glUniform1f(glGetUniformLocation(program, "farPlane"), maxDistance);
  glUniform1i(glGetUniformLocation(program, "sliderCount"), static_cast<GLint>(kept.size()));
  if (!kept.empty()) {
    std::vector<float> positions;
    std::vector<float> grays;
    for (const SliderPoint& node : kept) {
      positions.push_back(node.position);
      grays.push_back(node.gray);
    }
    glUniform1fv(glGetUniformLocation(program, "sliderPositions"), static_cast<GLsizei>(kept.size()), positions.data());
    glUniform1fv(glGetUniformLocation(program, "sliderValues"), static_cast<GLsizei>(kept.size()), grays.data());
  }
  glUniform1i(glGetUniformLocation(program, "useColor"), photoColorMode(capture) && hasColors ? 1 : 0);

  float ratio = samplingRatio;
  if (!std::isfinite(ratio)) ratio = 1.0f;
  ratio = std::clamp(ratio, 0.2f, 1.0f);
  if (ratio == 1.0f) {
    glDrawArrays(GL_POINTS, 0, static_cast<GLsizei>(pointCount));
  } else {
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer);
    if (ratio != sampledRatio) rebuildSampledIndices(capture, ratio);
    glDrawElements(GL_POINTS, sampledCount, GL_UNSIGNED_INT, nullptr);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  }
  glBindVertexArray(0);
  glUseProgram(0);
}

bool PointCloudRenderer::createFramebuffer(int width, int height, GLuint& framebuffer, GLuint& texture,
                                           GLuint& depthBuffer, std::string& error) {
  framebuffer = texture = depthBuffer = 0;
  GLint limit = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &limit);
  if (width <= 0 || height <= 0 || width > limit || height > limit) {
    error = "Requested image " + std::to_string(width) + "x" + std::to_string(height) + " exceeds OpenGL limit " +
            std::to_string(limit);
    return false;
  }
  glGenFramebuffersEXT(1, &framebuffer);
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, framebuffer);

  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  glBindTexture(GL_TEXTURE_2D, 0);
  glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, texture, 0);

  glGenRenderbuffersEXT(1, &depthBuffer);
  glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, depthBuffer);
  glRenderbufferStorageEXT(GL_RENDERBUFFER_EXT, GL_DEPTH_COMPONENT24, width, height);
  glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, 0);
  glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, GL_DEPTH_ATTACHMENT_EXT, GL_RENDERBUFFER_EXT, depthBuffer);

  if (glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT) != GL_FRAMEBUFFER_COMPLETE_EXT) {
    error = "OpenGL framebuffer is incomplete";
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glDeleteRenderbuffersEXT(1, &depthBuffer);
    glDeleteTextures(1, &texture);
    glDeleteFramebuffersEXT(1, &framebuffer);
    framebuffer = texture = depthBuffer = 0;
    return false;
  }
  return true;
}

bool PointCloudRenderer::renderOffscreen(const CaptureData& capture, const std::vector<SliderPoint>& nodes,
                                         float maxDistance, float pointSize, int width, int height,
                                         float samplingRatio, SavedTarget& saved, GLuint& framebuffer,
                                         GLuint& texture, GLuint& depthBuffer, std::string& error) {
  error.clear();
  glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &saved.framebuffer);
  glGetIntegerv(GL_VIEWPORT, saved.viewport);
  if (!createFramebuffer(width, height, framebuffer, texture, depthBuffer, error)) {
    restoreTarget(saved);
    return false;
  }
  glViewport(0, 0, width, height);
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  render(capture, nodes, maxDistance, pointSize, width, height, samplingRatio);
  return true;
}

void PointCloudRenderer::restoreTarget(const SavedTarget& saved) {
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(saved.framebuffer));
  glViewport(saved.viewport[0], saved.viewport[1], saved.viewport[2], saved.viewport[3]);
  glDisable(GL_DEPTH_TEST);
}

GLuint PointCloudRenderer::renderToTexture(const CaptureData& capture, const std::vector<SliderPoint>& nodes,
                                           float maxDistance, float pointSize, int width, int height,
                                           std::string& error, float samplingRatio) {
  SavedTarget saved;
  GLuint framebuffer = 0, texture = 0, depthBuffer = 0;
  if (!renderOffscreen(capture, nodes, maxDistance, pointSize, width, height, samplingRatio, saved, framebuffer,
                       texture, depthBuffer, error)) {
    return 0;
  }
  glFlush();
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
  glDeleteRenderbuffersEXT(1, &depthBuffer);
  glDeleteFramebuffersEXT(1, &framebuffer);
  restoreTarget(saved);
  return texture;
}

bool PointCloudRenderer::renderToPixels(const CaptureData& capture, const std::vector<SliderPoint>& nodes,
                                        float maxDistance, float pointSize, int width, int height,
                                        std::vector<uint8_t>& pixels, std::string& error, float samplingRatio) {
  SavedTarget saved;
  GLuint framebuffer = 0, texture = 0, depthBuffer = 0;
  if (!renderOffscreen(capture, nodes, maxDistance, pointSize, width, height, samplingRatio, saved, framebuffer,
                       texture, depthBuffer, error)) {
    return false;
  }
  glFinish();
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  pixels.assign(rowBytes * static_cast<size_t>(height), 0);
  clearGlErrors();
  // A bound pixel-pack buffer would turn the pointer into a buffer offset.
  glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
  GLint packAlignment = 4;
  glGetIntegerv(GL_PACK_ALIGNMENT, &packAlignment);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  glPixelStorei(GL_PACK_ALIGNMENT, packAlignment);
  for (size_t top = 0, bottom = static_cast<size_t>(height) - 1; top < bottom; ++top, --bottom) {
    std::swap_ranges(pixels.begin() + static_cast<std::ptrdiff_t>(top * rowBytes),
                     pixels.begin() + static_cast<std::ptrdiff_t>((top + 1) * rowBytes),
                     pixels.begin() + static_cast<std::ptrdiff_t>(bottom * rowBytes));
  }
  const bool readFailed = glGetError() != GL_NO_ERROR;
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
  glDeleteRenderbuffersEXT(1, &depthBuffer);
  glDeleteTextures(1, &texture);
  glDeleteFramebuffersEXT(1, &framebuffer);
  restoreTarget(saved);
  if (readFailed) {
    pixels.clear();
    error = "OpenGL failed while reading rendered pixels";
    return false;
  }
  return true;
}

bool writeImageRgba(const std::string& path, int width, int height, const std::vector<uint8_t>& rgba,
                    size_t bytesPerRow, std::string& error, bool asJpeg) {
  error.clear();
  const size_t rowPixelsBytes = width > 0 ? static_cast<size_t>(width) * 4 : 0;
  // The last row needs only its pixels, earlier rows their whole stride.
  const bool sizesValid = width > 0 && height > 0 && !rgba.empty() && bytesPerRow >= rowPixelsBytes &&
                          rgba.size() >= rowPixelsBytes &&
                          static_cast<size_t>(height - 1) <= (rgba.size() - rowPixelsBytes) / bytesPerRow;
  if (!sizesValid) {
    error = "Invalid RGBA image data";
    return false;
  }
  if (!validUtf8(path)) {
    error = "Cannot represent image output path";
    return false;
  }
  if (path.empty()) {
    error = "Cannot create image output URL";
    return false;
  }
  bool written = false;
  if (asJpeg) {
    // The JPEG writer takes tightly packed rows only.
    std::vector<uint8_t> packed(rowPixelsBytes * static_cast<size_t>(height));
    for (size_t row = 0; row < static_cast<size_t>(height); ++row) {
      std::copy_n(rgba.begin() + static_cast<std::ptrdiff_t>(row * bytesPerRow), rowPixelsBytes,
                  packed.begin() + static_cast<std::ptrdiff_t>(row * rowPixelsBytes));
    }
    written = stbi_write_jpg(path.c_str(), width, height, 4, packed.data(), 95) != 0;
  } else if (bytesPerRow <= static_cast<size_t>(std::numeric_limits<int>::max())) {
    written = stbi_write_png(path.c_str(), width, height, 4, rgba.data(), static_cast<int>(bytesPerRow)) != 0;
  }
  if (!written) {
    error = "Could not write image: " + path;
    return false;
  }
  return true;
}

bool writeJpegRgba(const std::string& path, int width, int height, const std::vector<uint8_t>& rgba,
                   size_t bytesPerRow, std::string& error) {
  return writeImageRgba(path, width, height, rgba, bytesPerRow, error, true);
}

}  // namespace pcp
