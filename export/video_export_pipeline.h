#pragma once
// The second half of a video export's frame loop: rendered frames go to a writer thread (the
// encoder pipe or a PNG file) so that the next frame renders while this one is written.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "video_renderer.h"

namespace media {

// One rendered frame on its way out, with the frame's RGB picture when the RGB track wants it.
struct RenderedFrame {
  int64_t index = 0;
  ImageRGB image;
  std::vector<uint8_t> rgbJpeg;
};

// Writes frames in the order they were pushed, on its own thread, with at most `capacity` frames
// waiting. The first failure (the text `write` returns, or an exception's message) stops the
// writing: later frames are dropped and push answers false.
class FrameWriterThread {
 public:
  // Returns the failure text, or an empty string when the frame was written.
  using Write = std::function<std::string(RenderedFrame& frame)>;

  explicit FrameWriterThread(Write write, size_t capacity = 2);
  // Drops the frames still waiting and joins, so an abandoned export stops at once.
  ~FrameWriterThread();
  FrameWriterThread(const FrameWriterThread&) = delete;
  FrameWriterThread& operator=(const FrameWriterThread&) = delete;

  // Blocks while `capacity` frames wait. False once writing has failed.
  bool push(RenderedFrame frame);
  // Waits until every pushed frame is written (or writing failed) and ends the thread. Returns
  // the failure text, empty after success.
  std::string finish();
  // The failure text so far, empty while writing goes well.
  std::string error() const;

 private:
  void run();

  Write write_;
  size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<RenderedFrame> waiting_;
  std::string error_;
  bool closing_ = false;
  bool abandoned_ = false;
  std::thread thread_;
};

}  // namespace media
