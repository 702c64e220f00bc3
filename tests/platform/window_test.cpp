#include <gtest/gtest.h>

#include <GLFW/glfw3.h>

#include <tuple>

#include "macos_utils.h"
#include "platform_test_support.h"

namespace {

using platform_test::ScopedEnv;

TEST(WindowFunctions, NullWindowIsIgnored) {
  EXPECT_FALSE(macos_enter_borderless_fullscreen(nullptr));
  macos_exit_borderless_fullscreen(nullptr);
  macos_set_window_floating(nullptr, true);
}

struct Geometry {
  int x, y, width, height;
  bool decorated, floating;
  bool operator==(const Geometry& other) const {
    return std::tie(x, y, width, height, decorated, floating) ==
           std::tie(other.x, other.y, other.width, other.height, other.decorated, other.floating);
  }
};

std::ostream& operator<<(std::ostream& out, const Geometry& g) {
  return out << g.width << "x" << g.height << "+" << g.x << "+" << g.y << (g.decorated ? " decorated" : "")
             << (g.floating ? " floating" : "");
}

// A real window on a private X server with no window manager, so geometry requests apply as made.
class RealWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (server_.display().empty()) GTEST_SKIP() << "Xvfb could not start";
    display_.emplace("DISPLAY", server_.display());
    ASSERT_EQ(glfwInit(), GLFW_TRUE);
    glfwWindowHint(GLFW_CLIENT_API, GLFW_NO_API);
    window_ = glfwCreateWindow(320, 240, "platform test", nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
    glfwSetWindowPos(window_, 50, 60);
    settle();
  }
  void TearDown() override {
    if (window_ != nullptr) glfwDestroyWindow(window_);
    if (!server_.display().empty()) glfwTerminate();
  }

  // Geometry requests are asynchronous on X; a short event loop lets the server apply them.
  void settle() {
    for (int round = 0; round < 5; ++round) {
      glfwWaitEventsTimeout(0.02);
    }
  }
  Geometry geometry() {
    settle();
    Geometry g{};
    glfwGetWindowPos(window_, &g.x, &g.y);
    glfwGetWindowSize(window_, &g.width, &g.height);
    g.decorated = glfwGetWindowAttrib(window_, GLFW_DECORATED) == GLFW_TRUE;
    g.floating = glfwGetWindowAttrib(window_, GLFW_FLOATING) == GLFW_TRUE;
    return g;
  }

  platform_test::XvfbServer server_;
  std::optional<ScopedEnv> display_;
  GLFWwindow* window_ = nullptr;
};

const Geometry kNormal{50, 60, 320, 240, true, false};
const Geometry kFullScreen{0, 0, 1280, 720, false, true};

TEST_F(RealWindow, FloatingFollowsTheRequest) {
  macos_set_window_floating(window_, true);
  EXPECT_TRUE(geometry().floating);
  macos_set_window_floating(window_, false);
  EXPECT_FALSE(geometry().floating);
}

TEST_F(RealWindow, BorderlessFullScreenCoversTheMonitorAndExitRestores) {
  ASSERT_EQ(geometry(), kNormal);
  EXPECT_TRUE(macos_enter_borderless_fullscreen(window_));
  EXPECT_EQ(geometry(), kFullScreen);
  macos_exit_borderless_fullscreen(window_);
  EXPECT_EQ(geometry(), kNormal);
  // Leaving again without entering changes nothing.
  macos_exit_borderless_fullscreen(window_);
  EXPECT_EQ(geometry(), kNormal);
}

TEST_F(RealWindow, SecondEntryOverwritesTheSavedState) {
  ASSERT_TRUE(macos_enter_borderless_fullscreen(window_));
  ASSERT_TRUE(macos_enter_borderless_fullscreen(window_));
  macos_exit_borderless_fullscreen(window_);
  EXPECT_EQ(geometry(), kFullScreen);
}

}  // namespace
