// Export jobs at 1920 x 1080 over 48 frames of a generated recording, beside their two halves run
// alone: ffmpeg encoding the same raw frames from a file (same command line) and rendering with
// read-back and nothing encoding. Rendering (llvmpipe) and x265 are both CPU-bound here, so the
// honest ceiling for the job is the sum of the two; with a GPU the ratio to ffmpeg alone is what
// shows whether rendering and encoding overlap.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_support.h"
#include "directory_listing.h"
#include "export_job.h"
#include "ffmpeg.h"
#include "offscreen_gl.h"
#include "pcv_reader.h"
#include "pcv_writer.h"
#include "sample_library.h"
#include "tracks.h"
#include "video_program.h"
#include "video_renderer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kFrames = 48;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The recording, the GL context and the process-wide ffmpeg path, made once.
struct ExportBench {
  benchsupport::TemporaryFolder temporary;
  const fs::path& folder = temporary.path();
  std::string source;
  std::string fingerprint;
  std::unique_ptr<platform::OffscreenGlContext> gl;
  std::string error;

  ExportBench() {
    if (folder.empty()) {
      error = "no temp folder";
      return;
    }
    // A walk of the sample library, so every frame has a room full of points.
    samples::RecordingPlan plan = samples::libraryPlan().front();
    plan.kind = pcvwrite::FrameKind::Frm1;
    plan.frameCount = kFrames;
    std::vector<pcvwrite::Frame> frames;
    for (size_t i = 0; i < kFrames; ++i) frames.push_back(samples::renderFrame(plan, i));
    if (!pcvwrite::writeRecording((folder / "bench").string(), frames, 0, pcvwrite::IndexStyle::None)) {
      error = "cannot write the recording";
      return;
    }
    source = (folder / "bench.pcv").string();
    for (const pcv0930::MediaItem& item : pcv0930::listDirectory(folder.string(), [] { return false; }).items) {
      if (item.path == source) fingerprint = item.fingerprint;
    }
    gl = platform::OffscreenGlContext::create(error);
    std::string status;
    if (gl && !initVideoPointProgram(status)) error = status;
    setFfmpegPath(findFfmpegPath());
    if (ffmpegPath().empty()) error = "no ffmpeg";
  }

  // Runs one job of the given format through the runner; wall time in seconds, negative on failure.
  double runJob(int format) {
    const fs::path out = folder / ("out-" + std::to_string(format));
    fs::create_directories(out);
    const fs::path job = folder / "job.json";
    std::ofstream(job) << nlohmann::json{{"source", source},
                                         {"photo", false},
                                         {"width", kWidth},
                                         {"height", kHeight},
                                         {"format", format},
                                         {"directory", out.string()},
                                         {"fingerprint", fingerprint},
                                         {"parameters", {{"tracks", nlohmann::json::object()}}}}
                              .dump();
    const Clock::time_point start = Clock::now();
    const int status = media::runExportJob(job.string());
    const double seconds = secondsSince(start);
    std::error_code ignored;
    fs::remove_all(out, ignored);
    return status == 0 ? seconds : -1.0;
  }

  // Renders every frame with read-back and hands each image to `use`, outside the timed part.
  // Returns the rendering seconds, negative on failure.
  template <typename Use>
  double renderFrames(Use&& use) {
    PcvReader reader;
    if (!reader.open(source)) return -1.0;
    FrameData frame;
    const ProjectTracks tracks;
    double seconds = 0.0;
    for (size_t i = 0; i < kFrames; ++i) {
      const Clock::time_point start = Clock::now();
      if (!reader.readFrame(i, frame, false)) return -1.0;
      RenderParams params = paramsForFrameIndex(static_cast<int>(i), frame, reader.baseMetaJson(), tracks);
      params.point_size = params.render_point_size;
      const ImageRGB image = renderGpuFrameToImage(frame, params, kWidth, kHeight, false, false);
      seconds += secondsSince(start);
      if (!image.complete()) return -1.0;
      use(image);
    }
    return seconds;
  }
};

// The shared setup, or null after marking the benchmark skipped.
ExportBench* readyBench(benchmark::State& state) {
  static ExportBench instance;
  if (instance.error.empty()) return &instance;
  state.SkipWithError(instance.error.c_str());
  return nullptr;
}

void setRates(benchmark::State& state, const char* name, double seconds) {
  state.counters[name] = seconds > 0.0 ? static_cast<double>(kFrames) / seconds : 0.0;
}

void BM_Mp4JobVersusItsHalves(benchmark::State& state) {
  ExportBench* ready = readyBench(state);
  if (ready == nullptr) return;
  ExportBench& b = *ready;
  // The identical frames as one raw file for ffmpeg alone.
  const fs::path raw = b.folder / "frames.rgb";
  {
    std::ofstream out(raw, std::ios::binary);
    b.renderFrames([&out](const ImageRGB& image) {
      out.write(reinterpret_cast<const char*>(image.pixels.data()), static_cast<std::streamsize>(image.pixels.size()));
    });
  }
  for (auto _ : state) {
    const double renderSeconds = b.renderFrames([](const ImageRGB&) {});
    const std::string command = jobVideoCommand(1, kWidth, kHeight, 100, (b.folder / "alone.mp4").string(),
                                                (b.folder / "alone.log").string()) +
                                " < " + shellQuote(raw.string());
    Clock::time_point start = Clock::now();
    const int encoded = std::system(command.c_str());
    const double ffmpegSeconds = secondsSince(start);
    const double jobSeconds = b.runJob(1);
    if (renderSeconds < 0.0 || encoded != 0 || jobSeconds < 0.0) {
      state.SkipWithError("a run failed");
      break;
    }
    state.SetIterationTime(jobSeconds);
    setRates(state, "ffmpeg_alone_fps", ffmpegSeconds);
    setRates(state, "render_readback_fps", renderSeconds);
    setRates(state, "job_fps", jobSeconds);
    state.counters["job_fps_over_ffmpeg_fps"] = ffmpegSeconds / jobSeconds;
    // Target: at most 1.05.
    state.counters["job_time_over_sum"] = jobSeconds / (ffmpegSeconds + renderSeconds);
  }
  std::error_code ignored;
  fs::remove(raw, ignored);
}
BENCHMARK(BM_Mp4JobVersusItsHalves)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

void BM_PngJobStages(benchmark::State& state) {
  ExportBench* ready = readyBench(state);
  if (ready == nullptr) return;
  ExportBench& b = *ready;
  for (auto _ : state) {
    double pngSeconds = 0.0;
    const fs::path file = b.folder / "frame.png";
    const double renderSeconds = b.renderFrames([&pngSeconds, &file](const ImageRGB& image) {
      const Clock::time_point start = Clock::now();
      savePng(file.string(), image);
      pngSeconds += secondsSince(start);
    });
    const double jobSeconds = b.runJob(0);
    if (renderSeconds < 0.0 || jobSeconds < 0.0) {
      state.SkipWithError("a run failed");
      break;
    }
    state.SetIterationTime(jobSeconds);
    setRates(state, "png_encode_fps", pngSeconds);
    setRates(state, "render_readback_fps", renderSeconds);
    setRates(state, "job_fps", jobSeconds);
    state.counters["job_time_over_slowest_stage"] = jobSeconds / std::max(pngSeconds, renderSeconds);
    state.SetLabel(pngSeconds > renderSeconds ? "PNG encoding dominates" : "rendering dominates");
  }
}
BENCHMARK(BM_PngJobStages)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
