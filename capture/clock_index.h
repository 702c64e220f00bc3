#pragma once
// Display times of a recording's frames: the camera timecode where a frame carries one, else the
// frame's position at 24 frames per second, plus a running count of frames with an RGB picture.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class PcvReader;

namespace pcv0930 {

// A clock value counts 1/24-second units: hours * 86400 + minutes * 1440 + seconds * 24 + frames.
// "HH:MM:SS:FF"; negative values print as zero and hours are not wrapped.
std::string clockText(int64_t value);
// The clock value of an exact "HH:MM:SS:FF" text (hours 00-99, frames 00-23), or -1.
int64_t parseClock(const std::string& text);
// The "timecode" of a frame's metadata JSON as a clock value, or -1 when it has none below 24 hours.
int64_t timecode(const std::string& metaJson);

struct ClockIndex {
  // (frames done, frame count); false cancels the build.
  using Progress = std::function<bool(size_t done, size_t total)>;

  std::vector<int64_t> clocks;         // per frame: timecode clock value, or -1
  std::vector<uint64_t> rgbPrefix{0};  // rgbPrefix[i] = frames with RGB among the first i

  // Reads every frame's metadata, checking that it belongs to the same capture as frame 0. On
  // failure or cancel the index is left empty.
  bool build(PcvReader& reader, const Progress& progress);

  std::string text(int64_t frame) const;
  bool isTC(int64_t frame) const;
  // RGB frames in [first, last]; 0 unless the range lies inside the recording.
  uint64_t rgbCount(int64_t first, int64_t last) const;
  // Frames a typed time stands for: every frame with that timecode (only preferred when it has
  // it), or, when asTimecode is false, the frame whose index the time counts.
  std::vector<int> resolve(const std::string& text, bool asTimecode, int preferred) const;

 private:
  size_t frameCount() const { return clocks.size(); }
  bool inRange(int64_t frame) const { return frame >= 0 && static_cast<uint64_t>(frame) < frameCount(); }
};

}  // namespace pcv0930
