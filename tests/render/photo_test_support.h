#pragma once
// Shared by the photo renderer and SVG tests: temp folders, tiny PCP photos written to disk and
// loaded back, and an EGL context for GL tests (no X server needed).
#include "common_test_support.h"
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "offscreen_gl.h"
#include "pcp_capture.h"
#include "pcp_writer.h"
#include "photo_renderer.h"

namespace photo_test {
using TempDir = testsupport::TempFolder;

struct PhotoFixture {
  uint32_t width = 1;
  uint32_t height = 1;
  std::vector<uint16_t> depth;  // millimetres, row-major
  nlohmann::json meta = nlohmann::json::object();
  std::vector<uint8_t> rgb;  // width x height RGB picture, stored as PNG; empty = no picture
  bool legacy = false;       // a ".bin" + ".json" pair instead of a PCP file
};

// The newer camera model (the default eye looks along the capture axis).
inline nlohmann::json newerModel(nlohmann::json meta = nlohmann::json::object()) {
  if (!meta.contains("fov_half_deg") && !meta.contains("view_fov_half_deg")) meta["fov_half_deg"] = 20.0;
  return meta;
}

// One point straight ahead of the default camera at `depthMm`.
inline PhotoFixture axisPoint(uint16_t depthMm, nlohmann::json meta = newerModel()) {
  PhotoFixture fixture;
  fixture.depth = {depthMm};
  meta["cx"] = 0.0;
  meta["cy"] = 0.0;
  fixture.meta = std::move(meta);
  return fixture;
}

inline pcp::CaptureData writeAndLoad(const TempDir& dir, PhotoFixture fixture) {
  fixture.meta["depth_width"] = fixture.width;
  fixture.meta["depth_height"] = fixture.height;
  pcp::CaptureData capture;
  bool loaded = false;
  if (fixture.legacy) {
    const std::string bin = dir.file("capture.bin");
    const std::string json = dir.file("capture.json");
    EXPECT_TRUE(pcpwrite::writeLegacy(bin, json, fixture.meta.dump(), fixture.depth));
    loaded = pcp::loadLegacy(bin, json, capture);
  } else {
    pcpwrite::Photo photo;
    photo.metaJson = fixture.meta.dump();
    photo.depth = fixture.depth;
    if (!fixture.rgb.empty()) photo.picture = pcpwrite::encodePng(fixture.rgb, fixture.width, fixture.height);
    const std::string path = dir.file("photo.pcp");
    EXPECT_TRUE(pcpwrite::writePcp(path, photo));
    loaded = pcp::loadPcp(path, "", capture);
  }
  EXPECT_TRUE(loaded) << capture.error;
  return capture;
}

// Window position (x right, y down from the top row, in pixels) of a capture point.
struct ScreenPoint {
  double x = 0.0;
  double y = 0.0;
};

inline ScreenPoint project(const pcp::CaptureData& capture, float maxDistance, const pcp::Vec3& p, int width,
                           int height) {
  const pcp::Matrix4 m = pcp::PointCloudRenderer::captureMvp(capture, maxDistance);
  const double cx = m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3];
  const double cy = m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7];
  const double cw = m[12] * p.x + m[13] * p.y + m[14] * p.z + m[15];
  return {(cx / cw + 1.0) * width * 0.5, (1.0 - cy / cw) * height * 0.5};
}

struct Rgba {
  int r, g, b, a;
};

inline Rgba pixelAt(const std::vector<uint8_t>& rgba, int width, int x, int y) {
  const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 4;
  return {rgba[at], rgba[at + 1], rgba[at + 2], rgba[at + 3]};
}

// Mean position of the pixels brighter than black; false when there are none.
inline bool litCentroid(const std::vector<uint8_t>& rgba, int width, int height, ScreenPoint& centre) {
  double sumX = 0.0, sumY = 0.0;
  int lit = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgba p = pixelAt(rgba, width, x, y);
      if (p.r + p.g + p.b == 0) continue;
      sumX += x + 0.5;
      sumY += y + 0.5;
      ++lit;
    }
  }
  if (lit == 0) return false;
  centre = {sumX / lit, sumY / lit};
  return true;
}

// An EGL surfaceless context per test, made with DISPLAY unset. It is a member of the base so that
// GL objects owned by a derived fixture are released while it is still current.
class GlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    // Mesa's shader-cache thread is torn down by an exit handler while LeakSanitizer inspects the
    // threads, which crashes the sanitizer now and then; the cache would also write to $HOME.
    setenv("MESA_SHADER_CACHE_DISABLE", "true", 1);
    std::string error;
    context_ = platform::OffscreenGlContext::create(error);
    ASSERT_NE(context_, nullptr) << error;
    ASSERT_EQ(context_->kind(), platform::OffscreenGlContext::Kind::EglSurfaceless);
  }

 private:
  std::unique_ptr<platform::OffscreenGlContext> context_;
};

}  // namespace photo_test
