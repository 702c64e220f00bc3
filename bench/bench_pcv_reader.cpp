// PcvReader: opening a long recording through each kind of index, and decoding full-size frames
// against a plain read + LZ4 decompression of the same bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lz4.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "pcv_reader.h"
#include "pcv_writer.h"
#include "sample_library.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kOpenFrames = 20000;
constexpr size_t kOpenSegments = 4;
constexpr uint32_t kSmallWidth = 64, kSmallHeight = 48;
constexpr size_t kFrm2HeaderBytes = 16;
constexpr size_t kLargeFrames = 12;  // 640 x 576 frames per readFrame recording

// Bytes this process has read through system calls so far (page-cache hits included).
uint64_t bytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

struct CompressedPayload {
  uint64_t offset = 0;
  uint32_t compressedLength = 0;
  uint32_t depthLength = 0;
};

uint32_t u32At(const std::vector<uint8_t>& bytes, size_t offset) {
  return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 | uint32_t{bytes[offset + 2]} << 16 |
         uint32_t{bytes[offset + 3]} << 24;
}

// Recordings written once per run into a fresh temporary folder.
struct BenchFiles {
  benchsupport::TemporaryFolder temporary;
  const fs::path& folder = temporary.path();
  std::map<std::string, std::string> openPaths;     // index style -> first segment
  std::map<std::string, std::string> readPaths;     // frame kind -> 640 x 576 recording
  std::vector<CompressedPayload> frm2Payloads;      // where the FRM2 recording keeps its LZ4 blocks

  bool create(std::string& error) {
    if (folder.empty()) {
      error = "cannot create a temporary folder";
      return false;
    }
    return writeOpenRecordings(error) && writeReadRecordings(error);
  }


 private:
  bool writeOpenRecordings(std::string& error) {
    samples::RecordingPlan plan = samples::libraryPlan().front();
    plan.kind = pcvwrite::FrameKind::Frm2;
    plan.width = kSmallWidth;
    plan.height = kSmallHeight;
    // A couple of seconds of distinct depth images, repeated; each frame keeps its own metadata.
    constexpr size_t kDistinct = 48;
    std::vector<std::vector<uint16_t>> depths;
    for (size_t i = 0; i < kDistinct; ++i) depths.push_back(samples::renderFrame(plan, i).depth);
    std::vector<pcvwrite::Frame> frames(kOpenFrames);
    for (size_t i = 0; i < kOpenFrames; ++i) {
      frames[i].kind = pcvwrite::FrameKind::Frm2;
      frames[i].metaJson = "{\"capture_index\":" + std::to_string(1000 + i) +
                           ",\"depth_width\":64,\"depth_height\":48,\"recorded_fps\":24}";
      frames[i].depth = depths[i % kDistinct];
    }
    const std::pair<const char*, pcvwrite::IndexStyle> styles[] = {{"sidecar", pcvwrite::IndexStyle::Sidecar},
                                                                    {"embedded", pcvwrite::IndexStyle::Embedded},
                                                                    {"scan", pcvwrite::IndexStyle::None}};
    for (const auto& [name, style] : styles) {
      const std::string base = (folder / (std::string("open_") + name)).string();
      if (!pcvwrite::writeRecording(base, frames, kOpenFrames / kOpenSegments, style)) {
        error = "cannot write " + base;
        return false;
      }
      openPaths[name] = pcvwrite::segmentPath(base, 0);
    }
    return true;
  }

  bool writeReadRecordings(std::string& error) {
    samples::RecordingPlan plan = samples::libraryPlan().front();
    plan.kind = pcvwrite::FrameKind::Frm3;
    plan.width = 640;
    plan.height = 576;
    std::vector<pcvwrite::Frame> frames;
    for (size_t i = 0; i < kLargeFrames; ++i) frames.push_back(samples::renderFrame(plan, i * 8));
    const std::pair<const char*, pcvwrite::FrameKind> kinds[] = {
        {"FRM1", pcvwrite::FrameKind::Frm1}, {"FRM2", pcvwrite::FrameKind::Frm2}, {"FRM3", pcvwrite::FrameKind::Frm3}};
    for (const auto& [name, kind] : kinds) {
      pcvwrite::Segment segment;
      for (pcvwrite::Frame frame : frames) {
        frame.kind = kind;
        if (kind != pcvwrite::FrameKind::Frm3) frame.rgbJpeg.clear();
        segment.add(frame);
      }
      if (kind == pcvwrite::FrameKind::Frm2) {
        for (uint64_t offset : segment.frameOffsets) {
          const uint32_t metaLength = u32At(segment.bytes, offset + 4);
          frm2Payloads.push_back({offset + kFrm2HeaderBytes + metaLength, u32At(segment.bytes, offset + 12),
                                  u32At(segment.bytes, offset + 8)});
        }
      }
      segment.finish(pcvwrite::IndexStyle::Embedded);
      const std::string path = (folder / (std::string("read_") + name + ".pcv")).string();
      if (!pcvwrite::writeFile(path, segment.bytes)) {
        error = "cannot write " + path;
        return false;
      }
      readPaths[name] = path;
    }
    return true;
  }
};

void benchOpen(benchmark::State& state, const std::string& path) {
  // Bytes read by one open, measured outside the timed loop; the two calibration reads cancel the
  // cost of reading /proc/self/io itself.
  const uint64_t calibrationStart = bytesReadSoFar();
  const uint64_t before = bytesReadSoFar();
  PcvReader probe;
  const bool opened = probe.open(path);
  const uint64_t after = bytesReadSoFar();
  if (!opened || probe.frameCount() != kOpenFrames || probe.segmentCount() != kOpenSegments) {
    state.SkipWithError(("open failed: " + probe.error()).c_str());
    return;
  }
  for (auto _ : state) {
    PcvReader reader;
    if (!reader.open(path)) {
      state.SkipWithError(reader.error().c_str());
      return;
    }
    benchmark::DoNotOptimize(reader.frameCount());
  }
  const double perOpen = static_cast<double>(after - before) - static_cast<double>(before - calibrationStart);
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(kOpenFrames * state.iterations()), benchmark::Counter::kIsRate);
  state.counters["bytes_read_per_open"] = perOpen;
  state.counters["header_bytes"] = static_cast<double>(kOpenFrames * kFrm2HeaderBytes);
}

void benchReadFrame(benchmark::State& state, const std::string& path) {
  PcvReader reader;
  if (!reader.open(path)) {
    state.SkipWithError(reader.error().c_str());
    return;
  }
  FrameData frame;
  size_t next = 0;
  for (auto _ : state) {
    if (!reader.readFrame(next, frame, true)) {
      state.SkipWithError("readFrame failed");
      return;
    }
    benchmark::DoNotOptimize(frame.depth.data());
    next = (next + 1) % reader.frameCount();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.depth.size() * 2));
}

// What FRM2 decoding costs at least: read the compressed block, decompress it into a reused buffer.
void benchReadAndDecompress(benchmark::State& state, const std::string& path,
                            const std::vector<CompressedPayload>& payloads) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    state.SkipWithError("cannot open the FRM2 recording");
    return;
  }
  std::vector<char> compressed, depth;
  size_t next = 0;
  for (auto _ : state) {
    const CompressedPayload& payload = payloads[next];
    compressed.resize(payload.compressedLength);
    depth.resize(payload.depthLength);
    const ssize_t got = ::pread(fd, compressed.data(), payload.compressedLength, static_cast<off_t>(payload.offset));
    const int produced = LZ4_decompress_safe(compressed.data(), depth.data(), static_cast<int>(got),
                                             static_cast<int>(depth.size()));
    if (got != static_cast<ssize_t>(payload.compressedLength) || produced != static_cast<int>(payload.depthLength)) {
      state.SkipWithError("baseline read or decompression failed");
      break;
    }
    benchmark::DoNotOptimize(depth.data());
    next = (next + 1) % payloads.size();
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * depth.size()));
}

// Prints the usual table and remembers the time per iteration of every run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that logs stay plain text.
  SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        seconds_[run.run_name.function_name] =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    ConsoleReporter::ReportRuns(runs);
  }

  void printSummary() const {
    for (const char* style : {"sidecar", "embedded"}) {
      const auto open = seconds_.find(std::string("open/") + style);
      if (open != seconds_.end())
        std::printf("open through the %s index: %.0f frames/s (target >= 500000)\n", style,
                    kOpenFrames / open->second);
    }
    const auto frm2 = seconds_.find("readFrame/FRM2");
    const auto baseline = seconds_.find("baseline/FRM2_pread_lz4");
    if (frm2 != seconds_.end() && baseline != seconds_.end())
      std::printf("readFrame(FRM2) / plain read + LZ4: %.2f (target <= 1.5)\n", frm2->second / baseline->second);
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  BenchFiles files;
  std::string error;
  if (!files.create(error)) {
    std::fprintf(stderr, "bench_pcv_reader: %s\n", error.c_str());
    return 1;
  }
  for (const auto& [style, path] : files.openPaths)
    benchmark::RegisterBenchmark(("open/" + style).c_str(), benchOpen, path)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  for (const auto& [kind, path] : files.readPaths)
    benchmark::RegisterBenchmark(("readFrame/" + kind).c_str(), benchReadFrame, path)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("baseline/FRM2_pread_lz4", benchReadAndDecompress, files.readPaths["FRM2"],
                               files.frm2Payloads)
      ->Unit(benchmark::kMicrosecond);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary();
  benchmark::Shutdown();
  return 0;
}
