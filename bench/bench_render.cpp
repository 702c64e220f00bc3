// Video frame rendering: point building against a plain loop over the same depth array, the
// offscreen render on the EGL context (draw and read-back also on their own), and the preview
// shrinker.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "gl_framebuffer.h"
#include "offscreen_gl.h"
#include "video_program.h"
#include "video_renderer.h"

namespace {

constexpr uint32_t kFrameWidth = 640;
constexpr uint32_t kFrameHeight = 576;

// A tilted wall 0.8 to 4.8 m away; with holes, every 16th pixel has no measurement.
FrameData benchFrame(bool withHoles) {
  FrameData frame;
  frame.depth.resize(static_cast<size_t>(kFrameWidth) * kFrameHeight);
  for (uint32_t y = 0; y < kFrameHeight; ++y) {
    for (uint32_t x = 0; x < kFrameWidth; ++x) {
      const size_t k = static_cast<size_t>(y) * kFrameWidth + x;
      const bool hole = withHoles && k % 16 == 0;
      frame.depth[k] = hole ? 0 : static_cast<uint16_t>(800 + (x * 4000) / kFrameWidth + (y % 7));
    }
  }
  return frame;
}

// One GL context and video program for the whole run.
bool glReady() {
  static std::unique_ptr<platform::OffscreenGlContext> context;
  static bool ready = [] {
    std::string error;
    context = platform::OffscreenGlContext::create(error);
    if (!context) {
      std::fprintf(stderr, "no GL context: %s\n", error.c_str());
      return false;
    }
    std::string status;
    return initVideoPointProgram(status);
  }();
  return ready;
}

RenderParams exportParams() {
  RenderParams params;
  params.point_size = params.render_point_size;
  return params;
}

void BM_BuildGpuPoints(benchmark::State& state) {
  const FrameData frame = benchFrame(state.range(1) != 0);
  const float ratio = static_cast<float>(state.range(0)) / 100.0f;
  size_t points = 0;
  for (auto _ : state) {
    std::vector<GpuPoint> built = buildGpuPoints(frame, 10.0f, ratio);
    points = built.size();
    benchmark::DoNotOptimize(built.data());
    benchmark::ClobberMemory();
  }
  state.counters["points"] = static_cast<double>(points);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrameWidth * kFrameHeight);
}
// Ratio in percent, holes on or off. Without holes and at ratio 1 every pixel becomes a point,
// the case the plain loop below matches float for float.
BENCHMARK(BM_BuildGpuPoints)->Args({100, 0})->Args({100, 1})->Args({50, 1})->Unit(benchmark::kMicrosecond);

// The floor for buildGpuPoints: read every depth sample and write four floats for it into a
// vector reserved per frame, as many floats as the hole-free frame gives at ratio 1.
void BM_PlainDepthLoop(benchmark::State& state) {
  const FrameData frame = benchFrame(false);
  for (auto _ : state) {
    std::vector<float> floats;
    floats.reserve(frame.depth.size() * 4);
    for (const uint16_t raw : frame.depth) {
      const float z = static_cast<float>(raw) * 0.001f;
      floats.push_back(z);
      floats.push_back(z);
      floats.push_back(z);
      floats.push_back(z);
    }
    benchmark::DoNotOptimize(floats.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrameWidth * kFrameHeight);
}
BENCHMARK(BM_PlainDepthLoop)->Unit(benchmark::kMicrosecond);

void BM_RenderGpuFrameToImage(benchmark::State& state) {
  if (!glReady()) {
    state.SkipWithError("no GL context");
    return;
  }
  const FrameData frame = benchFrame(true);
  const RenderParams params = exportParams();
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  for (auto _ : state) {
    ImageRGB image = renderGpuFrameToImage(frame, params, width, height, false, false);
    if (image.empty()) {
      state.SkipWithError("render failed");
      return;
    }
    benchmark::DoNotOptimize(image.pixels.data());
  }
}
BENCHMARK(BM_RenderGpuFrameToImage)->Args({1600, 960})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->UseRealTime();

// The render's two GL halves on a target made once: clear and draw until finished, and read-back.
struct GlTarget {
  std::unique_ptr<platform::GlFramebuffer> framebuffer;
  GLuint pointBuffer = 0;
  size_t pointCount = 0;

  GlTarget(int width, int height) {
    std::string error;
    framebuffer = platform::GlFramebuffer::create(width, height, error);
    const std::vector<GpuPoint> points = buildGpuPoints(benchFrame(true), 10.0f, 1.0f);
    pointCount = points.size();
    glGenBuffers(1, &pointBuffer);
    glBindBuffer(GL_ARRAY_BUFFER, pointBuffer);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(points.size() * sizeof(GpuPoint)), points.data(),
                 GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
  }
  ~GlTarget() { glDeleteBuffers(1, &pointBuffer); }
  GlTarget(const GlTarget&) = delete;
  GlTarget& operator=(const GlTarget&) = delete;

  void draw(const RenderParams& params) const {
    framebuffer->bind();
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    drawVideoPoints(pointBuffer, pointCount, params,
                    videoExportMvp(params, framebuffer->width(), framebuffer->height(), false, false),
                    params.point_size);
    glFinish();
  }
};

void BM_DrawPass(benchmark::State& state) {
  if (!glReady()) {
    state.SkipWithError("no GL context");
    return;
  }
  const GlTarget target(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const RenderParams params = exportParams();
  for (auto _ : state) target.draw(params);
  state.counters["points"] = static_cast<double>(target.pointCount);
}
BENCHMARK(BM_DrawPass)->Args({1600, 960})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadBack(benchmark::State& state) {
  if (!glReady()) {
    state.SkipWithError("no GL context");
    return;
  }
  const GlTarget target(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  target.draw(exportParams());
  std::vector<uint8_t> pixels;
  for (auto _ : state) {
    if (!target.framebuffer->readRgb(pixels)) {
      state.SkipWithError("read-back failed");
      return;
    }
    benchmark::DoNotOptimize(pixels.data());
  }
}
BENCHMARK(BM_ReadBack)->Args({1600, 960})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ShrinkImage(benchmark::State& state) {
  ImageRGB source;
  source.width = 1600;
  source.height = 960;
  source.pixels.resize(static_cast<size_t>(source.width) * source.height * 3);
  for (size_t i = 0; i < source.pixels.size(); ++i) source.pixels[i] = static_cast<uint8_t>((i * 37) >> 3);
  for (auto _ : state) {
    ImageRGB preview = pcv0930::shrinkImage(source, 800, 480, true);
    benchmark::DoNotOptimize(preview.pixels.data());
  }
}
BENCHMARK(BM_ShrinkImage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
