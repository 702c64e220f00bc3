#pragma once
#include <string>
#include <vector>

#include "batch_executor.h"
#include "media_item.h"

namespace media {

// The batch export queue. Its flags are read and cleared by the frame loop.
class BatchQueue {
 public:
  void poll();
  // The queue window, drawn on every screen.
  void draw();
  void clear();
  // Adds the items that are not queued yet.
  void select(const std::vector<pcv0930::MediaItem>& items);
  const std::vector<pcv0930::MediaItem>& tasks() const { return tasks_; }

  BatchExecutor executor;
  bool running = false;
  bool cancelling = false;
  bool jobFinished = false;
  bool listCleared = false;
  std::vector<std::string> removedPaths;

 private:
  std::vector<pcv0930::MediaItem> tasks_;
};

}  // namespace media
