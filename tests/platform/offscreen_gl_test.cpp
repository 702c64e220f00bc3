#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "child_process.h"
#include "gl_framebuffer.h"
#include "offscreen_gl.h"
#include "platform_paths.h"
#include "platform_test_support.h"

namespace {

using platform::GlFramebuffer;
using platform::OffscreenGlContext;
using platform_test::ScopedEnv;
using Color = std::array<uint8_t, 4>;

void clearTo(const Color& color) {
  glClearColor(color[0] / 255.0f, color[1] / 255.0f, color[2] / 255.0f, color[3] / 255.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

// Index of the first pixel (counted top row first) that differs from `expected` for its row, or -1.
template <typename RowColor>
long firstWrongPixel(const std::vector<uint8_t>& pixels, int width, size_t channels, RowColor expectedForRow) {
  for (size_t index = 0; index * channels < pixels.size(); ++index) {
    const Color expected = expectedForRow(static_cast<int>(index / static_cast<size_t>(width)));
    for (size_t channel = 0; channel < channels; ++channel) {
      if (pixels[index * channels + channel] != expected[channel]) return static_cast<long>(index);
    }
  }
  return -1;
}

// Clears a fresh framebuffer and checks every pixel of both read-backs.
bool clearAndReadBack(std::string& failure) {
  std::string error;
  const auto framebuffer = GlFramebuffer::create(7, 5, error);
  if (!framebuffer) {
    failure = error;
    return false;
  }
  const Color color{10, 200, 30, 128};
  clearTo(color);
  std::vector<uint8_t> rgb, rgba;
  if (!framebuffer->readRgb(rgb) || !framebuffer->readRgba(rgba)) {
    failure = "read-back failed";
    return false;
  }
  const auto uniform = [&](int) { return color; };
  if (rgb.size() != 7u * 5u * 3u || rgba.size() != 7u * 5u * 4u) {
    failure = "wrong read-back size";
    return false;
  }
  if (firstWrongPixel(rgb, 7, 3, uniform) != -1 || firstWrongPixel(rgba, 7, 4, uniform) != -1) {
    failure = "wrong pixel";
    return false;
  }
  return true;
}

class EglContext : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::string error;
    context_ = OffscreenGlContext::create(error);
    ASSERT_TRUE(context_) << error;
    ASSERT_EQ(context_->kind(), OffscreenGlContext::Kind::EglSurfaceless);
  }
  std::unique_ptr<OffscreenGlContext> context_;
};

TEST_F(EglContext, RendersWithoutAnyDisplay) {
  std::string failure;
  EXPECT_TRUE(clearAndReadBack(failure)) << failure;
  EXPECT_NE(epoxy_gl_version(), 0);
}

TEST_F(EglContext, ReadBackStartsWithTheTopRow) {
  std::string error;
  const int width = 5, height = 6;
  const auto framebuffer = GlFramebuffer::create(width, height, error);
  ASSERT_TRUE(framebuffer) << error;
  const Color black{0, 0, 0, 255}, red{255, 0, 0, 255};
  clearTo(black);
  // GL counts rows from the bottom: this band is the top two rows of the picture.
  glEnable(GL_SCISSOR_TEST);
  glScissor(0, height - 2, width, 2);
  clearTo(red);
  glDisable(GL_SCISSOR_TEST);
  std::vector<uint8_t> rgb;
  ASSERT_TRUE(framebuffer->readRgb(rgb));
  EXPECT_EQ(firstWrongPixel(rgb, width, 3, [&](int row) { return row < 2 ? red : black; }), -1);
}

TEST_F(EglContext, UnusableSizesFailWithAnError) {
  GLint textureLimit = 0, renderbufferLimit = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &textureLimit);
  glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE_EXT, &renderbufferLimit);
  const int tooLarge = std::min(textureLimit, renderbufferLimit) + 1;
  for (const auto& [width, height] : std::vector<std::pair<int, int>>{{tooLarge, 1}, {1, tooLarge}, {0, 4}, {4, -1}}) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    std::string error;
    EXPECT_FALSE(GlFramebuffer::create(width, height, error));
    EXPECT_FALSE(error.empty());
  }
  std::string failure;
  EXPECT_TRUE(clearAndReadBack(failure)) << failure;
}

TEST_F(EglContext, ClosingASecondContextLeavesTheFirstWorking) {
  std::string error;
  auto second = OffscreenGlContext::create(error);
  ASSERT_TRUE(second) << error;
  second.reset();
  ASSERT_TRUE(context_->makeCurrent());
  std::string failure;
  EXPECT_TRUE(clearAndReadBack(failure)) << failure;
}

// These run only inside the child process started by FallbackContext, whose EGL cannot find Mesa's
// vendor library: glvnd reads its vendor list once per process, so the test process cannot.
class FallbackChild : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("TESSALINE_FALLBACK_CHILD") == nullptr) GTEST_SKIP() << "runs inside FallbackContext";
  }
};

// glfwTerminate unloads the GL driver and X extension libraries GLFW opened; a leak report about
// memory they allocated could then not name its module, and the suppressions match module names.
void keepLoadedLibrariesMapped() {
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void*) {
        if (info->dlpi_name != nullptr && info->dlpi_name[0] == '/') {
          dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        }
        return 0;
      },
      nullptr);
}

TEST_F(FallbackChild, HiddenGlfwWindowRenders) {
  std::string error, failure;
  const auto context = OffscreenGlContext::create(error);
  ASSERT_TRUE(context) << error;
  keepLoadedLibrariesMapped();
  EXPECT_EQ(context->kind(), OffscreenGlContext::Kind::HiddenGlfwWindow);
  EXPECT_TRUE(clearAndReadBack(failure)) << failure;
}

TEST_F(FallbackChild, BothFailuresAreNamed) {
  std::string error;
  EXPECT_FALSE(OffscreenGlContext::create(error));
  EXPECT_THAT(error, ::testing::MatchesRegex("no offscreen OpenGL context: EGL surfaceless: .+; "
                                             "hidden GLFW window: glfwInit failed"));
}

class FallbackContext : public ::testing::Test {
 protected:
  // Runs one FallbackChild test in a fresh process of this program; true when it passed.
  static bool runChild(const std::string& test, std::string& output) {
    ScopedEnv marker("TESSALINE_FALLBACK_CHILD", "1");
    ScopedEnv noEglVendor("__EGL_VENDOR_LIBRARY_FILENAMES", "/nonexistent/egl_vendor.json");
    ScopedEnv noWayland("WAYLAND_DISPLAY", std::nullopt);
    const std::vector<std::string> arguments{platform::executablePath(), "--gtest_filter=FallbackChild." + test};
    return platform::runForOutput(arguments, output) && output.find("[  PASSED  ] 1 test") != std::string::npos;
  }
};

TEST_F(FallbackContext, UsesAHiddenGlfwWindowWhenEglFails) {
  platform_test::XvfbServer server;
  if (server.display().empty()) GTEST_SKIP() << "Xvfb could not start";
  ScopedEnv display("DISPLAY", server.display());
  std::string output;
  EXPECT_TRUE(runChild("HiddenGlfwWindowRenders", output)) << output;
}

TEST_F(FallbackContext, NamesBothFailuresWhenNothingWorks) {
  ScopedEnv display("DISPLAY", std::nullopt);
  std::string output;
  EXPECT_TRUE(runChild("BothFailuresAreNamed", output)) << output;
}

}  // namespace
