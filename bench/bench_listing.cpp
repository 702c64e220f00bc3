// listDirectory over a folder of 1,000 recordings of three segments each, half of them with a
// project file of ten versions: the browser lists a folder like this on every visit.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_support.h"
#include "directory_listing.h"
#include "pcv_writer.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kRecordings = 1000;
constexpr size_t kSegments = 3;
constexpr size_t kVersions = 10;

struct BenchFolder {
  benchsupport::TemporaryFolder temporary;
  const fs::path& folder = temporary.path();

  bool create(std::string& error) {
    if (folder.empty()) {
      error = "cannot create a temporary folder";
      return false;
    }
    pcvwrite::Frame frame;
    frame.metaJson = R"({"depth_width":2,"depth_height":2})";
    frame.depth = {1000, 1001, 1002, 1003};
    const std::vector<pcvwrite::Frame> frames(kSegments, frame);
    const nlohmann::json version = {
        {"tracks", {{"fov", {{"0", {{"v", 1}}}, {"48", {{"v", 2}, {"m", 4}}}}}}}, {"fps", 24}, {"total_frames", 100}};
    for (size_t r = 0; r < kRecordings; ++r) {
      const std::string stem = "take_" + std::to_string(r);
      const std::string base = (folder / stem).string();
      if (!pcvwrite::writeRecording(base, frames, 1, pcvwrite::IndexStyle::None)) {
        error = "cannot write " + base;
        return false;
      }
      if (r % 2 != 0) continue;
      nlohmann::json project = nlohmann::json::object();
      for (size_t v = 1; v <= kVersions; ++v) project[stem + "_" + std::to_string(v)] = version;
      const std::string text = project.dump(4);
      if (!pcvwrite::writeFile(base + "_projects.json", std::vector<uint8_t>(text.begin(), text.end()))) {
        error = "cannot write the project file of " + base;
        return false;
      }
    }
    return true;
  }

};

void benchListing(benchmark::State& state, const std::string& folder) {
  size_t versions = 0;
  for (auto _ : state) {
    const pcv0930::Directory listed = pcv0930::listDirectory(folder, [] { return false; });
    if (!listed.error.empty() || listed.items.size() != kRecordings) {
      state.SkipWithError(("unexpected listing: " + listed.error).c_str());
      return;
    }
    versions = 0;
    for (const pcv0930::MediaItem& item : listed.items) versions += item.versionCount;
    benchmark::DoNotOptimize(versions);
  }
  if (versions != kRecordings / 2 * kVersions) state.SkipWithError("unexpected version count");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  BenchFolder folder;
  std::string error;
  if (!folder.create(error)) {
    std::fprintf(stderr, "bench_listing: %s\n", error.c_str());
    return 1;
  }
  benchmark::RegisterBenchmark("ListDirectory/1000_recordings_3_segments", benchListing, folder.folder.string())
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
