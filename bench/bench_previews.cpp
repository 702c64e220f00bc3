// Preview costs: the software grid thumbnail with its shrink, a cache hit of a grid preview, and a
// cold preview job of a generated recording (open, decode one frame, thumbnail, shrink).
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "camera_thumbnail.h"
#include "pcv_writer.h"
#include "preview_cache.h"
#include "preview_jobs.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFrameWidth = 640;
constexpr uint32_t kFrameHeight = 576;

// A tilted wall 0.8 to 4.8 m away, every 16th pixel without a measurement.
std::vector<uint16_t> wallDepth() {
  std::vector<uint16_t> depth(static_cast<size_t>(kFrameWidth) * kFrameHeight);
  for (uint32_t y = 0; y < kFrameHeight; ++y) {
    for (uint32_t x = 0; x < kFrameWidth; ++x) {
      const size_t k = static_cast<size_t>(y) * kFrameWidth + x;
      depth[k] = k % 16 == 0 ? 0 : static_cast<uint16_t>(800 + (x * 4000) / kFrameWidth + (y % 7));
    }
  }
  return depth;
}

// One private folder for the whole run, removed at exit.
const fs::path& benchFolder() {
  static const benchsupport::TemporaryFolder folder;
  return folder.path();
}

FrameData wallFrame() {
  FrameData frame;
  frame.depth = wallDepth();
  frame.metaJson = R"({"D1":0,"D2":3,"D3":6})";
  return frame;
}

void BM_CameraThumbnailAndShrink(benchmark::State& state) {
  const FrameData frame = wallFrame();
  const auto never = [] { return false; };
  for (auto _ : state) {
    const ImageRGB thumbnail = pcv0930::cameraThumbnail(frame, never);
    benchmark::DoNotOptimize(pcv0930::shrinkImage(thumbnail, 800, 480, true));
  }
}
BENCHMARK(BM_CameraThumbnailAndShrink)->Unit(benchmark::kMillisecond);

// The two halves of the above on their own.
void BM_CameraThumbnailOnly(benchmark::State& state) {
  const FrameData frame = wallFrame();
  const auto never = [] { return false; };
  for (auto _ : state) benchmark::DoNotOptimize(pcv0930::cameraThumbnail(frame, never));
}
BENCHMARK(BM_CameraThumbnailOnly)->Unit(benchmark::kMillisecond);

void BM_ShrinkThumbnailOnly(benchmark::State& state) {
  const ImageRGB thumbnail = pcv0930::cameraThumbnail(wallFrame(), [] { return false; });
  for (auto _ : state) benchmark::DoNotOptimize(pcv0930::shrinkImage(thumbnail, 800, 480, true));
}
BENCHMARK(BM_ShrinkThumbnailOnly)->Unit(benchmark::kMillisecond);

void BM_CacheHitGridPreview(benchmark::State& state) {
  pcv0930::PreviewCache cache(benchFolder() / "cache-hit");
  pcv0930::CachedPreview preview;
  preview.width = 800;
  preview.height = 480;
  preview.pixels.assign(static_cast<size_t>(800) * 480 * 3, 90);
  preview.metadata = {{"count", 300}, {"firstTime", "01:00:00:00"}, {"lastTime", "01:00:12:11"}, {"seconds", 12.5},
                      {"tc", "01:00:00:00"}};
  const std::string key = "preview-v3|/bench/take.pcv|fp||";
  cache.write(key, preview);
  pcv0930::CachedPreview out;
  for (auto _ : state) {
    if (!cache.read(key, out)) state.SkipWithError("cache miss");
    benchmark::DoNotOptimize(out.pixels.data());
  }
}
BENCHMARK(BM_CacheHitGridPreview)->Unit(benchmark::kMillisecond);

void BM_ColdPreviewJob(benchmark::State& state) {
  const fs::path base = benchFolder() / "take";
  std::vector<pcvwrite::Frame> frames(30);
  for (size_t i = 0; i < frames.size(); ++i) {
    frames[i].kind = pcvwrite::FrameKind::Frm2;
    frames[i].metaJson = R"({"depth_width":640,"depth_height":576,"capture_index":)" + std::to_string(i) + "}";
    frames[i].depth = wallDepth();
  }
  if (!pcvwrite::writeRecording(base.string(), frames, 10, pcvwrite::IndexStyle::Embedded)) {
    state.SkipWithError("cannot write the recording");
    return;
  }
  pcv0930::MediaItem item;
  item.path = base.string() + ".pcv";
  item.fingerprint = "fp";
  pcv0930::PreviewRequest request{item, pcv0930::previewKey(item, ""), pcv0930::previewCacheKey(item, "", nullptr), "",
                                  nullptr};
  pcv0930::PreviewCache emptyCache(benchFolder() / "never-written");
  const auto never = [] { return false; };
  for (auto _ : state) {
    pcv0930::PreviewSource source;  // nothing kept from the last iteration
    const pcv0930::MediaEvent event = pcv0930::runPreviewJob(request, emptyCache, source, never);
    if (!event.error.empty() || event.image.empty()) state.SkipWithError("preview failed");
    benchmark::DoNotOptimize(event.image.pixels.data());
  }
}
BENCHMARK(BM_ColdPreviewJob)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
