#pragma once

namespace tessaline {

// What the frame loop asks of the video editor. Editing and exporting are not built yet.
struct VideoEditorState {
  bool unsavedChanges = false;
  bool exportRunning = false;
  bool exportCancelRequested = false;
};

// Loads a recording for the editor in the background. No loading job exists yet, so there is
// never a result to take.
class VideoLoadingWorker {
 public:
  bool poll() { return false; }
  void cancel() {}
};

}  // namespace tessaline
