#pragma once
// Frames, recordings and a GL context shared by the browser tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame_data.h"
#include "offscreen_gl.h"
#include "pcv_writer.h"
#include "video_program.h"
#include "video_renderer.h"

namespace browsertest {

// A width x height frame with no measurement anywhere; default intrinsics centred on the image.
inline FrameData emptyFrame(uint32_t width, uint32_t height) {
  FrameData frame;
  frame.width = width;
  frame.height = height;
  frame.cx = static_cast<float>(width) / 2;
  frame.cy = static_cast<float>(height) / 2;
  frame.depth.assign(static_cast<size_t>(width) * height, 0);
  return frame;
}

// Frame i of a small recording: a patch of depth whose distance depends on i, and a timecode.
inline pcvwrite::Frame recordingFrame(int i, int width = 64, int height = 48) {
  pcvwrite::Frame frame;
  frame.metaJson = R"({"depth_width":)" + std::to_string(width) + R"(,"depth_height":)" + std::to_string(height) +
                   R"(,"fx":60,"fy":60,"cx":32,"cy":24,"capture_index":)" + std::to_string(i) +
                   R"(,"timecode":"01:00:00:0)" + std::to_string(i % 10) + R"("})";
  frame.depth.assign(static_cast<size_t>(width) * height, 0);
  for (int v = 10; v < 30; ++v) {
    for (int u = 20; u < 40; ++u) frame.depth[static_cast<size_t>(v * width + u)] = static_cast<uint16_t>(2000 + 500 * i);
  }
  return frame;
}

inline std::vector<pcvwrite::Frame> recordingFrames(int count) {
  std::vector<pcvwrite::Frame> frames;
  for (int i = 0; i < count; ++i) frames.push_back(recordingFrame(i));
  return frames;
}

inline size_t litPixels(const ImageRGB& image) {
  size_t lit = 0;
  for (size_t i = 0; i + 2 < image.pixels.size(); i += 3) {
    if (image.pixels[i] != 0 || image.pixels[i + 1] != 0 || image.pixels[i + 2] != 0) ++lit;
  }
  return lit;
}

// An EGL context current on the test thread with the video point program built.
class GlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    context_ = platform::OffscreenGlContext::create(error);
    ASSERT_TRUE(context_) << error;
    std::string status;
    ASSERT_TRUE(initVideoPointProgram(status)) << status;
  }
  void TearDown() override { deleteVideoPointProgram(); }

 private:
  std::unique_ptr<platform::OffscreenGlContext> context_;
};

}  // namespace browsertest
