// paramsForFrameIndex with all thirteen tracks keyed: the per-frame cost of every video render.
// Target: no allocation while evaluating, at least 1,000,000 evaluations of all thirteen tracks
// per second. Allocations are counted by replacing the global operator new in this executable;
// the "allocations" counter is the number made inside the timed loop.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "tracks.h"

namespace {
std::atomic<size_t> allocationCount{0};
}  // namespace

void* operator new(size_t size) {
  allocationCount.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
// GCC cannot see that these blocks came from the malloc above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

constexpr int kFrames = 3000;
constexpr int kKeysPerTrack = 40;

// Every track keyed across the recording, the keys cycling through all interpolation modes.
ProjectTracks keyedTracks() {
  ProjectTracks tracks;
  int track = 0;
  for (const char* name : trackNames()) {
    ParameterTrack& keys = *findTrack(tracks, name);
    for (int key = 0; key < kKeysPerTrack; ++key) {
      keys.keys[key * (kFrames / kKeysPerTrack) + track] = {0.3f + 0.01f * static_cast<float>(key + track),
                                                            (key + track) % kInterpolationModeCount};
    }
    ++track;
  }
  return tracks;
}

template <typename Evaluate>
void runCounted(benchmark::State& state, Evaluate evaluate) {
  int frame = 0;
  const size_t before = allocationCount.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(evaluate(frame));
    frame = frame + 7 < kFrames ? frame + 7 : 0;
  }
  state.counters["allocations"] = static_cast<double>(allocationCount.load() - before);
  state.SetItemsProcessed(state.iterations());
}

void BM_ParamsForFrameIndex(benchmark::State& state) {
  const ProjectTracks tracks = keyedTracks();
  const FrameData frame;  // no metadata: only the thirteen evaluations and the clamps
  const std::string baseMetadata;
  runCounted(state, [&](int index) { return paramsForFrameIndex(index, frame, baseMetadata, tracks); });
}
BENCHMARK(BM_ParamsForFrameIndex);

// For comparison: with metadata texts the JSON parsing of both texts dominates and allocates.
void BM_ParamsForFrameIndexParsingMetadata(benchmark::State& state) {
  const ProjectTracks tracks = keyedTracks();
  FrameData frame;
  frame.metaJson = R"({"D1": 0.5, "D2": 3.0, "D3": 8.0, "camera_pos": [0, 0, 5]})";
  const std::string baseMetadata = R"({"max_display_distance": 10, "view_fov_half_deg": 20, "scale_x": 0.7})";
  runCounted(state, [&](int index) { return paramsForFrameIndex(index, frame, baseMetadata, tracks); });
}
BENCHMARK(BM_ParamsForFrameIndexParsingMetadata);

}  // namespace

BENCHMARK_MAIN();
