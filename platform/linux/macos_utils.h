#pragma once
// The operating-system functions the rest of the program relies on. The names keep the macOS
// original's; this Linux build answers them with zenity/kdialog, GLFW window attributes and
// freedesktop conventions.
#include <string>

namespace pcp {
// Folder chooser; empty when cancelled or when no dialog tool is installed.
std::string chooseFolder(const std::string& start);
}  // namespace pcp

std::string macos_choose_media_file(const std::string& start);
// True when a desktop dialog tool (zenity or kdialog) was found on PATH.
bool platform_has_dialog_tool();

void macos_install_media_open_handler();
// The path the desktop asked to open since the last call, or empty. Linux has no such request:
// files arrive by command line and drag and drop.
std::string macos_take_open_media();

// `window` is the GLFWwindow* of the window in question.
extern "C" void macos_set_window_floating(void* window, bool floating);
extern "C" bool macos_enter_borderless_fullscreen(void* window);
extern "C" void macos_exit_borderless_fullscreen(void* window);
