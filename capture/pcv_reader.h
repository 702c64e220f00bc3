#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "frame_data.h"

// "video_" and digits only: the stem of a recording the camera may save as numbered segments
// alone (video_N_0.pcv, video_N_1.pcv, ...); such a recording opens as video_N.pcv.
bool isCameraRecordingStem(const std::string& stem);
// The match of ^(.*)_([0-9]+)$ ("." stops at line breaks): prefix is group 1, digits group 2.
bool splitNumberedStem(const std::string& name, std::string& prefix, std::string& digits);

// An open PCV recording (all of its segment files) with an in-memory index of every frame.
// Movable, not copyable; used by one thread at a time. Failures return false and leave error().
class PcvReader {
 public:
  // (bytes done, total bytes of all segments, 1-based segment number, segment count); false cancels.
  using Progress = std::function<bool(uint64_t done, uint64_t total, size_t segmentNumber, size_t segmentCount)>;
  static constexpr size_t kNoFrameLimit = std::numeric_limits<size_t>::max();

  PcvReader();
  ~PcvReader();
  PcvReader(PcvReader&&) noexcept;
  PcvReader& operator=(PcvReader&&) noexcept;
  PcvReader(const PcvReader&) = delete;
  PcvReader& operator=(const PcvReader&) = delete;

  bool open(const std::string& path, Progress progress = {}, size_t frameLimit = kNoFrameLimit);
  void reset();

  const std::string& error() const;
  const std::string& path() const;
  size_t segmentCount() const;
  size_t frameCount() const;
  const std::string& baseMetaJson() const;

  bool readFrame(size_t index, FrameData& frame, bool withRgb);
  bool readMeta(size_t index, std::string& text);
  bool hasRgb(size_t index) const;
  // Decodes one frame of the recording at path reading as little as the segment indexes allow.
  // totalFrames and lastMeta may be null; both are cleared on entry.
  bool preview(const std::string& path, size_t index, FrameData& frame, Progress progress, size_t* totalFrames,
               std::string* lastMeta);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
