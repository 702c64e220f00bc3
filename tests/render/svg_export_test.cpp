#include "svg_export.h"

#include <gtest/gtest.h>
#include <stb_image.h>

#include <clocale>
#include <cmath>
#include <fstream>
#include <limits>
#include <locale>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "photo_test_support.h"

namespace {

using pcp::SliderPoint;
using photo_test::axisPoint;
using photo_test::GlTest;
using photo_test::newerModel;
using photo_test::PhotoFixture;
using photo_test::TempDir;
using photo_test::writeAndLoad;
using vector_export::Point;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

// The point lines of an SVG file, in file order.
std::vector<std::string> rectLines(const std::string& path) {
  std::vector<std::string> rects;
  for (const std::string& line : lines(readFile(path))) {
    if (line.rfind("<rect x=", 0) == 0) rects.push_back(line);
  }
  return rects;
}

Point point(double x, double y, float depth, uint8_t r, uint8_t g, uint8_t b, uint64_t index) {
  Point p;
  p.x = x;
  p.y = y;
  p.depth = depth;
  p.red = r;
  p.green = g;
  p.blue = b;
  p.index = index;
  return p;
}

std::vector<Point> manyPoints(size_t count) {
  std::vector<Point> points;
  for (size_t i = 0; i < count; ++i) points.push_back(point(1.0, 1.0, 0.5f, 255, 255, 255, i));
  return points;
}

constexpr const char* kTwoPointFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 40 30\" width=\"40\" height=\"30\">\n"
    "<title>Point cloud image</title>\n"
    "<defs><clipPath id=\"canvas\"><rect width=\"40\" height=\"30\"/></clipPath></defs>\n"
    "<rect width=\"100%\" height=\"100%\" fill=\"#000000\"/>\n"
    "<g clip-path=\"url(#canvas)\" stroke=\"none\">\n"
    "<rect x=\"-1.2500\" y=\"0.0000\" width=\"2.5000\" height=\"2.5000\" fill=\"#000000\"/>\n"
    "<rect x=\"11.2500\" y=\"4.3333\" width=\"2.5000\" height=\"2.5000\" fill=\"#ff8000\"/>\n"
    "<rect x=\"2.7500\" y=\"3.7500\" width=\"2.5000\" height=\"2.5000\" fill=\"#0a0b0c\"/>\n"
    "</g>\n"
    "</svg>\n";

std::vector<Point> twoPointsAndAFarOne() {
  return {point(4.0, 5.0, 0.25f, 10, 11, 12, 3), point(12.5, 5.58333333, 0.25f, 255, 128, 0, 7),
          point(0.0, 1.25, 0.75f, 0, 0, 0, 1)};
}

TEST(SvgWriterTest, WritesTheDocumentByteForByteFarthestFirstLargerIndexOnTies) {
  TempDir dir;
  std::vector<Point> points = twoPointsAndAFarOne();
  std::string error;
  ASSERT_TRUE(vector_export::write(dir.file("out.svg"), 40, 30, 2.5, points, error)) << error;
  EXPECT_EQ(readFile(dir.file("out.svg")), kTwoPointFile);
  EXPECT_EQ(points[0].index, 1u) << "sorted in place";
}

TEST(SvgWriterTest, NumbersKeepTheFullStopUnderACommaDecimalLocale) {
  const std::locale previousGlobal;
  const std::string previousC = std::setlocale(LC_ALL, nullptr);
  std::locale german;
  try {
    german = std::locale("de_DE.UTF-8");
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << "locale de_DE.UTF-8 is not installed (locale-gen de_DE.UTF-8)";
  }
  std::locale::global(german);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
  {
    std::ostringstream probe;
    probe << 12.5;
    ASSERT_EQ(probe.str(), "12,5") << "the locale really uses a decimal comma";
  }
  TempDir dir;
  std::vector<Point> points = twoPointsAndAFarOne();
  std::string error;
  const bool written = vector_export::write(dir.file("out.svg"), 40, 30, 2.5, points, error);
  std::locale::global(previousGlobal);
  std::setlocale(LC_ALL, previousC.c_str());
  ASSERT_TRUE(written) << error;
  EXPECT_EQ(readFile(dir.file("out.svg")), kTwoPointFile);
}

TEST(SvgWriterTest, RefusesBadCanvasesAndUnwritableFiles) {
  TempDir dir;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    std::string path;
    int width, height;
    double size;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"zero width", dir.file("a.svg"), 0, 10, 1.0, "矢量画幅或点尺寸无效"},
      {"zero height", dir.file("a.svg"), 10, 0, 1.0, "矢量画幅或点尺寸无效"},
      {"zero size", dir.file("a.svg"), 10, 10, 0.0, "矢量画幅或点尺寸无效"},
      {"negative size", dir.file("a.svg"), 10, 10, -1.0, "矢量画幅或点尺寸无效"},
      {"NaN size", dir.file("a.svg"), 10, 10, nan, "矢量画幅或点尺寸无效"},
      {"infinite size", dir.file("a.svg"), 10, 10, infinity, "矢量画幅或点尺寸无效"},
      {"folder missing", dir.file("missing/a.svg"), 10, 10, 1.0, "无法创建 SVG 文件"},
      {"disk full", "/dev/full", 10, 10, 1.0, "SVG 写入失败（请检查磁盘空间）"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Point> points = manyPoints(3);
    std::string error;
    EXPECT_FALSE(vector_export::write(c.path, c.width, c.height, c.size, points, error));
    EXPECT_EQ(error, c.error);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("a.svg"))) << "bad canvases are refused before the file is made";
}

TEST(SvgWriterTest, NotANumberDepthsStillSortSafely) {
  TempDir dir;
  std::vector<Point> points = manyPoints(100);
  for (size_t i = 0; i < points.size(); i += 3) points[i].depth = std::numeric_limits<float>::quiet_NaN();
  std::string error;
  ASSERT_TRUE(vector_export::write(dir.file("nan.svg"), 10, 10, 1.0, points, error)) << error;
  EXPECT_EQ(rectLines(dir.file("nan.svg")).size(), 100u);
  EXPECT_TRUE(std::isnan(points[0].depth)) << "NaN counts as farthest";
}

TEST(SvgWriterTest, ReportsProgressEvery1024PointsAndStopsWhenCancelled) {
  TempDir dir;
  std::vector<float> seen;
  const auto record = [&seen](float fraction) {
    seen.push_back(fraction);
    return true;
  };
  std::vector<Point> points = manyPoints(3000);
  std::string error;
  ASSERT_TRUE(vector_export::write(dir.file("all.svg"), 10, 10, 1.0, points, error, record)) << error;
  const std::vector<float> expected = {0.0f, 0.12f, 0.12f, static_cast<float>(0.12 + 0.88 * 1024 / 3000.0),
                                       static_cast<float>(0.12 + 0.88 * 2048 / 3000.0), 1.0f};
  ASSERT_EQ(seen.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_FLOAT_EQ(seen[i], expected[i]) << "call " << i;

  struct CancelCase {
    const char* name;
    int answerFalseAtCall;  // 0-based
    bool fileExists;
    size_t rects;
  };
  const std::vector<CancelCase> cases = {
      {"before sorting", 0, false, 0},
      {"before creating the file", 1, false, 0},
      {"before point 1024", 3, true, 1024},
      {"at the final report", 5, true, 3000},
  };
  for (const CancelCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(std::string("cancel-") + std::to_string(c.answerFalseAtCall) + ".svg");
    int call = 0;
    const auto cancelAt = [&call, &c](float) { return call++ != c.answerFalseAtCall; };
    std::vector<Point> cancelled = manyPoints(3000);
    EXPECT_FALSE(vector_export::write(path, 10, 10, 1.0, cancelled, error, cancelAt));
    EXPECT_EQ(error, "已取消");
    EXPECT_EQ(std::filesystem::exists(path), c.fileExists);
    if (c.fileExists) {
      EXPECT_EQ(rectLines(path).size(), c.rects);
    }
  }
}

TEST(SvgWriterTest, ProgressHelperPassesTheAnswerOn) {
  std::string error;
  EXPECT_TRUE(vector_export::progress({}, 0.5f, error));
  EXPECT_TRUE(vector_export::progress([](float) { return true; }, 0.5f, error));
  EXPECT_TRUE(error.empty());
  EXPECT_FALSE(vector_export::progress([](float) { return false; }, 0.5f, error));
  EXPECT_EQ(error, "已取消");
}

struct MappingCase {
  const char* name;
  std::vector<SliderPoint> nodes;  // in the order given, as the video path passes them
  float depth;
  float nearPlane, farPlane;
  std::optional<float> gray;
};

TEST(DepthMappingTest, MapsThroughTheFirstMatchingPairWithoutExtrapolation) {
  const std::vector<SliderPoint> video = {{0.6f, 1.0f, 1}, {0.2f, 0.5f, 2}, {1.0f, 0.0f, 3}};
  const std::vector<MappingCase> cases = {
      {"ramp", {}, 2.5f, 0.0f, 10.0f, 0.25f},
      {"ramp from a near plane", {}, 6.0f, 2.0f, 10.0f, 0.5f},
      {"identity pair equals the ramp", {{0.0f, 0.0f, 1}, {1.0f, 1.0f, 2}}, 2.5f, 0.0f, 10.0f, 0.25f},
      {"single node is black", {{0.3f, 1.0f, 1}}, 3.0f, 0.0f, 10.0f, 0.0f},
      {"shared node takes the first pair", {{0.0f, 0.0f, 1}, {0.5f, 0.8f, 2}, {1.0f, 0.0f, 3}}, 5.0f, 0.0f, 10.0f,
       0.8f},
      {"video order: falling first pair never matches", video, 6.0f, 0.0f, 10.0f, 0.25f},
      {"video order: below 0.2 is black", video, 1.0f, 0.0f, 10.0f, 0.0f},
      {"grays above 1 are clamped", {{0.0f, 3.0f, 1}, {1.0f, 3.0f, 2}}, 5.0f, 0.0f, 10.0f, 1.0f},
      {"at the far plane", {}, 10.0f, 0.0f, 10.0f, 1.0f},
      {"beyond the far plane", {}, 10.001f, 0.0f, 10.0f, std::nullopt},
      {"before the near plane", {}, 1.0f, 2.0f, 10.0f, std::nullopt},
      {"empty range does not divide by zero", {}, 4.0f, 4.0f, 4.0f, 0.0f},
  };
  for (const MappingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<float> gray = pcp::mapDepthToGray(c.depth, c.nearPlane, c.farPlane, c.nodes);
    ASSERT_EQ(gray.has_value(), c.gray.has_value());
    if (gray) {
      EXPECT_NEAR(*gray, *c.gray, 1e-6f);
    }
  }
}

// --- photo export ----------------------------------------------------------------------------------

class PhotoSvgTest : public ::testing::Test {
 protected:
  bool exportPhoto(const pcp::CaptureData& capture, const std::vector<SliderPoint>& nodes, float maxDistance,
                   float pointSize, const std::string& name, const vector_export::Progress& progress = {},
                   float ratio = 1.0f) {
    path = dir.file(name);
    return pcp::exportSvg(capture, nodes, maxDistance, pointSize, 64, 48, path, error, progress, ratio);
  }

  TempDir dir;
  std::string path;
  std::string error;
};

TEST_F(PhotoSvgTest, RefusesEmptyPhotosAndBadCanvases) {
  const pcp::CaptureData capture = writeAndLoad(dir, axisPoint(2000));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    int width, height;
    float maxDistance;
  };
  for (const Case& c : std::vector<Case>{{"zero width", 0, 10, 5.0f},
                                         {"negative height", 10, -1, 5.0f},
                                         {"zero distance", 10, 10, 0.0f},
                                         {"negative distance", 10, 10, -2.0f},
                                         {"NaN distance", 10, 10, nan},
                                         {"infinite distance", 10, 10, infinity}}) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(pcp::exportSvg(capture, {}, c.maxDistance, 1.0f, c.width, c.height, dir.file("x.svg"), error));
    EXPECT_EQ(error, "矢量画幅或距离无效");
  }
  const pcp::CaptureData zeroFocal = writeAndLoad(dir, axisPoint(2000, newerModel({{"fx", 0.0}})));
  for (const pcp::CaptureData* empty : {&zeroFocal, static_cast<const pcp::CaptureData*>(nullptr)}) {
    const pcp::CaptureData none;
    EXPECT_FALSE(pcp::exportSvg(empty ? *empty : none, {}, 5.0f, 1.0f, 10, 10, dir.file("x.svg"), error));
    EXPECT_EQ(error, "照片没有有效点云");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.svg")));
}

struct GrayCase {
  const char* name;
  std::vector<SliderPoint> nodes;
  uint16_t depthMm;  // of 10 m
  const char* fill;  // nullptr: not exported
};

TEST_F(PhotoSvgTest, GraysFollowTheSortedCurveAndTheDistanceRange) {
  const std::vector<GrayCase> cases = {
      {"ramp", {}, 2500, "#404040"},
      {"one node is black", {{0.5f, 1.0f, 1}}, 5000, "#000000"},
      {"band inside, nodes out of order", {{0.8f, 1.0f, 2}, {0.2f, 1.0f, 1}}, 5000, "#ffffff"},
      {"band below", {{0.2f, 1.0f, 1}, {0.8f, 1.0f, 2}}, 1000, "#000000"},
      {"interpolated", {{0.0f, 0.0f, 1}, {1.0f, 0.5f, 2}}, 5000, "#404040"},
      {"at the display distance", {}, 10000, "#ffffff"},
      {"beyond the display distance", {}, 10001, nullptr},
  };
  for (const GrayCase& c : cases) {
    SCOPED_TRACE(c.name);
    const pcp::CaptureData capture = writeAndLoad(dir, axisPoint(c.depthMm));
    ASSERT_TRUE(exportPhoto(capture, c.nodes, 10.0f, 2.0f, "gray.svg")) << error;
    const std::vector<std::string> rects = rectLines(path);
    if (c.fill == nullptr) {
      EXPECT_TRUE(rects.empty());
    } else {
      ASSERT_EQ(rects.size(), 1u);
      EXPECT_EQ(rects[0], std::string("<rect x=\"31.0000\" y=\"23.0000\" width=\"2.0000\" height=\"2.0000\" fill=\"") +
                              c.fill + "\"/>");
    }
  }
}

TEST_F(PhotoSvgTest, ColorsUseThePictureOnlyInColorModeAndRoundHalvesUp) {
  PhotoFixture fixture = axisPoint(10000, newerModel({{"color_mode", true}}));
  fixture.rgb = {10, 20, 30};
  pcp::CaptureData capture = writeAndLoad(dir, fixture);
  ASSERT_EQ(capture.colors.size(), 1u);
  capture.colors[0] = {1.0f, 0.5f, 0.0f};
  ASSERT_TRUE(exportPhoto(capture, {}, 10.0f, 2.0f, "color.svg")) << error;
  ASSERT_EQ(rectLines(path).size(), 1u);
  EXPECT_NE(rectLines(path)[0].find("fill=\"#ff8000\""), std::string::npos) << rectLines(path)[0];

  capture.metadata["color_mode"] = false;
  ASSERT_TRUE(exportPhoto(capture, {}, 10.0f, 2.0f, "gray.svg")) << error;
  EXPECT_NE(rectLines(path)[0].find("fill=\"#ffffff\""), std::string::npos);

  const pcp::CaptureData noPicture = writeAndLoad(dir, axisPoint(10000, newerModel({{"color_mode", true}})));
  ASSERT_TRUE(exportPhoto(noPicture, {}, 10.0f, 2.0f, "nopicture.svg")) << error;
  EXPECT_NE(rectLines(path)[0].find("fill=\"#ffffff\""), std::string::npos);
}

TEST_F(PhotoSvgTest, PointSizeZeroBecomesATenth) {
  const pcp::CaptureData capture = writeAndLoad(dir, axisPoint(2000));
  ASSERT_TRUE(exportPhoto(capture, {}, 10.0f, 0.0f, "tiny.svg")) << error;
  ASSERT_EQ(rectLines(path).size(), 1u);
  EXPECT_NE(rectLines(path)[0].find("width=\"0.1000\" height=\"0.1000\""), std::string::npos);
}

// Points along the axis at several depths, each with the clip outcome the camera gives it.
struct ClipCase {
  const char* name;
  nlohmann::json camera;
  float maxDistance;
  uint16_t depthMm;
  bool drawn;
};

TEST_F(PhotoSvgTest, ClipsToTheViewVolume) {
  // Eye at z = 16: the far plane (maxDistance + 10 = 15) lies 10.8 + Z from the eye.
  const nlohmann::json farEye = {{"camera_pos", {0, 0, 16}}};
  // Eye at z = 3: a point is 2.2 - Z behind the eye, and the near plane is 0.1 in front.
  const nlohmann::json nearEye = {{"camera_pos", {0, 0, 3}}};
  const std::vector<ClipCase> cases = {
      {"inside the far plane", farEye, 5.0f, 4000, true},
      {"beyond the far plane", farEye, 5.0f, 4500, false},
      {"past the near plane", nearEye, 5.0f, 2500, true},
      {"before the near plane", nearEye, 5.0f, 2250, false},
      {"behind the eye", nearEye, 5.0f, 1000, false},
  };
  for (const ClipCase& c : cases) {
    SCOPED_TRACE(c.name);
    const pcp::CaptureData capture = writeAndLoad(dir, axisPoint(c.depthMm, newerModel(c.camera)));
    ASSERT_TRUE(exportPhoto(capture, {}, c.maxDistance, 1.0f, "clip.svg")) << error;
    EXPECT_EQ(rectLines(path).size(), c.drawn ? 1u : 0u);
  }
  // Off to the side of the frustum.
  PhotoFixture aside;
  aside.width = 2;
  aside.depth = {2200, 2200};
  aside.meta = newerModel({{"fx", 0.1}, {"fy", 1.0}, {"cx", 0.0}, {"cy", 0.0}});
  const pcp::CaptureData wide = writeAndLoad(dir, aside);
  ASSERT_TRUE(exportPhoto(wide, {}, 5.0f, 1.0f, "aside.svg")) << error;
  EXPECT_EQ(rectLines(path).size(), 1u) << "only the point on the axis is inside";
}

TEST_F(PhotoSvgTest, PaintsFarPointsFirst) {
  PhotoFixture fixture;
  fixture.width = 3;
  fixture.depth = {2000, 4000, 3000};
  fixture.meta = newerModel({{"fx", 100.0}, {"fy", 100.0}, {"cx", 1.0}, {"cy", 0.0}});
  const pcp::CaptureData capture = writeAndLoad(dir, fixture);
  ASSERT_TRUE(exportPhoto(capture, {}, 5.0f, 1.0f, "order.svg")) << error;
  const std::vector<std::string> rects = rectLines(path);
  ASSERT_EQ(rects.size(), 3u);
  EXPECT_NE(rects[0].find("#cccccc"), std::string::npos) << "4 m of 5 first";
  EXPECT_NE(rects[1].find("#999999"), std::string::npos);
  EXPECT_NE(rects[2].find("#666666"), std::string::npos);
}

TEST_F(PhotoSvgTest, SamplingHalfATileWritesExactlyHalfItsPoints) {
  PhotoFixture fixture;
  fixture.width = 256;
  fixture.height = 256;
  fixture.depth.assign(256 * 256, 3000);
  fixture.meta = newerModel({{"fx", 2000.0}, {"fy", 2000.0}});
  const pcp::CaptureData capture = writeAndLoad(dir, fixture);
  for (const auto& [ratio, kept] : std::vector<std::pair<float, size_t>>{{0.5f, 32768}, {0.05f, 13107}, {1.0f, 65536}}) {
    SCOPED_TRACE(ratio);
    ASSERT_TRUE(exportPhoto(capture, {}, 5.0f, 1.0f, "sampled.svg", {}, ratio)) << error;
    EXPECT_EQ(rectLines(path).size(), kept);
  }
}

TEST_F(PhotoSvgTest, ProgressRunsThroughProjectionThenWriting) {
  PhotoFixture fixture;
  fixture.width = 100;
  fixture.height = 50;
  fixture.depth.assign(5000, 3000);
  fixture.meta = newerModel({{"fx", 2000.0}, {"fy", 2000.0}});
  const pcp::CaptureData capture = writeAndLoad(dir, fixture);
  std::vector<float> seen;
  ASSERT_TRUE(exportPhoto(capture, {}, 5.0f, 1.0f, "progress.svg", [&seen](float f) {
    seen.push_back(f);
    return true;
  })) << error;
  const std::vector<float> projection = {0.0f, 0.4f * 1024 / 5000, 0.4f * 2048 / 5000, 0.4f * 3072 / 5000,
                                         0.4f * 4096 / 5000};
  ASSERT_GE(seen.size(), projection.size() + 3);
  for (size_t i = 0; i < projection.size(); ++i) EXPECT_FLOAT_EQ(seen[i], projection[i]);
  EXPECT_FLOAT_EQ(seen[5], 0.4f) << "the writer's 0";
  EXPECT_FLOAT_EQ(seen[6], 0.4f + 0.6f * 0.12f);
  EXPECT_FLOAT_EQ(seen.back(), 1.0f);

  int calls = 0;
  EXPECT_FALSE(exportPhoto(capture, {}, 5.0f, 1.0f, "cancelled.svg", [&calls](float) { return ++calls < 3; }));
  EXPECT_EQ(error, "已取消");
  EXPECT_FALSE(std::filesystem::exists(path)) << "cancelled while projecting: no file yet";
}

// --- raster cross-check ----------------------------------------------------------------------------

class SvgRasterTest : public GlTest {};

// A small wavy surface rendered by the GPU and, through the SVG, by librsvg: the two pictures agree.
TEST_F(SvgRasterTest, RasterisedSvgMatchesTheRasterRender) {
  const std::string rsvg = platform::findOnPath("rsvg-convert");
  if (rsvg.empty()) GTEST_SKIP() << "rsvg-convert (librsvg2-bin) is not installed";
  TempDir dir;
  PhotoFixture fixture;
  fixture.width = 40;
  fixture.height = 30;
  for (uint32_t y = 0; y < fixture.height; ++y) {
    for (uint32_t x = 0; x < fixture.width; ++x) {
      const bool hole = (x * 7 + y * 3) % 11 == 0;
      fixture.depth.push_back(hole ? 0 : static_cast<uint16_t>(2000 + 60 * x + 40 * y + (x * y) % 17 * 30));
    }
  }
  fixture.meta = newerModel({{"fx", 40.0}, {"fy", 40.0}});
  const pcp::CaptureData capture = writeAndLoad(dir, fixture);
  const std::vector<SliderPoint> nodes = {{0.0f, 0.1f, 1}, {0.5f, 1.0f, 2}, {0.9f, 0.3f, 3}};
  constexpr int kWidth = 200;
  constexpr int kHeight = 120;
  constexpr float kMaxDistance = 6.0f;
  constexpr float kPointSize = 4.0f;

  pcp::PointCloudRenderer renderer;
  std::string error;
  ASSERT_TRUE(renderer.initialize(error)) << error;
  ASSERT_TRUE(renderer.upload(capture, error)) << error;
  std::vector<uint8_t> raster;
  ASSERT_TRUE(renderer.renderToPixels(capture, nodes, kMaxDistance, kPointSize, kWidth, kHeight, raster, error, 0.5f))
      << error;

  const std::string svg = dir.file("photo.svg");
  const std::string png = dir.file("photo.png");
  ASSERT_TRUE(pcp::exportSvg(capture, nodes, kMaxDistance, kPointSize, kWidth, kHeight, svg, error, {}, 0.5f))
      << error;
  std::string output;
  ASSERT_TRUE(platform::runForOutput({rsvg, "-w", std::to_string(kWidth), "-h", std::to_string(kHeight), "-o", png, svg},
                                     output));
  int w = 0, h = 0, channels = 0;
  unsigned char* drawn = stbi_load(png.c_str(), &w, &h, &channels, 4);
  ASSERT_NE(drawn, nullptr);
  ASSERT_EQ(w, kWidth);
  ASSERT_EQ(h, kHeight);

  // librsvg antialiases square edges that fall between pixels while GL covers whole pixels, so
  // the pictures are compared as averages over 8 x 8 blocks; a square snapped by half a pixel
  // across a block edge still moves some brightness between blocks.
  constexpr int kBlock = 8;
  static_assert(kWidth % kBlock == 0 && kHeight % kBlock == 0, "the blocks cover the picture");
  // Overall brightness and its centre of mass must agree too: no shift, flip or curve mismatch.
  double rasterTotal = 0.0, drawnTotal = 0.0, rasterX = 0.0, drawnX = 0.0, rasterY = 0.0, drawnY = 0.0;
  double largestDifference = 0.0;
  double totalDifference = 0.0;
  int blocks = 0;
  int litRaster = 0;
  for (int by = 0; by + kBlock <= kHeight; by += kBlock) {
    for (int bx = 0; bx + kBlock <= kWidth; bx += kBlock) {
      double rasterSum = 0.0, drawnSum = 0.0;
      for (int y = by; y < by + kBlock; ++y) {
        for (int x = bx; x < bx + kBlock; ++x) {
          const size_t green = (static_cast<size_t>(y) * kWidth + static_cast<size_t>(x)) * 4 + 1;
          rasterSum += raster[green];
          drawnSum += drawn[green];
          rasterX += raster[green] * (x + 0.5);
          drawnX += drawn[green] * (x + 0.5);
          rasterY += raster[green] * (y + 0.5);
          drawnY += drawn[green] * (y + 0.5);
          litRaster += raster[green] > 0 ? 1 : 0;
        }
      }
      const double difference = std::fabs(rasterSum - drawnSum) / (kBlock * kBlock);
      largestDifference = std::max(largestDifference, difference);
      rasterTotal += rasterSum;
      drawnTotal += drawnSum;
      totalDifference += difference;
      ++blocks;
    }
  }
  EXPECT_NEAR(drawnTotal / rasterTotal, 1.0, 0.02);
  EXPECT_NEAR(drawnX / drawnTotal, rasterX / rasterTotal, 0.25);
  EXPECT_NEAR(drawnY / drawnTotal, rasterY / rasterTotal, 0.25);
  stbi_image_free(drawn);
  EXPECT_GT(litRaster, kWidth * kHeight / 10) << "the photo covers a good part of the picture";
  EXPECT_LT(totalDifference / blocks, 5.0);
  EXPECT_LT(largestDifference, 28.0) << "mean block difference " << totalDifference / blocks;
}

}  // namespace
