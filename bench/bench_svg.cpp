// pcp::exportSvg of a full 640 x 576 photo: projection, sorting and writing every point.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "pcp_capture.h"
#include "pcp_writer.h"
#include "svg_export.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWidth = 640;
constexpr uint32_t kHeight = 576;

// A colour photo of a gently curved wall 1.5 to 3.5 m away, written to disk and loaded back once.
struct FullPhoto {
  benchsupport::TemporaryFolder temporary;
  const fs::path& folder = temporary.path();
  pcp::CaptureData capture;
  std::string error;

  FullPhoto() {
    if (folder.empty()) {
      error = "mkdtemp failed";
      return;
    }
    pcpwrite::Photo photo;
    photo.metaJson = R"({"depth_width": 640, "depth_height": 576, "fov_half_deg": 30, "color_mode": true})";
    std::vector<uint8_t> rgb;
    rgb.reserve(size_t{kWidth} * kHeight * 3);
    for (uint32_t y = 0; y < kHeight; ++y) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        const double wave = std::sin(x * 0.03) * std::cos(y * 0.02);
        photo.depth.push_back(static_cast<uint16_t>(2500 + 1000 * wave));
        rgb.push_back(static_cast<uint8_t>(x * 255 / kWidth));
        rgb.push_back(static_cast<uint8_t>(y * 255 / kHeight));
        rgb.push_back(128);
      }
    }
    photo.picture = pcpwrite::encodePng(rgb, kWidth, kHeight);
    const std::string path = (folder / "full.pcp").string();
    if (!pcpwrite::writePcp(path, photo) || !pcp::loadPcp(path, "", capture)) error = "cannot write or load " + path;
  }
};

FullPhoto& fullPhoto() {
  static FullPhoto photo;
  return photo;
}

void BM_ExportSvgFullPhoto(benchmark::State& state) {
  FullPhoto& photo = fullPhoto();
  if (!photo.error.empty()) {
    state.SkipWithError(photo.error.c_str());
    return;
  }
  const float ratio = static_cast<float>(state.range(0)) / 100.0f;
  const std::vector<pcp::SliderPoint> nodes = {{0.0f, 0.2f, 1}, {0.5f, 1.0f, 2}, {1.0f, 0.4f, 3}};
  const std::string path = (photo.folder / "full.svg").string();
  std::string error;
  for (auto _ : state) {
    if (!pcp::exportSvg(photo.capture, nodes, 5.0f, 1.5f, 1280, 1152, path, error, {}, ratio)) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(photo.capture.points.size()));
  state.counters["svg_MiB"] = static_cast<double>(fs::file_size(path)) / (1024.0 * 1024.0);
}
BENCHMARK(BM_ExportSvgFullPhoto)->Arg(100)->Arg(50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
