#include <imgui.h>

#include <filesystem>

#include "media_browser.h"

namespace pcv0930 {

std::string MediaBrowser::draw(const ImVec2& pos, const ImVec2& size, const std::vector<std::string>& recent,
                               const std::string& status) {
  std::string opened;
  ImGui::SetNextWindowPos(pos);
  ImGui::SetNextWindowSize(size);
  const ImGuiWindowFlags flags = ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                                 ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoBringToFrontOnFocus;
  if (ImGui::Begin("文件浏览", nullptr, flags)) {
    ImGui::TextUnformatted(currentPath.c_str());
    ImGui::TextUnformatted(status.c_str());
    ImGui::BeginDisabled(history_.size() < 2 || loading);
    if (ImGui::Button("后退")) goBack();
    ImGui::EndDisabled();
    ImGui::SameLine();
    const std::string parent = std::filesystem::path(currentPath).parent_path().string();
    ImGui::BeginDisabled(parent.empty() || parent == currentPath || loading);
    if (ImGui::Button("上一级")) navigate(parent, true);
    ImGui::EndDisabled();
    ImGui::Separator();
    if (!recent.empty()) {
      ImGui::TextUnformatted("最近文件");
      for (const std::string& path : recent) ImGui::BulletText("%s", path.c_str());
      ImGui::Separator();
    }
    if (loading) {
      ImGui::TextUnformatted("正在读取目录…");
    } else {
      if (!directory.error.empty()) ImGui::Text("无法读取目录：%s", directory.error.c_str());
      for (const std::string& folder : directory.folders) {
        const std::string label = "[目录] " + std::filesystem::path(folder).filename().string();
        if (ImGui::Selectable(label.c_str())) navigate(folder, true);
      }
      for (const MediaItem& item : directory.items) {
        ImGui::PushID(item.path.c_str());
        if (ImGui::Selectable(item.name.c_str())) opened = item.path;
        ImGui::PopID();
      }
    }
  }
  ImGui::End();
  return opened;
}

}  // namespace pcv0930
