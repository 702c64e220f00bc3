#include "load_progress.h"

namespace pcv0930 {

namespace {

struct StageSpan {
  int start;
  int width;
};

StageSpan spanOf(int stage) {
  switch (stage) {
    case 1: return {0, 6500};
    case 2: return {6500, 3300};
    case 3: return {9800, 200};
    default: return {0, 0};
  }
}

// floor(done / total * width) with done / total clamped to 1, exact for any 64-bit counts.
int scaledFraction(uint64_t done, uint64_t total, int width) {
  if (total == 0) return 0;
  if (done >= total) return width;
  return static_cast<int>(static_cast<unsigned __int128>(done) * static_cast<unsigned>(width) / total);
}

}  // namespace

void LoadProgress::advance(int stageNumber, uint64_t done, uint64_t total) {
  const StageSpan span = spanOf(stageNumber);
  const int target = span.start + scaledFraction(done, total, span.width);
  int current = progress.load();
  while (target > current && !progress.compare_exchange_weak(current, target)) {
  }
  stage.store(stageNumber);
}

}  // namespace pcv0930
