// Video frame rendering: GPU points, the virtual camera, the draw pass through a real EGL
// surfaceless context (no X server), the shrinker, texture upload and PNG output.
#include <gtest/gtest.h>
#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <thread>

#include "depth_mapping.h"
#include "gl_framebuffer.h"
#include "photo_test_support.h"
#include "spatial_ranks.h"
#include "video_program.h"
#include "video_renderer.h"

namespace {

using photo_test::TempDir;

// A width x height depth image whose pixels land one-to-one on a width x height output image
// (see exactParams): focal lengths of half the image height, principal point in the middle.
FrameData exactFrame(uint32_t width, uint32_t height, std::vector<uint16_t> depth) {
  FrameData frame;
  frame.width = width;
  frame.height = height;
  frame.depth = std::move(depth);
  frame.fx = static_cast<float>(height) / 2.0f;
  frame.fy = frame.fx;
  frame.cx = (static_cast<float>(width) - 1.0f) / 2.0f;
  frame.cy = (static_cast<float>(height) - 1.0f) / 2.0f;
  return frame;
}

// The virtual camera on the capture camera (cam_z 5.2) with a 45 degree half-angle: projection
// then keeps each depth pixel's column and row, and one-pixel points fill exactly one pixel.
RenderParams exactParams(float maxDistance) {
  RenderParams params;
  params.camera_pos = {0.0f, 0.0f, 5.2f};
  params.fov = 45.0f;
  params.point_size = 1.0f;
  params.max_dist = maxDistance;
  return params;
}

void setNodes(RenderParams& params, const std::vector<pcp::SliderPoint>& nodes) {
  params.slider_pos_0 = nodes[0].position;
  params.slider_gray_0 = nodes[0].gray;
  params.slider_pos_1 = nodes[1].position;
  params.slider_gray_1 = nodes[1].gray;
  params.slider_pos_2 = nodes[2].position;
  params.slider_gray_2 = nodes[2].gray;
}

// 8 x 6 pixels of 160, 180, ... 1100 mm row by row: pixel 42 lies exactly on a 1 m far plane,
// pixels 43 to 47 beyond it. The nearest stays clear of the 0.1 m near plane.
constexpr uint32_t kRampWidth = 8;
constexpr uint32_t kRampHeight = 6;
std::vector<uint16_t> rampDepth() {
  std::vector<uint16_t> depth(kRampWidth * kRampHeight);
  for (size_t k = 0; k < depth.size(); ++k) depth[k] = static_cast<uint16_t>(160 + 20 * k);
  return depth;
}

struct Rgb {
  int r, g, b;
};
Rgb pixel(const ImageRGB& image, int x, int y) {
  const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x)) * 3;
  return {image.pixels[at], image.pixels[at + 1], image.pixels[at + 2]};
}

// Each test gets its own context with the video point program built in it.
class VideoGlTest : public photo_test::GlTest {
 protected:
  void SetUp() override {
    photo_test::GlTest::SetUp();
    if (HasFatalFailure()) return;
    std::string status;
    ASSERT_TRUE(initVideoPointProgram(status));
    ASSERT_NE(global_pc_program, 0u);
    EXPECT_TRUE(status.empty());
  }
  void TearDown() override { deleteVideoPointProgram(); }
};

// ---------------------------------------------------------------------------------------------
// buildGpuPoints

TEST(BuildGpuPoints, ConvertsValidPixelsRowMajorAndDropsInvalidOnes) {
  FrameData frame;
  frame.width = 3;
  frame.height = 2;
  frame.fx = 2.0f;
  frame.fy = 4.0f;
  frame.cx = 1.0f;
  frame.cy = 0.5f;
  // 0 = no measurement, 1 mm is too near, 2 mm stays, 3000 mm = max, 3001 mm is beyond.
  frame.depth = {0, 1, 2, 2000, 3000, 3001};
  const std::vector<GpuPoint> points = buildGpuPoints(frame, 3.0f, 1.0f);
  ASSERT_EQ(points.size(), 3u);
  const GpuPoint expected[] = {
      {(2 - 1.0f) * 0.002f / 2.0f, (0 - 0.5f) * 0.002f / 4.0f, 0.002f, 0.002f},
      {(0 - 1.0f) * 2.0f / 2.0f, (1 - 0.5f) * 2.0f / 4.0f, 2.0f, 2.0f},
      {(1 - 1.0f) * 3.0f / 2.0f, (1 - 0.5f) * 3.0f / 4.0f, 3.0f, 3.0f},
  };
  for (size_t i = 0; i < points.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FLOAT_EQ(points[i].x, expected[i].x);
    EXPECT_FLOAT_EQ(points[i].y, expected[i].y);
    EXPECT_FLOAT_EQ(points[i].z, expected[i].z);
    EXPECT_FLOAT_EQ(points[i].depth, points[i].z);
  }
  EXPECT_TRUE(buildGpuPoints(frame, 0.0015f, 1.0f).empty()) << "2 mm lies beyond a 1.5 mm cut-off";
}

TEST(BuildGpuPoints, ShortDepthArrayYieldsOnlyExistingPixels) {
  FrameData frame = exactFrame(4, 3, std::vector<uint16_t>(5, 500));
  const std::vector<GpuPoint> points = buildGpuPoints(frame, 10.0f, 1.0f);
  ASSERT_EQ(points.size(), 5u);
  EXPECT_FLOAT_EQ(points[4].y, (1.0f - frame.cy) * 0.5f / frame.fy) << "index 4 is row 1, column 0";

  // A huge declared size with a tiny array reserves for the samples, not the declared pixels.
  frame.width = 1u << 31;
  frame.height = 1u << 31;
  EXPECT_EQ(buildGpuPoints(frame, 10.0f, 1.0f).size(), 5u);
}

TEST(BuildGpuPoints, UnusableFramesGiveNoPoints) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    void (*spoil)(FrameData&);
  };
  const Case cases[] = {
      {"fx zero", [](FrameData& f) { f.fx = 0.0f; }},
      {"fx negative", [](FrameData& f) { f.fx = -500.0f; }},
      {"fx below the floor", [](FrameData& f) { f.fx = 0.0000005f; }},
      {"fy zero", [](FrameData& f) { f.fy = 0.0f; }},
      {"fy negative", [](FrameData& f) { f.fy = -1.0f; }},
      {"fx NaN", [](FrameData& f) { f.fx = std::numeric_limits<float>::quiet_NaN(); }},
      {"cx NaN", [](FrameData& f) { f.cx = std::numeric_limits<float>::quiet_NaN(); }},
      {"cy infinite", [](FrameData& f) { f.cy = std::numeric_limits<float>::infinity(); }},
      {"width zero", [](FrameData& f) { f.width = 0; }},
      {"height zero", [](FrameData& f) { f.height = 0; }},
      {"empty depth", [](FrameData& f) { f.depth.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FrameData frame = exactFrame(kRampWidth, kRampHeight, rampDepth());
    c.spoil(frame);
    EXPECT_TRUE(buildGpuPoints(frame, 10.0f, 1.0f).empty());
  }
  EXPECT_TRUE(buildGpuPoints(exactFrame(kRampWidth, kRampHeight, rampDepth()), nan, 1.0f).empty());
}

TEST(BuildGpuPoints, SamplingKeepsTheTablesPixels) {
  // One 256 x 256 tile at 1 m; with cx = cy = 0 and fx = fy = 1 a point's x and y are its column and row.
  FrameData frame;
  frame.width = 256;
  frame.height = 256;
  frame.fx = frame.fy = 1.0f;
  frame.cx = frame.cy = 0.0f;
  frame.depth.assign(256 * 256, 1000);
  struct Case {
    float ratio;
    size_t kept;
  };
  const Case cases[] = {{1.0f, 65536},
                        {std::numeric_limits<float>::quiet_NaN(), 65536},
                        {std::numeric_limits<float>::infinity(), 65536},
                        {2.0f, 65536},
                        {0.5f, 32768},
                        {0.2f, 13107},
                        {0.05f, 13107}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ratio);
    const std::vector<GpuPoint> points = buildGpuPoints(frame, 10.0f, c.ratio);
    EXPECT_EQ(points.size(), c.kept);
    const uint32_t threshold = point_sampling::keepThreshold(c.ratio);
    size_t outsideTable = 0;
    for (const GpuPoint& p : points) {
      const auto x = static_cast<uint32_t>(std::lround(p.x));
      const auto y = static_cast<uint32_t>(std::lround(p.y));
      if (threshold < point_sampling::kKeepAllThreshold && point_sampling::spatialRanks[y][x] >= threshold) {
        ++outsideTable;
      }
    }
    EXPECT_EQ(outsideTable, 0u);
  }
}

// ---------------------------------------------------------------------------------------------
// videoExportMvp

TEST(VideoExportMvp, DegenerateCamerasStayFinite) {
  struct Case {
    const char* name;
    std::array<float, 3> pos;
    std::array<float, 3> target;
    std::array<float, 3> up;
  };
  const Case cases[] = {
      {"position on the target", {1, 2, 3}, {1, 2, 3}, {0, 1, 0}},
      {"up along the view", {0, 0, 5}, {0, 0, 0}, {0, 0, 1}},
      {"zero up", {0, 0, 5}, {0, 0, 0}, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RenderParams params;
    params.camera_pos = c.pos;
    params.camera_target = c.target;
    params.camera_up = c.up;
    for (const float value : videoExportMvp(params, 1600, 960, false, false)) EXPECT_TRUE(std::isfinite(value));
  }
}

TEST(VideoExportMvp, FieldOfViewIsClampedToFiveAndEightyDegrees) {
  struct Case {
    float fov;
    float sameAs;
  };
  const Case cases[] = {{3.0f, 5.0f}, {-10.0f, 5.0f}, {120.0f, 80.0f}, {80.5f, 80.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fov);
    RenderParams clamped;
    clamped.fov = c.fov;
    RenderParams reference;
    reference.fov = c.sameAs;
    EXPECT_EQ(videoExportMvp(clamped, 640, 480, false, false), videoExportMvp(reference, 640, 480, false, false));
  }
  RenderParams inside;
  inside.fov = 30.0f;
  RenderParams other;
  other.fov = 31.0f;
  EXPECT_NE(videoExportMvp(inside, 640, 480, false, false), videoExportMvp(other, 640, 480, false, false));
}

TEST(VideoExportMvp, DefaultCameraMatrix) {
  // Default camera 0.2 m in front of the capture camera, fov 20, 4:3, far plane 20.
  const Matrix4 m = videoExportMvp(RenderParams{}, 400, 300, false, false);
  const double f = 1.0 / std::tan(20.0 * M_PI / 180.0);
  const double farPlane = 20.0;
  const double a = -(farPlane + 0.1) / (farPlane - 0.1);
  const double b = -2.0 * farPlane * 0.1 / (farPlane - 0.1);
  // P x V x M with V a shift by -5 along z and M (X, Y, Z) -> (-X, Y, 5.2 - Z).
  const double expected[16] = {f / (4.0 / 3.0), 0, 0, 0, 0, -f, 0, 0, 0, 0, -a, a * 0.2 + b, 0, 0, 1, -0.2};
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(m[i], expected[i], 1e-5) << "entry " << i;
  const Matrix4 flipped = videoExportMvp(RenderParams{}, 400, 300, true, true);
  EXPECT_NEAR(flipped[0], -expected[0], 1e-5);
  EXPECT_NEAR(flipped[5], -expected[5], 1e-5);
}

// ---------------------------------------------------------------------------------------------
// Rendering

struct MappingCase {
  const char* name;
  std::vector<pcp::SliderPoint> nodes;
  // Spot checks independent of the CPU twin: depth pixel index and gray byte.
  std::vector<std::pair<int, int>> spots;
};

TEST_F(VideoGlTest, MappingCasesMatchTheCurvePixelByPixel) {
  const FrameData frame = exactFrame(kRampWidth, kRampHeight, rampDepth());
  // Depth of pixel k is 0.16 + 0.02 k of a 1 m range.
  const MappingCase cases[] = {
      {"ramp through (0,0) (0.5,0.5) (1,1)", {{0, 0, 1}, {0.5f, 0.5f, 2}, {1, 1, 3}}, {{0, 41}, {17, 128}, {42, 255}, {43, 0}}},
      {"band (0.2,1) (0.8,1)", {{0.2f, 1, 1}, {0.8f, 1, 2}, {0, 0, 3}}, {{1, 0}, {2, 255}, {32, 255}, {33, 0}, {42, 0}}},
      {"unsorted (0.6,1) (0.2,0.5) (1,0)", {{0.6f, 1, 1}, {0.2f, 0.5f, 2}, {1, 0, 3}}, {{1, 0}, {2, 128}, {22, 64}, {42, 0}}},
      {"defaults (0,0) (0.5,1) (1,0)", {{0, 0, 1}, {0.5f, 1, 2}, {1, 0, 3}}, {{17, 255}, {7, 153}}},
  };
  for (const MappingCase& c : cases) {
    SCOPED_TRACE(c.name);
    RenderParams params = exactParams(1.0f);
    setNodes(params, c.nodes);
    std::string error;
    const ImageRGB image = renderGpuFrameToImage(frame, params, kRampWidth, kRampHeight, false, false, &error);
    ASSERT_TRUE(image.complete()) << error;
    ASSERT_EQ(image.width, static_cast<int>(kRampWidth));
    ASSERT_EQ(image.height, static_cast<int>(kRampHeight));
    // Capture column 0 on the left, row 0 at the top: output pixel (x, y) is depth pixel (x, y).
    for (int y = 0; y < image.height; ++y) {
      for (int x = 0; x < image.width; ++x) {
        const float depth = frame.depth[static_cast<size_t>(y) * kRampWidth + static_cast<size_t>(x)] / 1000.0f;
        const std::optional<float> gray = pcp::mapDepthToGray(depth, 0.0f, 1.0f, c.nodes);
        const int expected = gray ? static_cast<int>(std::lround(*gray * 255.0f)) : 0;
        const Rgb got = pixel(image, x, y);
        EXPECT_NEAR(got.r, expected, 1) << "pixel " << x << "," << y;
        EXPECT_EQ(got.g, got.r);
        EXPECT_EQ(got.b, got.r);
      }
    }
    for (const auto& [index, gray] : c.spots) {
      EXPECT_NEAR(pixel(image, index % static_cast<int>(kRampWidth), index / static_cast<int>(kRampWidth)).r, gray, 1)
          << "depth pixel " << index;
    }
  }
}

TEST_F(VideoGlTest, FlipsMirrorAndTurnTheImage) {
  const FrameData frame = exactFrame(kRampWidth, kRampHeight, rampDepth());
  RenderParams params = exactParams(1.0f);
  setNodes(params, {{0, 0, 1}, {0.5f, 0.5f, 2}, {1, 1, 3}});
  const ImageRGB plain = renderGpuFrameToImage(frame, params, kRampWidth, kRampHeight, false, false);
  const ImageRGB mirrored = renderGpuFrameToImage(frame, params, kRampWidth, kRampHeight, true, false);
  const ImageRGB turned = renderGpuFrameToImage(frame, params, kRampWidth, kRampHeight, true, true);
  ASSERT_TRUE(plain.complete() && mirrored.complete() && turned.complete());
  const int w = plain.width;
  const int h = plain.height;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      EXPECT_EQ(mirrored.pixels[(y * w + x) * 3], plain.pixels[(y * w + (w - 1 - x)) * 3]) << x << "," << y;
      EXPECT_EQ(turned.pixels[(y * w + x) * 3], plain.pixels[((h - 1 - y) * w + (w - 1 - x)) * 3]) << x << "," << y;
    }
  }
}

TEST_F(VideoGlTest, DrawPassDrawsTheFarPlaneAndDiscardsBeyondIt) {
  // Against a red background "not drawn" and "drawn black" differ. Points are built with a 2 m
  // cut-off and drawn with a 1 m far plane, so the 1.2 m point reaches the shader.
  FrameData frame = exactFrame(3, 1, {1000, 1200, 200});
  RenderParams params = exactParams(1.0f);
  setNodes(params, {{0.3f, 0, 1}, {1, 1, 2}, {0, 0, 3}});  // 0.2 of the range matches no pair: black
  const std::vector<GpuPoint> points = buildGpuPoints(frame, 2.0f, 1.0f);
  ASSERT_EQ(points.size(), 3u);

  std::string error;
  const auto target = platform::GlFramebuffer::create(3, 1, error);
  ASSERT_NE(target, nullptr) << error;
  glClearColor(1.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  GLuint buffer = 0;
  glGenBuffers(1, &buffer);
  glBindBuffer(GL_ARRAY_BUFFER, buffer);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(points.size() * sizeof(GpuPoint)), points.data(), GL_STATIC_DRAW);
  drawVideoPoints(buffer, points.size(), params, videoExportMvp(params, 3, 1, false, false), 1.0f);
  std::vector<uint8_t> rgb;
  ASSERT_TRUE(target->readRgb(rgb));
  glDeleteBuffers(1, &buffer);
  EXPECT_EQ((std::vector<uint8_t>{255, 255, 255, 255, 0, 0, 0, 0, 0}), rgb);

  GLint program = -1;
  GLint arrayBuffer = -1;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &arrayBuffer);
  EXPECT_EQ(program, 0);
  EXPECT_EQ(arrayBuffer, 0);
  EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
}

TEST_F(VideoGlTest, HalfSamplingLightsExactlyTheTablesHalfOfATile) {
  const FrameData frame = exactFrame(256, 256, std::vector<uint16_t>(256 * 256, 500));
  RenderParams params = exactParams(1.0f);  // 0.5 of the range is the default curve's white
  params.sampling_ratio = 0.5f;
  const ImageRGB image = renderGpuFrameToImage(frame, params, 256, 256, false, false);
  ASSERT_TRUE(image.complete());
  size_t lit = 0;
  size_t misplaced = 0;
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      const bool isLit = pixel(image, x, y).r > 0;
      lit += isLit ? 1 : 0;
      if (isLit != (point_sampling::spatialRanks[y][x] < 32768)) ++misplaced;
    }
  }
  EXPECT_EQ(lit, 32768u);
  EXPECT_EQ(misplaced, 0u);
}

TEST_F(VideoGlTest, RenderLeavesTheCallersTargetAndViewport) {
  std::string error;
  const auto outer = platform::GlFramebuffer::create(16, 16, error);
  ASSERT_NE(outer, nullptr) << error;
  GLint outerBinding = 0;
  glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &outerBinding);
  glViewport(1, 2, 5, 7);

  const ImageRGB image = renderGpuFrameToImage(exactFrame(kRampWidth, kRampHeight, rampDepth()), exactParams(1.0f),
                                               kRampWidth, kRampHeight, false, false);
  EXPECT_TRUE(image.complete());
  GLint binding = 0;
  GLint viewport[4] = {0, 0, 0, 0};
  glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &binding);
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(binding, outerBinding);
  EXPECT_EQ((std::vector<GLint>{1, 2, 5, 7}), std::vector<GLint>(viewport, viewport + 4));
}

TEST_F(VideoGlTest, BadSizesAndFramesGiveEmptyOrBlackImages) {
  const FrameData frame = exactFrame(kRampWidth, kRampHeight, rampDepth());
  const RenderParams params = exactParams(1.0f);
  for (const auto& [width, height] : {std::pair{0, 6}, std::pair{8, 0}, std::pair{-3, 6}}) {
    EXPECT_TRUE(renderGpuFrameToImage(frame, params, width, height, false, false).empty()) << width << "x" << height;
  }
  FrameData noDepth = frame;
  noDepth.depth.clear();
  EXPECT_TRUE(renderGpuFrameToImage(noDepth, params, 8, 6, false, false).empty());
  FrameData noWidth = frame;
  noWidth.width = 0;
  EXPECT_TRUE(renderGpuFrameToImage(noWidth, params, 8, 6, false, false).empty());

  // Unusable intrinsics leave no point: a black image of the asked size.
  FrameData badIntrinsics = frame;
  badIntrinsics.fx = -1.0f;
  const ImageRGB black = renderGpuFrameToImage(badIntrinsics, params, 8, 6, false, false);
  ASSERT_TRUE(black.complete());
  EXPECT_EQ(black.pixels, std::vector<uint8_t>(8 * 6 * 3, 0));

  GLint maxSize = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
  std::string error;
  EXPECT_TRUE(renderGpuFrameToImage(frame, params, maxSize + 1, 1, false, false, &error).empty());
  EXPECT_NE(error.find("exceeds the GL limit"), std::string::npos) << error;
  // Nothing of the failed attempt leaks into the next render.
  EXPECT_TRUE(renderGpuFrameToImage(frame, params, 8, 6, false, false, &error).complete());
  EXPECT_TRUE(error.empty());
}

TEST(RenderGpuFrameToImage, FrameWithoutValidDepthIsBlackWithoutAnyGlCall) {
  // A fresh thread has no current context, so any GL call would abort.
  FrameData frame;
  frame.depth.assign(static_cast<size_t>(frame.width) * frame.height, 0);
  ImageRGB image;
  std::thread([&] { image = renderGpuFrameToImage(frame, RenderParams{}, 1920, 1080, false, false); }).join();
  ASSERT_EQ(image.width, 1920);
  ASSERT_EQ(image.height, 1080);
  ASSERT_EQ(image.pixels.size(), 1920u * 1080u * 3u);
  EXPECT_EQ(std::count(image.pixels.begin(), image.pixels.end(), 0), static_cast<std::ptrdiff_t>(image.pixels.size()));
}

// ---------------------------------------------------------------------------------------------
// Program build

class VideoProgramBuild : public photo_test::GlTest {};

TEST_F(VideoProgramBuild, BrokenSourcesFailWithTheirLogAndTheStatusText) {
  const VideoProgramSources& good = videoPointSources();
  struct Case {
    const char* name;
    VideoProgramSources sources;
    const char* errorPrefix;
  };
  const Case cases[] = {
      {"fragment does not compile", {good.vertex, "#version 120\nvoid main() { gl_FragColor = nope; }\n"},
       "OpenGL shader compilation failed: "},
      {"vertex does not compile", {"#version 120\nvoid main() { gl_Position = 1; }\n", good.fragment},
       "OpenGL shader compilation failed: "},
      {"vertex has no main", {"#version 120\nattribute vec4 a_pos_depth;\nvarying float v_depth;\n", good.fragment},
       "OpenGL program link failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_EQ(buildVideoPointProgram(error, c.sources), 0u);
    EXPECT_EQ(error.rfind(c.errorPrefix, 0), 0u) << error;
    EXPECT_GT(error.size(), std::string(c.errorPrefix).size()) << "the driver's log follows";

    std::string status = "请先加载PCV";
    EXPECT_FALSE(initVideoPointProgram(status, c.sources));
    EXPECT_EQ(global_pc_program, 0u);
    EXPECT_EQ(status, "GPU渲染初始化失败");
  }

  // Without a program nothing is drawn and the offscreen render reports it instead of a black frame.
  std::string error;
  const ImageRGB image = renderGpuFrameToImage(exactFrame(kRampWidth, kRampHeight, rampDepth()), exactParams(1.0f),
                                               kRampWidth, kRampHeight, false, false, &error);
  EXPECT_TRUE(image.empty());
  EXPECT_FALSE(error.empty());
}

TEST_F(VideoProgramBuild, ProgramBindsThePositionAttributeToLocationZero) {
  std::string error;
  const GLuint program = buildVideoPointProgram(error);
  ASSERT_NE(program, 0u) << error;
  EXPECT_EQ(glGetAttribLocation(program, "a_pos_depth"), 0);
  for (const char* name : {"u_mvp", "u_point_size", "near_plane", "far_plane", "num_sliders", "slider_positions",
                           "slider_grayscales"}) {
    EXPECT_GE(glGetUniformLocation(program, name), 0) << name;
  }
  glDeleteProgram(program);
}

// ---------------------------------------------------------------------------------------------
// shrinkImage

ImageRGB image(int width, int height, std::vector<uint8_t> pixels) {
  ImageRGB result;
  result.width = width;
  result.height = height;
  result.pixels = std::move(pixels);
  return result;
}

TEST(ShrinkImage, AreaWeightsAndBrighten) {
  struct Case {
    const char* name;
    ImageRGB source;
    int width, height;
    bool brighten;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      // Output pixel 0 covers source [0, 1.5): 2/3 of pixel 0 and 1/3 of pixel 1.
      {"3 x 1 to 2 x 1", image(3, 1, {255, 0, 90, 0, 255, 0, 30, 60, 120}), 2, 1, false,
       {170, 85, 60, 20, 125, 80}},
      {"2 x 2 blocks", image(4, 2, {10, 20, 30, 20, 30, 40, 0, 0, 0, 255, 255, 255,
                                    30, 40, 50, 40, 50, 60, 255, 255, 255, 0, 0, 0}),
       2, 1, false, {25, 35, 45, 128, 128, 128}},
      {"brighten 128", image(1, 1, {128, 0, 255}), 1, 1, true, {147, 0, 255}},
      {"enlarging repeats", image(1, 1, {7, 8, 9}), 2, 1, false, {7, 8, 9, 7, 8, 9}},
      {"empty source", image(0, 0, {}), 2, 1, false, {0, 0, 0, 0, 0, 0}},
      {"source shorter than its size", image(2, 2, {1, 2, 3}), 1, 1, false, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ImageRGB result = pcv0930::shrinkImage(c.source, c.width, c.height, c.brighten);
    EXPECT_EQ(result.width, c.width);
    EXPECT_EQ(result.height, c.height);
    EXPECT_EQ(result.pixels, c.expected);
  }
  for (const auto& [width, height] : {std::pair{0, 4}, std::pair{4, -1}}) {
    EXPECT_TRUE(pcv0930::shrinkImage(image(1, 1, {1, 2, 3}), width, height, false).empty());
  }
}

// Every average of two bytes, brightened, is the rounded pow(average, 0.8) the curve stands for.
TEST(ShrinkImage, BrightenIsThePowerCurveForEveryAverageOfTwoBytes) {
  ImageRGB source = image(2, 256, std::vector<uint8_t>(2 * 256 * 3));
  for (int first = 0; first < 256; ++first) {
    for (int row = 0; row < 256; ++row) {
      uint8_t* pixels = &source.pixels[static_cast<size_t>(row) * 6];
      pixels[0] = pixels[1] = pixels[2] = static_cast<uint8_t>(first);
      pixels[3] = static_cast<uint8_t>(row);
      pixels[4] = pixels[5] = 0;
    }
    const ImageRGB shrunk = pcv0930::shrinkImage(source, 1, 256, true);
    ASSERT_TRUE(shrunk.complete());
    for (int row = 0; row < 256; ++row) {
      const double average = std::clamp((0.5 * first + 0.5 * row) / 255.0, 0.0, 1.0);
      const auto expected = static_cast<uint8_t>(std::lround(std::pow(average, 0.8) * 255.0));
      ASSERT_EQ(shrunk.pixels[static_cast<size_t>(row) * 3], expected) << first << " and " << row;
    }
  }
}

TEST(ShrinkImage, HalvingAveragesExactTwoByTwoBlocks) {
  constexpr int kWidth = 1600;
  constexpr int kHeight = 900;
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255);
  ImageRGB source = image(kWidth, kHeight, std::vector<uint8_t>(kWidth * kHeight * 3));
  for (uint8_t& value : source.pixels) value = static_cast<uint8_t>(byte(random));
  const ImageRGB half = pcv0930::shrinkImage(source, kWidth / 2, kHeight / 2, false);
  ASSERT_TRUE(half.complete());
  size_t wrong = 0;
  for (int y = 0; y < kHeight / 2; ++y) {
    for (int x = 0; x < kWidth / 2; ++x) {
      for (int c = 0; c < 3; ++c) {
        const auto at = [&](int sx, int sy) { return source.pixels[(static_cast<size_t>(sy) * kWidth + sx) * 3 + c]; };
        const int sum = at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) + at(2 * x + 1, 2 * y + 1);
        const int expected = (sum + 2) / 4;  // halves away from zero
        if (half.pixels[(static_cast<size_t>(y) * (kWidth / 2) + x) * 3 + c] != expected) ++wrong;
      }
    }
  }
  EXPECT_EQ(wrong, 0u);
}

// ---------------------------------------------------------------------------------------------
// uploadTexture

class UploadTexture : public photo_test::GlTest {
 protected:
  static std::vector<uint8_t> contents(GLuint texture, int width, int height) {
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    glBindTexture(GL_TEXTURE_2D, texture);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return rgb;
  }
  static std::pair<GLint, GLint> definedSize(GLuint texture) {
    GLint width = 0;
    GLint height = 0;
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
    glBindTexture(GL_TEXTURE_2D, 0);
    return {width, height};
  }
};

TEST_F(UploadTexture, CreatesReusesAndRedefines) {
  GLuint texture = 0;
  int width = 0;
  int height = 0;
  uploadTexture(texture, width, height, ImageRGB{});
  EXPECT_EQ(texture, 0u) << "an empty image creates nothing";

  // 3 pixels per row: 9 bytes, not a multiple of the default alignment of 4.
  const ImageRGB first = image(3, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18});
  uploadTexture(texture, width, height, first);
  ASSERT_NE(texture, 0u);
  EXPECT_EQ(std::pair(width, height), std::pair(3, 2));
  EXPECT_EQ(contents(texture, 3, 2), first.pixels);
  GLint binding = -1;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &binding);
  EXPECT_EQ(binding, 0);
  GLint alignment = 0;
  glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
  EXPECT_EQ(alignment, 4) << "the caller's unpack alignment comes back";
  glBindTexture(GL_TEXTURE_2D, texture);
  GLint minFilter = 0;
  GLint wrapS = 0;
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &minFilter);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrapS);
  glBindTexture(GL_TEXTURE_2D, 0);
  EXPECT_EQ(minFilter, GL_LINEAR);
  EXPECT_EQ(wrapS, GL_CLAMP_TO_EDGE);

  const GLuint created = texture;
  ImageRGB sameSize = first;
  for (uint8_t& value : sameSize.pixels) value = static_cast<uint8_t>(255 - value);
  uploadTexture(texture, width, height, sameSize);
  EXPECT_EQ(texture, created);
  EXPECT_EQ(contents(texture, 3, 2), sameSize.pixels);

  const ImageRGB larger = image(5, 1, {9, 9, 9, 8, 8, 8, 7, 7, 7, 6, 6, 6, 5, 5, 5});
  uploadTexture(texture, width, height, larger);
  EXPECT_EQ(texture, created);
  EXPECT_EQ(std::pair(width, height), std::pair(5, 1));
  EXPECT_EQ(definedSize(texture), std::pair(5, 1));
  EXPECT_EQ(contents(texture, 5, 1), larger.pixels);

  uploadTexture(texture, width, height, image(4, 4, {1, 2, 3}));
  EXPECT_EQ(std::pair(width, height), std::pair(5, 1)) << "an image shorter than its size is ignored";
  glDeleteTextures(1, &texture);
}

// ---------------------------------------------------------------------------------------------
// savePng

TEST(SavePng, WritesARealPngAndRefusesWhatItCannotWrite) {
  TempDir dir;
  const ImageRGB picture = image(3, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 40, 50, 60, 70, 80, 90});
  const std::string path = dir.file("frame.png");
  ASSERT_TRUE(savePng(path, picture));
  int width = 0;
  int height = 0;
  int channels = 0;
  unsigned char* loaded = stbi_load(path.c_str(), &width, &height, &channels, 3);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(width, 3);
  EXPECT_EQ(height, 2);
  EXPECT_EQ(channels, 3);
  EXPECT_EQ(std::vector<uint8_t>(loaded, loaded + 18), picture.pixels);
  stbi_image_free(loaded);

  EXPECT_FALSE(savePng(dir.file("empty.png"), ImageRGB{}));
  EXPECT_FALSE(savePng(dir.file("short.png"), image(4, 4, {1, 2, 3})));
  EXPECT_FALSE(savePng(dir.file("missing/frame.png"), picture));
  EXPECT_FALSE(std::filesystem::exists(dir.file("empty.png")));
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(savePng("/dev/full", picture)) << "a failed write is not reported as success";
  }
}

}  // namespace
