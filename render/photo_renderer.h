#pragma once
// Offscreen rendering of one loaded photo with the photo point program, and the PNG/JPEG writer of
// rendered RGBA pixels. Every call needs the thread's current OpenGL context.
#include <epoxy/gl.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "photo_program.h"

namespace pcp {

// 4 x 4, row-major.
using Matrix4 = std::array<float, 16>;

class PointCloudRenderer {
 public:
  PointCloudRenderer() = default;
  ~PointCloudRenderer();
  PointCloudRenderer(const PointCloudRenderer&) = delete;
  PointCloudRenderer& operator=(const PointCloudRenderer&) = delete;

  // `sources` exists so that a broken program can be exercised; callers use the default.
  bool initialize(std::string& error, const ShaderSources& sources = photoPointSources());
  void destroy();

  bool upload(const CaptureData& capture, std::string& error);
  // Draws into the bound framebuffer; the caller sets the viewport and clears.
  void render(const CaptureData& capture, const std::vector<SliderPoint>& nodes, float maxDistance, float pointSize,
              int width, int height, float samplingRatio = 1.0f);
  bool createFramebuffer(int width, int height, GLuint& framebuffer, GLuint& texture, GLuint& depthBuffer,
                         std::string& error);
  // The caller owns the returned texture; 0 on failure.
  GLuint renderToTexture(const CaptureData& capture, const std::vector<SliderPoint>& nodes, float maxDistance,
                         float pointSize, int width, int height, std::string& error, float samplingRatio = 1.0f);
  // RGBA, rows top to bottom.
  bool renderToPixels(const CaptureData& capture, const std::vector<SliderPoint>& nodes, float maxDistance,
                      float pointSize, int width, int height, std::vector<uint8_t>& pixels, std::string& error,
                      float samplingRatio = 1.0f);

  static Matrix4 captureMvp(const CaptureData& capture, float maxDistance);

  GLuint program = 0;
  GLuint vertexArray = 0;
  GLuint positionBuffer = 0;
  GLuint colorBuffer = 0;
  GLuint indexBuffer = 0;
  int sampledCount = 0;
  float sampledRatio = -1.0f;
  uint64_t pointCount = 0;
  bool hasColors = false;

 private:
  struct SavedTarget {
    GLint framebuffer = 0;
    GLint viewport[4] = {0, 0, 0, 0};
  };
  // Saves the current target, then creates, binds and clears a new one and renders into it.
  bool renderOffscreen(const CaptureData& capture, const std::vector<SliderPoint>& nodes, float maxDistance,
                       float pointSize, int width, int height, float samplingRatio, SavedTarget& saved,
                       GLuint& framebuffer, GLuint& texture, GLuint& depthBuffer, std::string& error);
  static void restoreTarget(const SavedTarget& saved);
  void rebuildSampledIndices(const CaptureData& capture, float ratio);
};

// PNG (asJpeg false) or JPEG at quality 95 of `height` rows `bytesPerRow` apart, each starting
// with `width` RGBA pixels.
bool writeImageRgba(const std::string& path, int width, int height, const std::vector<uint8_t>& rgba,
                    size_t bytesPerRow, std::string& error, bool asJpeg);
bool writeJpegRgba(const std::string& path, int width, int height, const std::vector<uint8_t>& rgba,
                   size_t bytesPerRow, std::string& error);

}  // namespace pcp
