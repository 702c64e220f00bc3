#include <imgui.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "media_browser.h"
#include "preview_jobs.h"

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
      if (!error.empty()) ImGui::TextWrapped("无法读取目录：%s", error.c_str());
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

void MediaBrowser::drawThumbnail(const PreviewTexture& entry, const ImVec2& position, const ImVec2& size) const {
  ImDrawList* drawList = ImGui::GetWindowDrawList();
  const ImVec2 end(position.x + size.x, position.y + size.y);
  drawList->AddRectFilled(position, end, 0xff000000);
  if (entry.texture != 0 && entry.width > 0 && entry.height > 0) {
    const float scale = std::min(size.x / static_cast<float>(entry.width), size.y / static_cast<float>(entry.height));
    const ImVec2 shown(static_cast<float>(entry.width) * scale, static_cast<float>(entry.height) * scale);
    const ImVec2 corner(position.x + (size.x - shown.x) / 2, position.y + (size.y - shown.y) / 2);
    drawList->AddImage(reinterpret_cast<ImTextureID>(static_cast<intptr_t>(entry.texture)), corner,
                       ImVec2(corner.x + shown.x, corner.y + shown.y), ImVec2(0, 0), ImVec2(1, 1));
    return;
  }
  drawList->PushClipRect(position, end, true);
  drawList->AddText(ImVec2(position.x + 12, position.y + size.y / 2), 0xffb8a89b,
                    entry.message.empty() ? "生成预览…" : kPreviewUnavailable);
  drawList->PopClipRect();
}

}  // namespace pcv0930
