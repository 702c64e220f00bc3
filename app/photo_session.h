#pragma once

struct ImVec2;
namespace media {
class BatchQueue;

// The photo editor screen. Editing is not built yet: the screen only offers the way back.
class PhotoSession {
 public:
  // Draws the editor; true when the user has left it.
  bool draw(const ImVec2& pos, const ImVec2& size, BatchQueue& queue);
  // The same as pressing "返回文件浏览".
  void requestReturn() { returnRequested_ = true; }
  bool returnRequested() const { return returnRequested_; }
  void cancelLoading() {}
  // Destroys the photo renderer and the photo texture.
  void releaseGpu() {}

  bool unsavedChanges = false;

 private:
  bool returnRequested_ = false;
};

}  // namespace media
