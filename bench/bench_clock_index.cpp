// ClockIndex::build over a long recording: one metadata read and one JSON parse per frame.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench_support.h"
#include "clock_index.h"
#include "pcv_reader.h"
#include "pcv_writer.h"
#include "sample_library.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kFrames = 20000;
constexpr size_t kSegments = 4;

// A 640 x 576 recording in four segments whose frames carry the sample library's metadata, with a
// colour picture on every other frame. Depth and pictures are token-sized: the build reads neither.
struct BenchRecording {
  benchsupport::TemporaryFolder temporary;
  const fs::path& folder = temporary.path();
  std::string path;

  bool create(std::string& error) {
    if (folder.empty()) {
      error = "cannot create a temporary folder";
      return false;
    }
    samples::RecordingPlan plan = samples::libraryPlan().front();
    plan.kind = pcvwrite::FrameKind::Frm3;
    plan.width = 640;
    plan.height = 576;
    nlohmann::ordered_json meta = nlohmann::ordered_json::parse(samples::renderFrame(plan, 0).metaJson);
    const uint64_t firstCapture = meta["capture_index"].get<uint64_t>();
    std::vector<pcvwrite::Frame> frames(kFrames);
    for (size_t i = 0; i < kFrames; ++i) {
      meta["capture_index"] = firstCapture + i;
      meta["timecode"] = pcv0930::clockText(static_cast<int64_t>(i) + 9 * 86400);
      meta["timestamp_us"] = i * 1000000 / 24;
      pcvwrite::Frame& frame = frames[i];
      frame.kind = i % 2 == 0 ? pcvwrite::FrameKind::Frm3 : pcvwrite::FrameKind::Frm1;
      frame.metaJson = meta.dump();
      frame.depth = {1000, 1001, 1002, 1003};
      if (i % 2 == 0) frame.rgbJpeg = {0xff, 0xd8, 0xff, 0xd9};
    }
    const std::string base = (folder / "clock").string();
    if (!pcvwrite::writeRecording(base, frames, kFrames / kSegments, pcvwrite::IndexStyle::Sidecar)) {
      error = "cannot write " + base;
      return false;
    }
    path = pcvwrite::segmentPath(base, 0);
    return true;
  }

};

void benchBuild(benchmark::State& state, const std::string& path) {
  PcvReader reader;
  if (!reader.open(path) || reader.frameCount() != kFrames) {
    state.SkipWithError(("open failed: " + reader.error()).c_str());
    return;
  }
  pcv0930::ClockIndex clock;
  for (auto _ : state) {
    if (!clock.build(reader, [](size_t, size_t) { return true; })) {
      state.SkipWithError("build failed");
      return;
    }
    benchmark::DoNotOptimize(clock.rgbPrefix.back());
  }
  if (clock.rgbCount(0, kFrames - 1) != kFrames / 2 || !clock.isTC(kFrames - 1)) {
    state.SkipWithError("unexpected index");
    return;
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(kFrames * state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  BenchRecording recording;
  std::string error;
  if (!recording.create(error)) {
    std::fprintf(stderr, "bench_clock_index: %s\n", error.c_str());
    return 1;
  }
  benchmark::RegisterBenchmark("ClockIndex/build_20000_frames", benchBuild, recording.path)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
