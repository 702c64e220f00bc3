#include "screens.h"

#include <imgui.h>

#include <algorithm>

#include "widgets.h"

namespace tessaline {

namespace {

constexpr ImGuiWindowFlags kScreenFlags =
    ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoCollapse;
constexpr const char* kSaveDialogTitle = "是否保存修改";

bool beginScreen(const char* title, const ImVec2& pos, const ImVec2& size) {
  ImGui::SetNextWindowPos(pos);
  ImGui::SetNextWindowSize(size);
  return ImGui::Begin(title, nullptr, kScreenFlags);
}

void drawBrowser(AppState& state, const ImVec2& pos, const ImVec2& size) {
  pcv0930::pushPublicStyle();
  const std::string opened = state.browser.draw(pos, size, state.recent.entries(), state.status);
  ImGui::PopStyleVar(pcv0930::kPublicStyleVars);
  ImGui::PopStyleColor(pcv0930::kPublicStyleColors);
  if (!opened.empty()) openListedPath(state, opened);
}

void drawVersionSelect(AppState& state, const ImVec2& pos, const ImVec2& size) {
  if (beginScreen("选择编辑版本", pos, size)) {
    ImGui::TextUnformatted(state.currentItem.name.c_str());
    ImGui::TextUnformatted("版本选择尚未实现");
    if (ImGui::Button("返回文件浏览")) state.screen = Screen::Browser;
  }
  ImGui::End();
}

void drawLoading(const ImVec2& pos, const ImVec2& size) {
  if (beginScreen("正在加载点云视频", pos, size)) ImGui::TextUnformatted("正在加载点云视频");
  ImGui::End();
}

void drawVideoEditor(AppState& state, const ImVec2& pos, const ImVec2& size) {
  if (beginScreen("视频编辑", pos, size)) {
    ImGui::TextUnformatted(state.currentItem.name.c_str());
    ImGui::TextUnformatted("视频编辑尚未实现");
    if (ImGui::Button("返回文件浏览")) leaveVideoEditor(state);
  }
  ImGui::End();
}

}  // namespace

void drawCurrentScreen(AppState& state, const ImVec2& pos, const ImVec2& size) {
  switch (state.screen) {
    case Screen::Browser:
      drawBrowser(state, pos, size);
      break;
    case Screen::VersionSelect:
      drawVersionSelect(state, pos, size);
      break;
    case Screen::Loading:
      drawLoading(pos, size);
      break;
    case Screen::PhotoEditor:
      if (state.photoSession.draw(pos, size, state.queue)) leavePhotoEditor(state);
      break;
    case Screen::VideoEditor:
      drawVideoEditor(state, pos, size);
      break;
  }
}

bool drawSaveDialog(AppState& state) {
  if (state.saveDialogRequested && !ImGui::IsPopupOpen(kSaveDialogTitle)) ImGui::OpenPopup(kSaveDialogTitle);
  const ImGuiViewport* viewport = ImGui::GetMainViewport();
  const float width = std::min(viewport->Size.x - 24.0f, 480.0f);
  ImGui::SetNextWindowPos(viewport->GetCenter(), ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
  ImGui::SetNextWindowSizeConstraints(ImVec2(width, 0.0f), ImVec2(width, std::max(viewport->Size.y - 24.0f, 200.0f)));
  if (!ImGui::BeginPopupModal(kSaveDialogTitle, nullptr, ImGuiWindowFlags_AlwaysAutoResize)) return false;
  ImGui::TextUnformatted("当前编辑尚未保存。");
  SaveDialogResult result;
  if (ImGui::Button("是", ImVec2(90, 32))) result = answerSaveDialog(state, SaveAnswer::Save);
  ImGui::SameLine();
  if (ImGui::Button("否", ImVec2(90, 32))) result = answerSaveDialog(state, SaveAnswer::Discard);
  ImGui::SameLine();
  if (ImGui::Button("继续编辑", ImVec2(120, 32))) result = answerSaveDialog(state, SaveAnswer::ContinueEditing);
  if (state.status.rfind(kSaveFailedPrefix, 0) == 0) ImGui::TextWrapped("%s", state.status.c_str());
  if (result.closeDialog) ImGui::CloseCurrentPopup();
  ImGui::EndPopup();
  return result.closeWindow;
}

}  // namespace tessaline
