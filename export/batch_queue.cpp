#include "batch_queue.h"

#include <algorithm>

namespace media {

void BatchQueue::poll() {
  if (!running) return;
  executor.poll();
  if (!executor.active) {
    running = false;
    cancelling = false;
  }
}

void BatchQueue::clear() {
  tasks_.clear();
  listCleared = true;
}

void BatchQueue::select(const std::vector<pcv0930::MediaItem>& items) {
  for (const pcv0930::MediaItem& item : items) {
    const bool queued = std::any_of(tasks_.begin(), tasks_.end(),
                                    [&](const pcv0930::MediaItem& task) { return task.path == item.path; });
    if (!queued) tasks_.push_back(item);
  }
}

}  // namespace media
