// Starts the real editor under the X server of xvfb-run, finds its window, looks at what it drew
// and closes it the way a window manager would.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <stb_image_write.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "pcv_writer.h"
#include "test_support.h"

// Last: Xlib defines macros such as None and Bool that clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The current environment with HOME replaced and the XDG folders (and optionally DISPLAY) removed.
std::vector<std::string> childEnvironment(const std::string& home, bool withDisplay) {
  std::vector<std::string> result;
#ifdef TESSALINE_PRELOAD_GL_DRIVER
  // Mesa unloads its driver when the window library terminates, and LeakSanitizer can then no
  // longer name the library that kept its allocations; preloading keeps the driver mapped so the
  // suppressions of the system GL libraries apply.
  std::string asanOptions = "ASAN_OPTIONS=verify_asan_link_order=0";
  result.push_back(std::string("LD_PRELOAD=") + TESSALINE_PRELOAD_GL_DRIVER);
#endif
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (name == "HOME" || name == "XDG_CONFIG_HOME" || name == "XDG_CACHE_HOME") continue;
    if (name == "DISPLAY" && !withDisplay) continue;
#ifdef TESSALINE_PRELOAD_GL_DRIVER
    if (name == "LD_PRELOAD") continue;
    if (name == "ASAN_OPTIONS") {
      asanOptions = text + ":verify_asan_link_order=0";
      continue;
    }
#endif
    result.push_back(text);
  }
#ifdef TESSALINE_PRELOAD_GL_DRIVER
  result.push_back(asanOptions);
#endif
  result.push_back("HOME=" + home);
  return result;
}

// A child process of the editor with its standard error in a file.
class Editor {
 public:
  Editor(const std::vector<std::string>& arguments, const std::string& home, const std::string& stderrPath,
         bool withDisplay = true) {
    std::vector<std::string> argv{TESSALINE_EXECUTABLE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> argPointers;
    for (std::string& argument : argv) argPointers.push_back(argument.data());
    argPointers.push_back(nullptr);
    std::vector<std::string> env = childEnvironment(home, withDisplay);
    std::vector<char*> envPointers;
    for (std::string& entry : env) envPointers.push_back(entry.data());
    envPointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    started_ = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, argPointers.data(), envPointers.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Editor() {
    if (started_ && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Editor(const Editor&) = delete;
  Editor& operator=(const Editor&) = delete;

  bool started() const { return started_; }
  // The exit code, or -1 when the process did not exit normally within the timeout.
  int waitForExit(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = 0;
  bool started_ = false;
  bool exited_ = false;
};

Window findWindowNamed(Display* display, Window parent, const char* name) {
  char* windowName = nullptr;
  if (XFetchName(display, parent, &windowName) && windowName) {
    const bool match = std::strcmp(windowName, name) == 0;
    XFree(windowName);
    if (match) return parent;
  }
  Window root = 0;
  Window parentOfParent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  Window found = 0;
  if (XQueryTree(display, parent, &root, &parentOfParent, &children, &count)) {
    for (unsigned int i = 0; i < count && !found; ++i) found = findWindowNamed(display, children[i], name);
    if (children) XFree(children);
  }
  return found;
}

Window waitForWindow(Display* display, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const Window window = findWindowNamed(display, DefaultRootWindow(display), "Tessaline");
    XWindowAttributes attributes;
    if (window && XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable) {
      return window;
    }
    std::this_thread::sleep_for(100ms);
  }
  return 0;
}

void sendDeleteWindow(Display* display, Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
}

struct Screenshot {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
  uint32_t pixel(int x, int y) const {
    const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
  }
};

Screenshot capture(Display* display, Window window, int width, int height) {
  Screenshot shot;
  XImage* image = XGetImage(display, window, 0, 0, width, height, AllPlanes, ZPixmap);
  if (!image) return shot;
  shot.width = width;
  shot.height = height;
  shot.rgb.reserve(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const unsigned long value = XGetPixel(image, x, y);
      shot.rgb.push_back(static_cast<uint8_t>((value & image->red_mask) >> 16));
      shot.rgb.push_back(static_cast<uint8_t>((value & image->green_mask) >> 8));
      shot.rgb.push_back(static_cast<uint8_t>(value & image->blue_mask));
    }
  }
  XDestroyImage(image);
  return shot;
}

class GuiSmoke : public ::testing::Test {
 protected:
  void SetUp() override {
    display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr) << "needs an X server (run under xvfb-run)";
    fs::create_directories(samples + "/更多素材");
    pcvwrite::Frame frame;
    frame.metaJson = R"({"width":2,"height":2})";
    frame.depth = {1000, 1200, 0, 1500};
    ASSERT_TRUE(pcvwrite::writeRecording(samples + "/take", {frame, frame}, 1, pcvwrite::IndexStyle::Embedded));
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
  }

  apptest::TempFolder temp;
  const std::string home = temp / "home";
  const std::string samples = temp / "samples";
  Display* display = nullptr;
};

TEST_F(GuiSmoke, OpensTheFolderDrawsAndClosesCleanly) {
  fs::create_directories(home);
  Editor editor({samples}, home, temp / "stderr.txt");
  ASSERT_TRUE(editor.started());
  const Window window = waitForWindow(display, 20s);
  ASSERT_NE(window, 0u) << apptest::readText(temp / "stderr.txt");
  XWindowAttributes attributes;
  ASSERT_TRUE(XGetWindowAttributes(display, window, &attributes));
  EXPECT_EQ(attributes.width, 1600);
  EXPECT_EQ(attributes.height, 1000);

  std::this_thread::sleep_for(3s);
  const Screenshot shot = capture(display, window, attributes.width, attributes.height);
  ASSERT_EQ(shot.width, 1600);
  const char* buildDir = std::getenv("TESSALINE_BUILD_DIR");
  const std::string png = std::string(buildDir ? buildDir : ".") + "/app_gui_smoke.png";
  EXPECT_TRUE(stbi_write_png(png.c_str(), shot.width, shot.height, 3, shot.rgb.data(), shot.width * 3));

  std::set<uint32_t> colours;
  size_t clearColour = 0;
  const uint32_t clear = (18u << 16) | (18u << 8) | 20u;  // (0.07, 0.07, 0.08)
  for (int y = 0; y < shot.height; ++y) {
    for (int x = 0; x < shot.width; ++x) {
      colours.insert(shot.pixel(x, y));
      if (shot.pixel(x, y) == clear) ++clearColour;
    }
  }
  EXPECT_GT(colours.size(), 20u);
  EXPECT_LT(clearColour, static_cast<size_t>(shot.width) * shot.height / 2);
  // The first text line is the folder path: light glyph pixels on the dark window background.
  size_t brightInPathLine = 0;
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 800; ++x) {
      const uint32_t p = shot.pixel(x, y);
      if (((p >> 16) & 0xff) > 160 && ((p >> 8) & 0xff) > 160 && (p & 0xff) > 160) ++brightInPathLine;
    }
  }
  EXPECT_GT(brightInPathLine, 100u);

  sendDeleteWindow(display, window);
  EXPECT_EQ(editor.waitForExit(10s), 0) << apptest::readText(temp / "stderr.txt");
  EXPECT_TRUE(fs::exists(home + "/.config/tessaline/1002/imgui.ini"));
}

TEST_F(GuiSmoke, InspectFlagAloneStartsTheEditor) {
  fs::create_directories(home);
  Editor editor({"--inspect-media"}, home, temp / "stderr.txt");
  ASSERT_TRUE(editor.started());
  const Window window = waitForWindow(display, 20s);
  ASSERT_NE(window, 0u) << apptest::readText(temp / "stderr.txt");
  sendDeleteWindow(display, window);
  EXPECT_EQ(editor.waitForExit(10s), 0);
}

// Both headless modes finish without a window and leave the settings folder alone.
TEST_F(GuiSmoke, HeadlessModesRunWithoutWindowOrSettings) {
  fs::create_directories(home);
  {
    Editor inspect({"--inspect-media", samples + "/take.pcv"}, home, temp / "inspect.txt", false);
    ASSERT_TRUE(inspect.started());
    EXPECT_EQ(inspect.waitForExit(10s), 0);
    EXPECT_EQ(apptest::readText(temp / "inspect.txt"), "");
  }
  apptest::writeText(temp / "job.json", "{}");
  Editor job({"--media-export-job", temp / "job.json"}, home, temp / "job.txt", false);
  ASSERT_TRUE(job.started());
  EXPECT_EQ(job.waitForExit(20s), 1);
  EXPECT_EQ(apptest::readText(temp / "job.txt"), "");
  EXPECT_NE(apptest::readText(temp / "job.json.state").find("\"finished\":true"), std::string::npos);
  EXPECT_FALSE(fs::exists(home + "/.config/tessaline/1002/imgui.ini"));
}

}  // namespace
