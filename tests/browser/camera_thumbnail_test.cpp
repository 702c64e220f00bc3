#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "browser_test_support.h"
#include "camera_thumbnail.h"

using browsertest::emptyFrame;
using browsertest::litPixels;
using pcv0930::cameraThumbnail;

namespace {

const auto kNever = [] { return false; };

uint8_t grayAt(const ImageRGB& image, int column, int row) {
  return image.pixels[(static_cast<size_t>(row) * image.width + column) * 3];
}

// One sample on the optical axis at depthMm: it lands on the picture's centre.
FrameData centreSample(uint16_t depthMm, const std::string& meta) {
  FrameData frame = emptyFrame(64, 48);
  frame.metaJson = meta;
  frame.depth[24 * 64 + 32] = depthMm;
  return frame;
}

struct Centroid {
  double x = 0;
  double y = 0;
};

Centroid litCentroid(const ImageRGB& image) {
  Centroid sum;
  size_t count = 0;
  for (int row = 0; row < image.height; ++row) {
    for (int column = 0; column < image.width; ++column) {
      if (grayAt(image, column, row) == 0) continue;
      sum.x += column;
      sum.y += row;
      ++count;
    }
  }
  if (count != 0) {
    sum.x /= static_cast<double>(count);
    sum.y /= static_cast<double>(count);
  }
  return sum;
}

}  // namespace

TEST(CameraThumbnail, GrayFollowsTheThreeDistanceNodes) {
  const std::string meta = R"({"D1":0,"D2":10,"D3":20})";
  struct Case {
    uint16_t depth;
    uint8_t gray;
  };
  for (const Case c : {Case{10000, 255}, Case{5000, 127}, Case{15000, 127}, Case{2500, 63}}) {
    SCOPED_TRACE(c.depth);
    const ImageRGB image = cameraThumbnail(centreSample(c.depth, meta), kNever);
    ASSERT_EQ(image.width, 1600);
    ASSERT_EQ(image.height, 960);
    // The splat covers two columns and two rows around the centre.
    EXPECT_EQ(grayAt(image, 799, 480), c.gray);
    EXPECT_EQ(grayAt(image, 798, 479), c.gray);
    EXPECT_EQ(litPixels(image), c.gray == 0 ? 0u : 4u);
  }
  EXPECT_EQ(litPixels(cameraThumbnail(centreSample(20000, meta), kNever)), 0u);  // 20 m is black

  // Millimetres become metres by multiplying with 0.001; dividing by 1000 rounds these
  // distances onto the neighbouring gray.
  for (const Case c : {Case{1400, 119}, Case{2800, 238}, Case{4600, 118}}) {
    SCOPED_TRACE(c.depth);
    EXPECT_EQ(grayAt(cameraThumbnail(centreSample(c.depth, R"({"D1":0,"D2":3,"D3":6})"), kNever), 799, 480), c.gray);
  }
}

TEST(CameraThumbnail, NothingBeyondTwentyMetresWhateverTheDisplayDistance) {
  const std::string meta = R"({"max_display_distance":40,"D1":0,"D2":10,"D3":40})";
  EXPECT_EQ(litPixels(cameraThumbnail(centreSample(19000, meta), kNever)), 4u);
  EXPECT_EQ(litPixels(cameraThumbnail(centreSample(25000, meta), kNever)), 0u);
  // A smaller display distance cuts nearer.
  EXPECT_EQ(litPixels(cameraThumbnail(centreSample(6000, R"({"max_display_distance":5})"), kNever)), 0u);
}

TEST(CameraThumbnail, UnusableIntrinsicsGiveABlackPicture) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& [fx, fy] : {std::pair{0.0f, 500.0f}, std::pair{500.0f, -1.0f}, std::pair{nan, 500.0f}}) {
    FrameData frame = centreSample(5000, "{}");
    frame.fx = fx;
    frame.fy = fy;
    const ImageRGB image = cameraThumbnail(frame, kNever);
    EXPECT_TRUE(image.complete());
    EXPECT_EQ(litPixels(image), 0u);
  }
}

TEST(CameraThumbnail, MetadataThatIsNotUsableFallsBackToDefaults) {
  // Broken JSON, wrong types and a three-number vector given as a string all use the defaults.
  for (const std::string& meta : {std::string("not json"), std::string("[1,2]"),
                                 std::string(R"({"D2":"10","camera_pos":"0,0,5","camera_up":[0,1]})")}) {
    SCOPED_TRACE(meta);
    EXPECT_EQ(grayAt(cameraThumbnail(centreSample(10000, meta), kNever), 799, 480), 255);
  }
  // A camera moved sideways no longer sees the point at the centre.
  const ImageRGB moved = cameraThumbnail(centreSample(10000, R"({"camera_pos":[3,0,5],"camera_target":[3,0,0]})"),
                                         kNever);
  EXPECT_EQ(grayAt(moved, 799, 480), 0);
  EXPECT_EQ(litPixels(moved), 4u);
}

TEST(CameraThumbnail, StopsBetweenRowsWhenCancelled) {
  const FrameData frame = centreSample(5000, "{}");
  int checks = 0;
  const ImageRGB cancelled = cameraThumbnail(frame, [&checks] { return ++checks == 3; });
  EXPECT_TRUE(cancelled.empty());
  EXPECT_EQ(checks, 3);

  checks = 0;
  EXPECT_FALSE(cameraThumbnail(frame, [&checks] { return ++checks > 48; }).empty());
  EXPECT_EQ(checks, 48);  // once per row
}

class CameraThumbnailGpu : public browsertest::GlTest {};

TEST_F(CameraThumbnailGpu, OrientationMatchesTheGpuRendererDefaultOutput) {
  // A patch in the capture's top-left quarter, and a smaller one at its right edge.
  FrameData frame = emptyFrame(640, 576);
  for (int v = 100; v < 160; ++v) {
    for (int u = 120; u < 200; ++u) frame.depth[static_cast<size_t>(v) * 640 + u] = 3000;
  }
  for (int v = 400; v < 420; ++v) {
    for (int u = 560; u < 580; ++u) frame.depth[static_cast<size_t>(v) * 640 + u] = 3000;
  }
  const ImageRGB software = cameraThumbnail(frame, kNever);
  const ImageRGB gpu = renderGpuFrameToImage(frame, RenderParams{}, 1600, 960, false, false);
  ASSERT_TRUE(gpu.complete());
  ASSERT_GT(litPixels(software), 0u);
  ASSERT_GT(litPixels(gpu), 0u);
  const Centroid a = litCentroid(software);
  const Centroid b = litCentroid(gpu);
  EXPECT_NEAR(a.x, b.x, 3.0);
  EXPECT_NEAR(a.y, b.y, 3.0);
}
