#pragma once
// Progress of a video load, written by the loading job and read by the loading screen.
#include <atomic>
#include <cstdint>

namespace pcv0930 {

struct LoadProgress {
  // 0 check file, 1 build frame index, 2 read timecodes and RGB index, 3 prepare first frame.
  std::atomic<int> stage{0};
  std::atomic<int> progress{0};  // overall, in ten-thousandths; never decreases
  std::atomic<uint64_t> segment{0};  // 1-based segment being indexed
  std::atomic<uint64_t> segmentCount{0};

  // Records done of total within a stage: the frame index fills the bar to 65 %, the timecodes
  // and RGB index to 98 %, the first frame to 100 %.
  void advance(int stageNumber, uint64_t done, uint64_t total);
};

}  // namespace pcv0930
