#include "gui_main.h"

#include <epoxy/gl.h>
// After epoxy, which provides the GL declarations GLFW would otherwise include.
#include <GLFW/glfw3.h>
#include <imgui.h>
#include <imgui_impl_glfw.h>
#include <imgui_impl_opengl2.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app_state.h"
#include "command_line.h"
#include "export_job.h"
#include "ffmpeg.h"
#include "font.h"
#include "media_report.h"
#include "macos_utils.h"
#include "offscreen_gl.h"
#include "platform_paths.h"
#include "screens.h"
#include "settings.h"
#include "tool_path.h"
#include "video_program.h"
#include "widgets.h"

namespace tessaline {

namespace {

void glfwErrorCallback(int error, const char* description) {
  std::fprintf(stderr, "GLFW Error %d: %s\n", error, description);
}

int runInspection(const std::string& path) { return inspectMedia(path, std::cout, std::cerr); }

int runExportJobMode(const std::string& jobPath) {
  std::string error;
  const auto context = platform::OffscreenGlContext::create(error);
  if (!context) {
    std::fprintf(stderr, "--media-export-job: %s\n", error.c_str());
    return 1;
  }
  // There is no status line in this mode: the job's log gets the failure.
  std::string status;
  if (!initVideoPointProgram(status)) std::fprintf(stderr, "--media-export-job: %s\n", status.c_str());
  const int result = media::runExportJob(jobPath);
  deleteVideoPointProgram();
  return result;
}

void loadInterfaceFont(ImGuiIO& io) {
  const std::string font = chooseFont(fontCandidates(), [](const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
  });
  if (!font.empty()) io.Fonts->AddFontFromFileTTF(font.c_str(), 18.0f, nullptr, io.Fonts->GetGlyphRangesChineseFull());
}

void applyStyle() {
  ImGui::StyleColorsDark();
  ImGuiStyle& style = ImGui::GetStyle();
  style.ItemSpacing.x = 10.0f;
  style.ItemInnerSpacing.x = 8.0f;
}

void renderFrame(GLFWwindow* window) {
  ImGui::Render();
  int width = 0;
  int height = 0;
  glfwGetFramebufferSize(window, &width, &height);
  glViewport(0, 0, width, height);
  glClearColor(0.07f, 0.07f, 0.08f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  ImGui_ImplOpenGL2_RenderDrawData(ImGui::GetDrawData());
  glfwSwapBuffers(window);
}

void runFrameLoop(GLFWwindow* window, AppState& state) {
  while (true) {
    if (glfwWindowShouldClose(window)) {
      const CloseOutcome outcome = handleCloseRequest(state);
      if (outcome == CloseOutcome::LeaveLoop) break;
      glfwSetWindowShouldClose(window, GLFW_FALSE);
      if (outcome == CloseOutcome::KeepOpenSkipFrame) continue;
    }
    glfwPollEvents();
    takeOpenRequest(state, macos_take_open_media());

    ImGui_ImplOpenGL2_NewFrame();
    ImGui_ImplGlfw_NewFrame();
    ImGui::NewFrame();
    mediaui::updateKeyboardNudge();
    const ImGuiViewport* viewport = ImGui::GetMainViewport();

    state.queue.poll();
    state.browser.poll();
    relayBrowserAndQueue(state);
    handlePendingOpen(state);
    state.videoLoading.poll();

    drawCurrentScreen(state, viewport->Pos, viewport->Size);
    const bool dialogAskedToClose = drawSaveDialog(state);
    if (dialogAskedToClose || finalQuitTest(state)) glfwSetWindowShouldClose(window, GLFW_TRUE);
    state.queue.draw();
    renderFrame(window);
  }
}

int runInteractive(const std::string& commandLineOpenPath) {
  if (!glfwInit()) return 1;
  GLFWwindow* window = glfwCreateWindow(1600, 1000, "Tessaline", nullptr, nullptr);
  if (!window) {
    glfwTerminate();
    return 1;
  }
  glfwMakeContextCurrent(window);
  glfwSwapInterval(1);

  IMGUI_CHECKVERSION();
  ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  // The GUI library keeps the pointer, so the string lives until the context is destroyed.
  const std::string layoutFile = layoutFilePath(prepareSettingsFolder());
  io.IniFilename = layoutFile.empty() ? nullptr : layoutFile.c_str();
  io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
  loadInterfaceFont(io);
  applyStyle();
  ImGui_ImplGlfw_InitForOpenGL(window, true);
  ImGui_ImplOpenGL2_Init();

  RecentFiles recent(recentFilesStorePath(), legacyRecentFilesPath());
  recent.read();

  std::string gpuStatus;
  initVideoPointProgram(gpuStatus);
  GLuint viewerPointBuffer = 0;
  glGenBuffers(1, &viewerPointBuffer);

  macos_install_media_open_handler();
  auto state = std::make_unique<AppState>(std::move(recent));
  state->viewerPointBuffer = viewerPointBuffer;
  if (!gpuStatus.empty()) state->status = gpuStatus;
  state->browser.navigate(firstFolder(state->pathBuffer.data(), platform::homeFolder()), true);

  glfwSetWindowUserPointer(window, &state->pendingOpenPath);
  glfwSetDropCallback(window, [](GLFWwindow* dropped, int count, const char** paths) {
    acceptDroppedPaths(*static_cast<std::string*>(glfwGetWindowUserPointer(dropped)), count, paths);
  });
  state->pendingOpenPath = commandLineOpenPath;

  runFrameLoop(window, *state);

  state->photoSession.cancelLoading();
  state->photoSession.releaseGpu();
  state->videoLoading.cancel();
  state->browser.clearTextures(false);
  ImGui_ImplOpenGL2_Shutdown();
  ImGui_ImplGlfw_Shutdown();
  ImGui::DestroyContext();
  glDeleteBuffers(1, &state->viewerPointBuffer);
  state->viewerPointBuffer = 0;
  deleteVideoPointProgram();
  glfwDestroyWindow(window);
  glfwTerminate();
  state.reset();
  return 0;
}

}  // namespace

int guiMain(int argc, char** argv) {
  const CommandLine commandLine = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (commandLine.mode == RunMode::InspectMedia) return runInspection(commandLine.modeArgument);
  extendToolSearchPathOnce();
  setFfmpegPath(findFfmpegPath());
  std::signal(SIGPIPE, SIG_IGN);
  glfwSetErrorCallback(glfwErrorCallback);
  if (commandLine.mode == RunMode::ExportJob) return runExportJobMode(commandLine.modeArgument);
  return runInteractive(commandLine.pendingOpenPath);
}

}  // namespace tessaline
