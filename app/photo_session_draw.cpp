#include <imgui.h>

#include "photo_session.h"

namespace media {

bool PhotoSession::draw(const ImVec2& pos, const ImVec2& size, BatchQueue&) {
  ImGui::SetNextWindowPos(pos);
  ImGui::SetNextWindowSize(size);
  if (ImGui::Begin("照片编辑", nullptr, ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoCollapse)) {
    ImGui::TextUnformatted("照片编辑尚未实现");
    if (ImGui::Button("返回文件浏览")) returnRequested_ = true;
  }
  ImGui::End();
  if (!returnRequested_) return false;
  returnRequested_ = false;
  return true;
}

}  // namespace media
