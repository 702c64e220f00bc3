#pragma once
// One decoded video frame and one set of render parameters into pixels: the GPU point list, the
// virtual camera, the draw pass, the offscreen render, the image shrinker, texture upload and PNG
// output. buildGpuPoints, videoExportMvp and pcv0930::shrinkImage are pure and safe on any thread;
// everything else needs the thread's current OpenGL context and leaves the caller's framebuffer
// binding and viewport as it found them.
#include <epoxy/gl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame_data.h"

// Everything that renders one video frame, in this order (22 floats).
struct RenderParams {
  float max_dist = 10.0f;  // metres: far end of the gray mapping and the point cut-off
  float point_size = 2.1f;
  float render_point_size = 6.8f;  // exporters copy it into point_size
  float sampling_ratio = 1.0f;
  float fov = 20.0f;  // vertical half-angle in degrees
  float scale_x = 0.7f;  // carried from the capture metadata, unused here
  float scale_y = 1.0f;
  std::array<float, 3> camera_pos{0.0f, 0.0f, 5.0f};
  std::array<float, 3> camera_target{0.0f, 0.0f, 0.0f};
  std::array<float, 3> camera_up{0.0f, 1.0f, 0.0f};
  float slider_pos_0 = 0.0f;
  float slider_gray_0 = 0.0f;
  float slider_pos_1 = 0.5f;
  float slider_gray_1 = 1.0f;
  float slider_pos_2 = 1.0f;
  float slider_gray_2 = 0.0f;
};
static_assert(sizeof(RenderParams) == 22 * sizeof(float), "RenderParams is 22 packed floats");

// One vertex: position in capture-camera metres (x right, y down, z forward) and its depth (= z).
struct GpuPoint {
  float x;
  float y;
  float z;
  float depth;
};
static_assert(sizeof(GpuPoint) == 16, "points are uploaded as one packed vertex buffer");

// 8-bit RGB, rows top to bottom, no padding.
struct ImageRGB {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;

  bool empty() const { return width <= 0 || height <= 0 || pixels.empty(); }
  // Not empty, and the pixel vector holds exactly width x height x 3 bytes.
  bool complete() const;
};

// 4 x 4, row-major.
using Matrix4 = std::array<float, 16>;

// The frame's valid depth pixels up to maxDistance metres, thinned by the sampling rule, in
// row-major order. Empty for unusable intrinsics or an empty depth image.
std::vector<GpuPoint> buildGpuPoints(const FrameData& frame, float maxDistance, float samplingRatio);

// Model-view-projection of the virtual camera for a width x height target. With both flips off
// the image shows capture column 0 on the left and capture row 0 at the top.
Matrix4 videoExportMvp(const RenderParams& params, int width, int height, bool flipX, bool flipY);

// The video draw pass into the bound target, whose viewport is set and which was cleared:
// `pointBuffer` holds `pointCount` GpuPoints. Draws nothing while global_pc_program is 0.
// Programmable point size stays enabled afterwards.
void drawVideoPoints(GLuint pointBuffer, size_t pointCount, const RenderParams& params, const Matrix4& mvp,
                     float pointSize);

// The frame rendered offscreen at width x height with params.point_size. Empty for a non-positive
// size or a frame without depth image; all black, without touching GL, when no point survives.
// Empty with `error` set when the target cannot be made (e.g. larger than GL allows), the pixels
// cannot be read or no video point program is available.
ImageRGB renderGpuFrameToImage(const FrameData& frame, const RenderParams& params, int width, int height, bool flipX,
                               bool flipY, std::string* error = nullptr);

namespace pcv0930 {

// Exact area-weighted box filter to width x height; black when the source is not complete.
// brighten raises every channel value to the power 0.8.
ImageRGB shrinkImage(const ImageRGB& source, int width, int height, bool brighten);

}  // namespace pcv0930

// Creates (texture 0) or refreshes a linear, edge-clamped RGB texture from `image`; the caller
// owns texture and its stored size. Does nothing for an image that is not complete.
void uploadTexture(GLuint& texture, int& textureWidth, int& textureHeight, const ImageRGB& image);

// PNG file of `image`; false when the image is not complete or the file cannot be fully written.
bool savePng(const std::string& path, const ImageRGB& image);
