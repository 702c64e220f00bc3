#include "photo_renderer.h"

#include <gtest/gtest.h>
#include <stb_image.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "gl_framebuffer.h"
#include "photo_test_support.h"
#include "spatial_ranks.h"

namespace {

using pcp::PointCloudRenderer;
using pcp::SliderPoint;
using photo_test::axisPoint;
using photo_test::GlTest;
using photo_test::newerModel;
using photo_test::PhotoFixture;
using photo_test::pixelAt;
using photo_test::Rgba;
using photo_test::TempDir;
using photo_test::writeAndLoad;

constexpr double kDegrees = 3.14159265358979323846 / 180.0;
constexpr int kNotDrawn = -1;

class PhotoRendererTest : public GlTest {
 protected:
  void SetUp() override {
    GlTest::SetUp();
    std::string error;
    ASSERT_TRUE(renderer.initialize(error)) << error;
  }

  // Renders with render() into a target cleared to red, so that "not drawn" and "drawn black" differ.
  std::vector<uint8_t> renderOverRed(const pcp::CaptureData& capture, const std::vector<SliderPoint>& nodes,
                                     float maxDistance, float pointSize, int width, int height,
                                     float ratio = 1.0f) {
    std::string error;
    auto target = platform::GlFramebuffer::create(width, height, error);
    EXPECT_NE(target, nullptr) << error;
    if (!target) return {};
    target->bind();
    glClearColor(1.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    renderer.render(capture, nodes, maxDistance, pointSize, width, height, ratio);
    glDisable(GL_DEPTH_TEST);
    std::vector<uint8_t> pixels;
    EXPECT_TRUE(target->readRgba(pixels));
    platform::GlFramebuffer::unbind();
    return pixels;
  }

  std::vector<uint8_t> renderPixels(const pcp::CaptureData& capture, const std::vector<SliderPoint>& nodes,
                                    float maxDistance, float pointSize, int width, int height, float ratio = 1.0f) {
    std::vector<uint8_t> pixels;
    std::string error;
    EXPECT_TRUE(renderer.renderToPixels(capture, nodes, maxDistance, pointSize, width, height, pixels, error, ratio))
        << error;
    return pixels;
  }

  TempDir dir;
  PointCloudRenderer renderer;
};

// 40 nodes in descending order: white on [0, 0.31] from the 32 smallest, and a white band at
// [0.5, 0.9] that only the 8 largest could add.
std::vector<SliderPoint> fortyNodes() {
  std::vector<SliderPoint> nodes;
  for (int i = 7; i >= 0; --i) nodes.push_back({0.5f + 0.05f * static_cast<float>(i), 1.0f, 100 + i});
  for (int i = 31; i >= 0; --i) nodes.push_back({0.01f * static_cast<float>(i), 1.0f, i});
  return nodes;
}

struct MappingCase {
  const char* name;
  std::vector<SliderPoint> nodes;
  uint16_t depthMm;
  float maxDistance;
  int expectedGray;  // kNotDrawn: the background stays
};

TEST_F(PhotoRendererTest, MapsDepthToGrayThroughTheSortedNodes) {
  const std::vector<MappingCase> cases = {
      {"no nodes: ramp at a quarter", {}, 2500, 10.0f, 64},
      {"no nodes: ramp at three quarters", {}, 7500, 10.0f, 191},
      {"one node: black", {{0.5f, 1.0f, 1}}, 5000, 10.0f, 0},
      {"band: below", {{0.2f, 1.0f, 1}, {0.8f, 1.0f, 2}}, 1000, 10.0f, 0},
      {"band: inside", {{0.2f, 1.0f, 1}, {0.8f, 1.0f, 2}}, 5000, 10.0f, 255},
      {"band: above", {{0.2f, 1.0f, 1}, {0.8f, 1.0f, 2}}, 9000, 10.0f, 0},
      {"band given in reverse order is sorted", {{0.8f, 1.0f, 2}, {0.2f, 1.0f, 1}}, 5000, 10.0f, 255},
      {"falling pair interpolates", {{0.0f, 1.0f, 1}, {1.0f, 0.0f, 2}}, 2500, 10.0f, 191},
      {"at the far plane: drawn", {}, 10000, 10.0f, 255},
      {"beyond the far plane: not drawn", {}, 10500, 10.0f, kNotDrawn},
      {"forty nodes: inside the 32 smallest", fortyNodes(), 1000, 10.0f, 255},
      {"forty nodes: the 8 largest take no part", fortyNodes(), 7000, 10.0f, 0},
  };
  for (const MappingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const pcp::CaptureData capture = writeAndLoad(dir, axisPoint(c.depthMm));
    std::string error;
    ASSERT_TRUE(renderer.upload(capture, error)) << error;
    const std::vector<uint8_t> pixels = renderOverRed(capture, c.nodes, c.maxDistance, 5.0f, 32, 32);
    ASSERT_FALSE(pixels.empty());
    const Rgba centre = pixelAt(pixels, 32, 16, 16);
    if (c.expectedGray == kNotDrawn) {
      EXPECT_EQ(centre.r, 255);
      EXPECT_EQ(centre.g, 0);
    } else {
      EXPECT_NEAR(centre.r, c.expectedGray, 1);
      EXPECT_NEAR(centre.g, c.expectedGray, 1);
      EXPECT_NEAR(centre.b, c.expectedGray, 1);
    }
  }
}

struct ColorCase {
  const char* name;
  bool colorMode;
  bool withPicture;
  uint16_t depthMm;  // of 10 m
  Rgba expected;
};

TEST_F(PhotoRendererTest, TintsByThePictureOnlyWhenColorModeHasColors) {
  const std::vector<ColorCase> cases = {
      {"colour, full gray", true, true, 10000, {200, 100, 50, 255}},
      {"colour darkened by the curve", true, true, 5000, {100, 50, 25, 255}},
      {"colour mode without a picture renders gray", true, false, 5000, {128, 128, 128, 255}},
      {"picture without colour mode renders gray", false, true, 5000, {128, 128, 128, 255}},
  };
  for (const ColorCase& c : cases) {
    SCOPED_TRACE(c.name);
    PhotoFixture fixture = axisPoint(c.depthMm, newerModel({{"color_mode", c.colorMode}}));
    if (c.withPicture) fixture.rgb = {200, 100, 50};
    const pcp::CaptureData capture = writeAndLoad(dir, fixture);
    std::string error;
    ASSERT_TRUE(renderer.upload(capture, error)) << error;
    EXPECT_EQ(renderer.hasColors, c.withPicture);
    const std::vector<uint8_t> pixels = renderPixels(capture, {}, 10.0f, 5.0f, 32, 32);
    const Rgba centre = pixelAt(pixels, 32, 16, 16);
    EXPECT_NEAR(centre.r, c.expected.r, 1);
    EXPECT_NEAR(centre.g, c.expected.g, 1);
    EXPECT_NEAR(centre.b, c.expected.b, 1);
    EXPECT_EQ(centre.a, 255);
  }
}

// Both camera models turn the picture half a turn: the top-left depth pixel lands bottom right.
TEST_F(PhotoRendererTest, TopLeftDepthPixelAppearsBottomRightInBothCameraModels) {
  for (const bool newer : {true, false}) {
    SCOPED_TRACE(newer ? "newer camera model" : "older camera model");
    PhotoFixture fixture;
    fixture.width = 3;
    fixture.height = 3;
    fixture.depth.assign(9, 0);
    fixture.depth[0] = 2200;
    fixture.meta = {{"fx", 10.0}, {"fy", 10.0}, {"cx", 1.0}, {"cy", 1.0}};
    if (newer) fixture.meta = newerModel(fixture.meta);
    const pcp::CaptureData capture = writeAndLoad(dir, fixture);
    ASSERT_EQ(capture.hasViewFov, newer);
    std::string error;
    ASSERT_TRUE(renderer.upload(capture, error)) << error;
    constexpr int kSize = 64;
    const std::vector<uint8_t> pixels = renderPixels(capture, {}, 5.0f, 3.0f, kSize, kSize);
    photo_test::ScreenPoint lit;
    ASSERT_TRUE(photo_test::litCentroid(pixels, kSize, kSize, lit));
    EXPECT_GT(lit.x, kSize / 2 + 2);
    EXPECT_GT(lit.y, kSize / 2 + 2);
    const photo_test::ScreenPoint expected = photo_test::project(capture, 5.0f, capture.points[0], kSize, kSize);
    EXPECT_NEAR(lit.x, expected.x, 1.0);
    EXPECT_NEAR(lit.y, expected.y, 1.0);
  }
}

struct FovCase {
  const char* name;
  nlohmann::json meta;
  bool legacy;
  double expectedHalfAngle;
};

// A point placed to land halfway between the centre and the top edge at the expected half-angle.
TEST_F(PhotoRendererTest, ChoosesTheHalfAngleOfEachCameraModel) {
  const std::vector<FovCase> cases = {
      {"legacy fov 20 is a half-angle", {{"fov", 20.0}}, true, 20.0},
      {"legacy fov 40 is a full angle", {{"fov", 40.0}}, true, 20.0},
      {"fov 20.00001 is within the tolerance of 20", {{"fov", 20.00001}}, false, 20.0},
      {"fov 20.001 is a full angle", {{"fov", 20.001}}, false, 10.0005},
      {"older model default", nlohmann::json::object(), false, 20.0},
      {"view fov 2 clamps to 5", {{"view_fov_half_deg", 2.0}}, false, 5.0},
      {"view fov 90 clamps to 80", {{"view_fov_half_deg", 90.0}}, false, 80.0},
      {"fov_half_deg alone", {{"fov_half_deg", 30.0}}, false, 30.0},
      {"view fov wins over fov_half_deg", {{"view_fov_half_deg", 25.0}, {"fov_half_deg", 30.0}}, false, 25.0},
  };
  constexpr int kSize = 64;
  for (const FovCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Depth 2.2 m sits 2 m in front of the default eye; Y = 2 x 0.5 x tan(angle).
    const double depth = 2.2;
    const double wantedY = 2.0 * 0.5 * std::tan(c.expectedHalfAngle * kDegrees);
    PhotoFixture fixture;
    fixture.depth = {2200};
    fixture.legacy = c.legacy;
    fixture.meta = c.meta;
    fixture.meta["fx"] = 1.0;
    fixture.meta["fy"] = 1.0;
    fixture.meta["cx"] = 0.0;
    fixture.meta["cy"] = -wantedY / depth;
    const pcp::CaptureData capture = writeAndLoad(dir, fixture);
    std::string error;
    ASSERT_TRUE(renderer.upload(capture, error)) << error;
    const std::vector<uint8_t> pixels = renderPixels(capture, {}, 5.0f, 3.0f, kSize, kSize);
    photo_test::ScreenPoint lit;
    ASSERT_TRUE(photo_test::litCentroid(pixels, kSize, kSize, lit));
    EXPECT_NEAR(lit.x, kSize / 2.0, 1.0);
    EXPECT_NEAR(lit.y, kSize / 4.0, 1.0);
  }
}

TEST_F(PhotoRendererTest, DegenerateCameraAxesFallBack) {
  const std::vector<std::pair<const char*, nlohmann::json>> cases = {
      {"position equal to target", {{"camera_pos", {1, 1, 1}}, {"camera_target", {1, 1, 1}}}},
      {"up along the view direction", {{"camera_up", {0, 0, 1}}}},
  };
  for (const auto& [name, camera] : cases) {
    SCOPED_TRACE(name);
    nlohmann::json meta = newerModel(camera);
    const pcp::CaptureData capture = writeAndLoad(dir, axisPoint(7000, meta));
    for (const float value : PointCloudRenderer::captureMvp(capture, 10.0f)) EXPECT_TRUE(std::isfinite(value));
    std::string error;
    ASSERT_TRUE(renderer.upload(capture, error)) << error;
    const std::vector<uint8_t> pixels = renderPixels(capture, {}, 10.0f, 3.0f, 64, 64);
    photo_test::ScreenPoint lit;
    ASSERT_TRUE(photo_test::litCentroid(pixels, 64, 64, lit));
    const photo_test::ScreenPoint expected = photo_test::project(capture, 10.0f, capture.points[0], 64, 64);
    EXPECT_NEAR(lit.x, expected.x, 1.0);
    EXPECT_NEAR(lit.y, expected.y, 1.0);
  }
  // With eye = target = (0, 0, 0) the forward axis is (0, 0, 1): a point 7 m deep is dead ahead.
  const pcp::CaptureData atOrigin =
      writeAndLoad(dir, axisPoint(7000, newerModel({{"camera_pos", {0, 0, 0}}, {"camera_target", {0, 0, 0}}})));
  const photo_test::ScreenPoint ahead = photo_test::project(atOrigin, 10.0f, atOrigin.points[0], 64, 64);
  EXPECT_NEAR(ahead.x, 32.0, 1e-3);
  EXPECT_NEAR(ahead.y, 32.0, 1e-3);
}

PhotoFixture fullTile() {
  PhotoFixture fixture;
  fixture.width = 256;
  fixture.height = 256;
  fixture.depth.assign(256 * 256, 3000);
  fixture.meta = newerModel();
  return fixture;
}

TEST_F(PhotoRendererTest, SamplingKeepsTheTableFractionOfATile) {
  const pcp::CaptureData capture = writeAndLoad(dir, fullTile());
  std::string error;
  ASSERT_TRUE(renderer.upload(capture, error)) << error;
  const std::vector<std::pair<float, int>> indexedCases = {{0.5f, 32768}, {0.2f, 13107}, {0.05f, 13107}, {0.75f, 49152}};
  for (const auto& [ratio, kept] : indexedCases) {
    SCOPED_TRACE(ratio);
    renderPixels(capture, {}, 10.0f, 1.0f, 8, 8, ratio);
    EXPECT_EQ(renderer.sampledCount, kept);
  }
  for (const float keepAll : {1.0f, 3.0f, std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity()}) {
    SCOPED_TRACE(keepAll);
    ASSERT_TRUE(renderer.upload(capture, error)) << error;
    renderPixels(capture, {}, 10.0f, 1.0f, 8, 8, keepAll);
    EXPECT_EQ(renderer.sampledRatio, -1.0f) << "no index list for a full draw";
  }
}

TEST_F(PhotoRendererTest, SampledIndicesAreCachedPerRatioUntilTheNextUpload) {
  pcp::CaptureData capture = writeAndLoad(dir, fullTile());
  std::string error;
  ASSERT_TRUE(renderer.upload(capture, error)) << error;
  renderPixels(capture, {}, 10.0f, 1.0f, 8, 8, 0.5f);
  ASSERT_EQ(renderer.sampledCount, 32768);
  EXPECT_EQ(renderer.sampledRatio, 0.5f);
  // Every point now claims pixel (0, 0), whose rank 54959 is above the 0.5 threshold: a rebuilt
  // list would be empty.
  std::fill(capture.pixelIndices.begin(), capture.pixelIndices.end(), 0);
  renderPixels(capture, {}, 10.0f, 1.0f, 8, 8, 0.5f);
  EXPECT_EQ(renderer.sampledCount, 32768) << "same ratio: the list is not rebuilt";
  ASSERT_TRUE(renderer.upload(capture, error)) << error;
  EXPECT_EQ(renderer.sampledRatio, -1.0f);
  renderPixels(capture, {}, 10.0f, 1.0f, 8, 8, 0.5f);
  EXPECT_EQ(renderer.sampledCount, 0) << "after an upload the list is rebuilt";
}

// A 16 x 4 grid of points spread over separate pixels: at ratio 0.5 exactly those whose depth
// pixel ranks below 32768 are drawn.
TEST_F(PhotoRendererTest, SampledRenderDrawsExactlyTheKeptPixels) {
  PhotoFixture fixture;
  fixture.width = 16;
  fixture.height = 4;
  fixture.depth.assign(64, 2200);
  fixture.meta = newerModel({{"fx", 30.0}, {"fy", 30.0}, {"cx", 7.5}, {"cy", 1.5}});
  const pcp::CaptureData capture = writeAndLoad(dir, fixture);
  std::string error;
  ASSERT_TRUE(renderer.upload(capture, error)) << error;
  constexpr int kWidth = 160;
  constexpr int kHeight = 96;
  const std::vector<uint8_t> pixels = renderPixels(capture, {}, 5.0f, 2.0f, kWidth, kHeight, 0.5f);
  int keptCount = 0;
  for (size_t i = 0; i < capture.points.size(); ++i) {
    const uint64_t k = capture.pixelIndices[i];
    const bool kept = point_sampling::spatialRanks[k / 16][k % 16] < 32768;
    keptCount += kept ? 1 : 0;
    const photo_test::ScreenPoint at = photo_test::project(capture, 5.0f, capture.points[i], kWidth, kHeight);
    const Rgba p = pixelAt(pixels, kWidth, static_cast<int>(at.x), static_cast<int>(at.y));
    EXPECT_EQ(p.r > 0, kept) << "depth pixel " << k;
  }
  EXPECT_GT(keptCount, 0);
  EXPECT_LT(keptCount, 64);
}

TEST_F(PhotoRendererTest, RenderToTextureKeepsTheTextureAndRestoresTheCallersTarget) {
  const pcp::CaptureData capture = writeAndLoad(dir, axisPoint(10000));
  std::string error;
  ASSERT_TRUE(renderer.upload(capture, error)) << error;
  auto callers = platform::GlFramebuffer::create(8, 8, error);
  ASSERT_NE(callers, nullptr) << error;
  callers->bind();
  glViewport(1, 2, 3, 4);
  const GLuint texture = renderer.renderToTexture(capture, {}, 10.0f, 5.0f, 32, 32, error);
  ASSERT_NE(texture, 0u) << error;

  GLint binding = 0;
  GLint viewport[4] = {};
  glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &binding);
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_NE(binding, 0);
  EXPECT_EQ(viewport[0], 1);
  EXPECT_EQ(viewport[3], 4);
  EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));

  GLuint reader = 0;
  glGenFramebuffersEXT(1, &reader);
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, reader);
  glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, texture, 0);
  uint8_t centre[4] = {};
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(16, 16, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, centre);
  EXPECT_EQ(centre[0], 255);
  EXPECT_EQ(centre[3], 255);
  glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
  glDeleteFramebuffersEXT(1, &reader);
  glDeleteTextures(1, &texture);
  platform::GlFramebuffer::unbind();
}

TEST_F(PhotoRendererTest, RejectsCapturesWithoutPointsAndReportsWhy) {
  PhotoFixture zeroFocal = axisPoint(2000, newerModel({{"fx", 0.0}}));
  PhotoFixture emptyDepth;
  emptyDepth.width = 2;
  emptyDepth.height = 2;
  emptyDepth.depth.assign(4, 0);
  const std::vector<std::pair<PhotoFixture, std::string>> cases = {
      {zeroFocal, "Camera intrinsics fx/fy cannot be zero"},
      {emptyDepth, "Capture contains no valid depth points"},
  };
  for (const auto& [fixture, message] : cases) {
    SCOPED_TRACE(message);
    const pcp::CaptureData capture = writeAndLoad(dir, fixture);
    std::string error;
    EXPECT_FALSE(renderer.upload(capture, error));
    EXPECT_EQ(error, message);
  }
  std::string error;
  EXPECT_FALSE(renderer.upload(pcp::CaptureData{}, error));
  EXPECT_EQ(error, "Capture contains no valid depth points");
}

TEST_F(PhotoRendererTest, NegativeFocalLengthMirrorsInsteadOfFailing) {
  PhotoFixture fixture;
  fixture.width = 3;
  fixture.height = 1;
  fixture.depth = {2200, 0, 0};
  fixture.meta = newerModel({{"fx", -10.0}, {"fy", 10.0}, {"cx", 1.0}, {"cy", 0.0}});
  const pcp::CaptureData capture = writeAndLoad(dir, fixture);
  std::string error;
  ASSERT_TRUE(renderer.upload(capture, error)) << error;
  const std::vector<uint8_t> pixels = renderPixels(capture, {}, 5.0f, 3.0f, 64, 64);
  photo_test::ScreenPoint lit;
  ASSERT_TRUE(photo_test::litCentroid(pixels, 64, 64, lit));
  EXPECT_LT(lit.x, 30.0) << "column 0 with a negative fx lies on the left";
}

TEST_F(PhotoRendererTest, OutputSizesBeyondTheTextureLimitAreRefused) {
  const pcp::CaptureData capture = writeAndLoad(dir, axisPoint(2000));
  std::string error;
  ASSERT_TRUE(renderer.upload(capture, error)) << error;
  GLint limit = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &limit);
  const std::string limitText = std::to_string(limit);
  const std::vector<std::pair<int, int>> sizes = {{20000, 100}, {100, limit + 1}, {0, 10}, {10, -3}};
  for (const auto& [width, height] : sizes) {
    const std::string expected = "Requested image " + std::to_string(width) + "x" + std::to_string(height) +
                                 " exceeds OpenGL limit " + limitText;
    SCOPED_TRACE(expected);
    std::vector<uint8_t> pixels;
    EXPECT_FALSE(renderer.renderToPixels(capture, {}, 5.0f, 1.0f, width, height, pixels, error));
    EXPECT_EQ(error, expected);
    EXPECT_EQ(renderer.renderToTexture(capture, {}, 5.0f, 1.0f, width, height, error), 0u);
    EXPECT_EQ(error, expected);
  }
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(PhotoRendererTest, FailedProgramBuildsLeaveAnUninitialisedRenderer) {
  const pcp::ShaderSources& good = pcp::photoPointSources();
  const std::vector<std::tuple<const char*, pcp::ShaderSources, std::string>> cases = {
      {"fragment does not compile", {good.vertex, "#version 120\nvoid main() { gl_FragColor = nope; }\n"},
       "OpenGL shader compilation failed: "},
      {"vertex does not compile", {"#version 120\nvoid main() { gl_Position = 1; }\n", good.fragment},
       "OpenGL shader compilation failed: "},
      {"no vertex main: link fails", {"#version 120\nattribute vec3 aPosition;\n", good.fragment},
       "OpenGL program link failed: "},
  };
  const pcp::CaptureData capture = writeAndLoad(dir, axisPoint(2000));
  for (const auto& [name, sources, prefix] : cases) {
    SCOPED_TRACE(name);
    PointCloudRenderer broken;
    std::string error;
    EXPECT_FALSE(broken.initialize(error, sources));
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_GT(error.size(), prefix.size()) << "the log follows the prefix";
    EXPECT_EQ(broken.program, 0u);
    EXPECT_EQ(broken.vertexArray, 0u);
    EXPECT_FALSE(broken.upload(capture, error));
    EXPECT_EQ(error, "Renderer is not initialized");
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(broken.renderToPixels(capture, {}, 5.0f, 5.0f, 16, 16, pixels, error)) << error;
    EXPECT_EQ(pixelAt(pixels, 16, 8, 8).r, 0) << "nothing is drawn";
  }
}

TEST_F(PhotoRendererTest, DestroyResetsEveryField) {
  const pcp::CaptureData capture = writeAndLoad(dir, fullTile());
  std::string error;
  ASSERT_TRUE(renderer.upload(capture, error)) << error;
  renderPixels(capture, {}, 10.0f, 1.0f, 8, 8, 0.5f);
  renderer.destroy();
  EXPECT_EQ(renderer.program, 0u);
  EXPECT_EQ(renderer.indexBuffer, 0u);
  EXPECT_EQ(renderer.sampledCount, 0);
  EXPECT_EQ(renderer.sampledRatio, -1.0f);
  EXPECT_EQ(renderer.pointCount, 0u);
  EXPECT_FALSE(renderer.hasColors);
}

// --- image files ---------------------------------------------------------------------------------

std::vector<uint8_t> paddedImage(int width, int height, size_t bytesPerRow) {
  std::vector<uint8_t> rgba(bytesPerRow * static_cast<size_t>(height), 0xEE);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &rgba[static_cast<size_t>(y) * bytesPerRow + static_cast<size_t>(x) * 4];
      p[0] = static_cast<uint8_t>(x * 40);
      p[1] = static_cast<uint8_t>(y * 60);
      p[2] = 90;
      p[3] = 255;
    }
  }
  return rgba;
}

TEST(ImageWriterTest, WritesPngAndJpegRowsWithAStride) {
  TempDir dir;
  constexpr int kWidth = 5;
  constexpr int kHeight = 3;
  constexpr size_t kStride = kWidth * 4 + 7;
  const std::vector<uint8_t> rgba = paddedImage(kWidth, kHeight, kStride);
  std::string error;

  const std::string png = dir.file("still.png");
  ASSERT_TRUE(pcp::writeImageRgba(png, kWidth, kHeight, rgba, kStride, error, false)) << error;
  int w = 0, h = 0, channels = 0;
  unsigned char* decoded = stbi_load(png.c_str(), &w, &h, &channels, 4);
  ASSERT_NE(decoded, nullptr);
  ASSERT_EQ(w, kWidth);
  ASSERT_EQ(h, kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(decoded[(y * kWidth + x) * 4 + c], rgba[static_cast<size_t>(y) * kStride + x * 4 + c]);
      }
    }
  }
  stbi_image_free(decoded);

  const std::string jpeg = dir.file("still.jpg");
  ASSERT_TRUE(pcp::writeJpegRgba(jpeg, kWidth, kHeight, rgba, kStride, error)) << error;
  std::ifstream in(jpeg, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xD8);
  decoded = stbi_load(jpeg.c_str(), &w, &h, &channels, 3);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(w, kWidth);
  EXPECT_NEAR(decoded[2], 90, 12) << "blue survives the lossy encode";
  stbi_image_free(decoded);
}

TEST(ImageWriterTest, RefusesBadPixelDataAndPaths) {
  TempDir dir;
  const std::vector<uint8_t> rgba = paddedImage(4, 4, 16);
  const std::string good = dir.file("out.png");
  const std::string missingFolder = dir.file("missing/out.png");
  struct Case {
    const char* name;
    std::string path;
    int width, height;
    std::vector<uint8_t> data;
    size_t bytesPerRow;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"row shorter than its pixels", good, 4, 4, rgba, 15, "Invalid RGBA image data"},
      {"zero width", good, 0, 4, rgba, 16, "Invalid RGBA image data"},
      {"negative height", good, 4, -1, rgba, 16, "Invalid RGBA image data"},
      {"no data", good, 4, 4, {}, 16, "Invalid RGBA image data"},
      {"data shorter than the rows", good, 4, 5, rgba, 16, "Invalid RGBA image data"},
      {"stride beyond the data", good, 4, 4, rgba, 32, "Invalid RGBA image data"},
      {"path not UTF-8", dir.file("bad\xff.png"), 4, 4, rgba, 16, "Cannot represent image output path"},
      {"empty path", "", 4, 4, rgba, 16, "Cannot create image output URL"},
      {"folder missing", missingFolder, 4, 4, rgba, 16, "Could not write image: " + missingFolder},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool asJpeg : {false, true}) {
      std::string error;
      EXPECT_FALSE(pcp::writeImageRgba(c.path, c.width, c.height, c.data, c.bytesPerRow, error, asJpeg));
      EXPECT_EQ(error, c.error);
    }
  }
}

}  // namespace
