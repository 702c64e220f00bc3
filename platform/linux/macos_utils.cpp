#include "macos_utils.h"

#include <GLFW/glfw3.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"

namespace {

enum class ChooserKind { Folder, File };

const char* chooserTitle(ChooserKind kind) {
  return kind == ChooserKind::Folder ? "选择文件夹" : "选择点云照片或视频";
}

std::string withTrailingSlash(const std::string& folder) {
  return !folder.empty() && folder.back() == '/' ? folder : folder + "/";
}

std::vector<std::string> zenityArguments(const std::string& zenity, ChooserKind kind, const std::string& start) {
  std::vector<std::string> arguments{zenity, "--file-selection"};
  if (kind == ChooserKind::Folder) arguments.push_back("--directory");
  arguments.push_back(std::string("--title=") + chooserTitle(kind));
  // The trailing slash makes zenity open inside the folder instead of selecting it in its parent.
  if (!start.empty()) arguments.push_back("--filename=" + withTrailingSlash(start));
  return arguments;
}

std::vector<std::string> kdialogArguments(const std::string& kdialog, ChooserKind kind, const std::string& start) {
  std::vector<std::string> arguments{kdialog, "--title", chooserTitle(kind),
                                     kind == ChooserKind::Folder ? "--getexistingdirectory" : "--getopenfilename"};
  if (!start.empty()) arguments.push_back(start);
  return arguments;
}

std::string runChooser(ChooserKind kind, const std::string& start) {
  std::vector<std::string> arguments;
  if (const std::string zenity = platform::findOnPath("zenity"); !zenity.empty()) {
    arguments = zenityArguments(zenity, kind, start);
  } else if (const std::string kdialog = platform::findOnPath("kdialog"); !kdialog.empty()) {
    arguments = kdialogArguments(kdialog, kind, start);
  } else {
    return {};
  }
  std::string answer;
  if (!platform::runForOutput(arguments, answer)) return {};
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  return answer;
}

// Filled by a desktop open-request hook; Linux has none yet, so it stays empty.
std::string s_pending_media;

struct WindowState {
  int x = 0, y = 0, width = 0, height = 0;
  bool decorated = true;
  bool floating = false;
};

// One slot, as one window at a time can be borderless full screen.
struct SavedWindow {
  GLFWwindow* window = nullptr;
  WindowState state;
};
SavedWindow s_saved_window;

WindowState currentState(GLFWwindow* window) {
  WindowState state;
  glfwGetWindowPos(window, &state.x, &state.y);
  glfwGetWindowSize(window, &state.width, &state.height);
  state.decorated = glfwGetWindowAttrib(window, GLFW_DECORATED) == GLFW_TRUE;
  state.floating = glfwGetWindowAttrib(window, GLFW_FLOATING) == GLFW_TRUE;
  return state;
}

struct MonitorArea {
  int x = 0, y = 0, width = 0, height = 0;
};

bool monitorArea(GLFWmonitor* monitor, MonitorArea& area) {
  const GLFWvidmode* mode = monitor != nullptr ? glfwGetVideoMode(monitor) : nullptr;
  if (mode == nullptr) return false;
  glfwGetMonitorPos(monitor, &area.x, &area.y);
  area.width = mode->width;
  area.height = mode->height;
  return true;
}

long long overlap(const WindowState& window, const MonitorArea& area) {
  const long long width = std::min(window.x + window.width, area.x + area.width) - std::max(window.x, area.x);
  const long long height = std::min(window.y + window.height, area.y + area.height) - std::max(window.y, area.y);
  return width > 0 && height > 0 ? width * height : 0;
}

// The monitor holding most of the window, or the primary one when the window is on none.
bool coveringArea(const WindowState& window, MonitorArea& chosen) {
  int count = 0;
  GLFWmonitor** monitors = glfwGetMonitors(&count);
  long long best = 0;
  for (int index = 0; index < count; ++index) {
    MonitorArea area;
    if (!monitorArea(monitors[index], area)) continue;
    if (const long long shared = overlap(window, area); shared > best) {
      best = shared;
      chosen = area;
    }
  }
  return best > 0 || monitorArea(glfwGetPrimaryMonitor(), chosen);
}

}  // namespace

namespace pcp {
std::string chooseFolder(const std::string& start) { return runChooser(ChooserKind::Folder, start); }
}  // namespace pcp

std::string macos_choose_media_file(const std::string& start) { return runChooser(ChooserKind::File, start); }

bool platform_has_dialog_tool() {
  return !platform::findOnPath("zenity").empty() || !platform::findOnPath("kdialog").empty();
}

void macos_install_media_open_handler() {}

std::string macos_take_open_media() { return std::exchange(s_pending_media, std::string()); }

extern "C" void macos_set_window_floating(void* window, bool floating) {
  if (window == nullptr) return;
  glfwSetWindowAttrib(static_cast<GLFWwindow*>(window), GLFW_FLOATING, floating ? GLFW_TRUE : GLFW_FALSE);
}

extern "C" bool macos_enter_borderless_fullscreen(void* handle) {
  if (handle == nullptr) return false;
  GLFWwindow* window = static_cast<GLFWwindow*>(handle);
  const WindowState before = currentState(window);
  s_saved_window = {window, before};
  glfwSetWindowAttrib(window, GLFW_DECORATED, GLFW_FALSE);
  glfwSetWindowAttrib(window, GLFW_FLOATING, GLFW_TRUE);
  MonitorArea area;
  if (coveringArea(before, area)) {
    glfwSetWindowPos(window, area.x, area.y);
    glfwSetWindowSize(window, area.width, area.height);
  }
  return true;
}

extern "C" void macos_exit_borderless_fullscreen(void* handle) {
  if (handle == nullptr || handle != s_saved_window.window) return;
  GLFWwindow* window = static_cast<GLFWwindow*>(handle);
  const WindowState saved = std::exchange(s_saved_window, SavedWindow{}).state;
  glfwSetWindowAttrib(window, GLFW_DECORATED, saved.decorated ? GLFW_TRUE : GLFW_FALSE);
  glfwSetWindowAttrib(window, GLFW_FLOATING, saved.floating ? GLFW_TRUE : GLFW_FALSE);
  glfwSetWindowSize(window, saved.width, saved.height);
  glfwSetWindowPos(window, saved.x, saved.y);
}
