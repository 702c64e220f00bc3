#include <imgui.h>

#include "batch_queue.h"

namespace media {

void BatchQueue::draw() {
  if (tasks_.empty()) return;
  if (ImGui::Begin("批量导出")) {
    for (const pcv0930::MediaItem& task : tasks_) ImGui::BulletText("%s", task.name.c_str());
    ImGui::TextUnformatted("批量导出尚未实现");
  }
  ImGui::End();
}

}  // namespace media
