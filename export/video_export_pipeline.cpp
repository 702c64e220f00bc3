#include "video_export_pipeline.h"

#include <exception>
#include <utility>

namespace media {

FrameWriterThread::FrameWriterThread(Write write, size_t capacity)
    : write_(std::move(write)), capacity_(capacity == 0 ? 1 : capacity), thread_([this] { run(); }) {}

FrameWriterThread::~FrameWriterThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = true;
    closing_ = true;
    waiting_.clear();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool FrameWriterThread::push(RenderedFrame frame) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return waiting_.size() < capacity_ || !error_.empty() || closing_; });
  if (!error_.empty() || closing_) return false;
  waiting_.push_back(std::move(frame));
  lock.unlock();
  changed_.notify_all();
  return true;
}

std::string FrameWriterThread::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  return error();
}

std::string FrameWriterThread::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void FrameWriterThread::run() {
  for (;;) {
    RenderedFrame frame;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !waiting_.empty() || closing_; });
      if (abandoned_ || waiting_.empty()) return;
      frame = std::move(waiting_.front());
      waiting_.pop_front();
    }
    // Room for the next frame while this one is written.
    changed_.notify_all();
    std::string failure;
    try {
      failure = write_(frame);
    } catch (const std::exception& exception) {
      failure = exception.what();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!failure.empty()) {
        error_ = std::move(failure);
        waiting_.clear();
      }
    }
    changed_.notify_all();
    if (!failure.empty()) return;
  }
}

}  // namespace media
