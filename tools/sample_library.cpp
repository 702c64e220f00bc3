#include "sample_library.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "pcp_writer.h"

namespace samples {

namespace {

constexpr int kFps = 24;

int64_t clockAt(int hours, int minutes, int seconds, int frames) {
  return int64_t{hours} * 86400 + int64_t{minutes} * 1440 + int64_t{seconds} * 24 + frames;
}

std::string timecodeText(int64_t clock) {
  char text[16];
  std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ":%02" PRId64, clock / 86400 % 24,
                clock / 1440 % 60, clock / 24 % 60, clock % 24);
  return text;
}

uint64_t mixSeed(uint64_t seed, uint64_t value) {
  uint64_t z = seed ^ (value * 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 33)) * 0xff51afd7ed558ccdull;
  return z ^ (z >> 33);
}

const char* kindText(pcvwrite::FrameKind kind) {
  switch (kind) {
    case pcvwrite::FrameKind::Frm1: return "FRM1 (raw depth)";
    case pcvwrite::FrameKind::Frm2: return "FRM2 (LZ4 depth)";
    case pcvwrite::FrameKind::Frm3: return "FRM3 (raw depth + JPEG)";
  }
  return "";
}

const char* indexText(pcvwrite::IndexStyle style) {
  switch (style) {
    case pcvwrite::IndexStyle::None: return "no index";
    case pcvwrite::IndexStyle::Embedded: return "embedded index";
    case pcvwrite::IndexStyle::Sidecar: return "sidecar .idx index";
  }
  return "";
}

std::string frameMetadata(const RecordingPlan& plan, size_t frameIndex) {
  const DepthSensor sensor = depthSensor(plan.width, plan.height);
  nlohmann::ordered_json meta;
  meta["capture_index"] = plan.firstCaptureIndex + frameIndex;
  meta["timecode"] = timecodeText(plan.startClock + static_cast<int64_t>(frameIndex));
  meta["timestamp_us"] = frameIndex * 1000000 / kFps;
  meta["device"] = "Tessaline synthetic depth camera";
  meta["depth_width"] = plan.width;
  meta["depth_height"] = plan.height;
  meta["depth_unit"] = "mm";
  meta["recorded_fps"] = kFps;
  meta["fx"] = sensor.camera.fx;
  meta["fy"] = sensor.camera.fy;
  meta["cx"] = sensor.camera.cx;
  meta["cy"] = sensor.camera.cy;
  if (plan.kind == pcvwrite::FrameKind::Frm3) {
    const PinholeCamera colour = colourCamera();
    meta["rgb_width"] = colour.width;
    meta["rgb_height"] = colour.height;
  }
  return meta.dump();
}

std::vector<pcvwrite::Frame> renderRecording(const RecordingPlan& plan, size_t frameCount, unsigned threads) {
  std::vector<pcvwrite::Frame> frames(frameCount);
  // Every frame has its own seed, so the split between threads does not change a byte.
  auto renderShare = [&](unsigned first, unsigned step) {
    for (size_t i = first; i < frameCount; i += step) frames[i] = renderFrame(plan, i);
  };
  const unsigned workers = std::max(1u, threads);
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < workers; ++t) pool.emplace_back(renderShare, t, workers);
  renderShare(0, workers);
  for (std::thread& thread : pool) thread.join();
  return frames;
}

uint64_t fileSize(const std::string& path) {
  std::error_code failure;
  const uintmax_t size = std::filesystem::file_size(path, failure);
  return failure ? 0 : size;
}

std::string sizeText(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

constexpr double kPhotoDisplayDistance = 6.0;

std::string photoMetadata(const PhotoPlan& plan, const PhotoFiles& files) {
  const DepthSensor sensor = depthSensor(plan.width, plan.height);
  nlohmann::ordered_json meta;
  meta["device"] = "Tessaline synthetic depth camera";
  meta["depth_width"] = plan.width;
  meta["depth_height"] = plan.height;
  meta["depth_unit"] = "mm";
  meta["fx"] = sensor.camera.fx;
  meta["fy"] = sensor.camera.fy;
  meta["cx"] = sensor.camera.cx;
  meta["cy"] = sensor.camera.cy;
  meta["color_mode"] = plan.colorMode;
  meta["max_display_distance"] = kPhotoDisplayDistance;
  meta["D1"] = 0.5;
  meta["D2"] = 3.0;
  meta["D3"] = kPhotoDisplayDistance;
  if (plan.form == PhotoForm::Pcp) {
    // The newer camera model: the depth camera's own vertical half field of view.
    const double halfFov = std::atan(0.5 * plan.height / sensor.camera.fy) * 180.0 / 3.14159265358979323846;
    meta["fov_half_deg"] = std::round(halfFov * 100.0) / 100.0;
    meta["camera_pos"] = {0.0, 0.0, 5.0};
    meta["camera_target"] = {0.0, 0.0, 0.0};
    meta["camera_up"] = {0.0, 1.0, 0.0};
  } else {
    meta["fov"] = 20.0;
    meta["scale_x"] = 0.7;
    meta["scale_y"] = 1.0;
    meta["high_res_texture"] = std::filesystem::path(files.texture).filename().string();
  }
  return meta.dump();
}

std::string photoLine(const PhotoPlan& plan, const PhotoFiles& files) {
  namespace fs = std::filesystem;
  const bool pcp = plan.form == PhotoForm::Pcp;
  const uint64_t bytes = fileSize(files.capture) + (pcp ? 0 : fileSize(files.json) + fileSize(files.texture));
  const std::string names = pcp ? fs::path(files.capture).filename().string()
                                : fs::path(files.capture).filename().string() + " + " +
                                      fs::path(files.json).filename().string() + " + " +
                                      fs::path(files.texture).filename().string();
  char line[320];
  std::snprintf(line, sizeof line, "%s: %s photo, %u x %u depth, %u x %u JPEG picture, colour mode %s, %s",
                names.c_str(), pcp ? "PCP" : "legacy", plan.width, plan.height, plan.pictureWidth, plan.pictureHeight,
                plan.colorMode ? "on" : "off", sizeText(bytes).c_str());
  return line;
}

bool writePhoto(const std::string& folder, const PhotoPlan& plan, std::string& error) {
  const Scene scene = sceneAt(plan.walk, plan.seconds);
  const PhotoFiles files = photoFiles(folder, plan);
  const std::vector<uint16_t> depth =
      renderDepth(scene, depthSensor(plan.width, plan.height), mixSeed(plan.seed, 0));
  const PinholeCamera pictureCamera = depthSensor(plan.pictureWidth, plan.pictureHeight).camera;
  const std::vector<uint8_t> picture =
      encodeJpeg(renderColour(scene, pictureCamera, mixSeed(plan.seed, 1)), plan.pictureWidth, plan.pictureHeight, 90);
  const std::string meta = photoMetadata(plan, files);
  const bool written = plan.form == PhotoForm::Pcp
                           ? pcpwrite::writePcp(files.capture, {meta, depth, picture})
                           : pcpwrite::writeLegacy(files.capture, files.json, meta, depth) &&
                                 pcvwrite::writeFile(files.texture, picture);
  if (picture.empty() || !written) {
    error = "Could not write " + files.capture;
    return false;
  }
  return true;
}

}  // namespace

std::vector<RecordingPlan> libraryPlan() {
  using pcvwrite::FrameKind;
  using pcvwrite::IndexStyle;
  return {
      {"walk_frm1_sidecar", FrameKind::Frm1, IndexStyle::Sidecar, 240, 1, 320, 288,
       {{-1.4, 0, 2.0}, {2.4, 0, 2.0}, 10.0, 0.0}, clockAt(9, 41, 12, 0), 1200, 0x5a31},
      {"walk_frm2_embedded", FrameKind::Frm2, IndexStyle::Embedded, 240, 1, 320, 288,
       {{1.5, 0, 1.8}, {-2.3, 0, 1.8}, 10.0, 0.3}, clockAt(10, 5, 30, 7), 48211, 0x5a32},
      {"walk_frm2_noindex", FrameKind::Frm2, IndexStyle::None, 240, 1, 320, 288,
       {{0.3, 0, 4.0}, {-0.4, 0, 1.0}, 10.0, 0.6}, clockAt(11, 17, 3, 20), 3, 0x5a33},
      {"walk_frm3_rgb_segmented", FrameKind::Frm3, IndexStyle::Embedded, 240, 3, 320, 288,
       {{-1.9, 0, 2.3}, {0.2, 0, 3.9}, 10.0, 0.1}, clockAt(14, 32, 7, 0), 90017, 0x5a34},
      {"walk_frm2_640x576", FrameKind::Frm2, IndexStyle::Embedded, 192, 1, 640, 576,
       {{1.4, 0, 1.9}, {-2.4, 0, 1.9}, 8.0, 0.8}, clockAt(16, 48, 55, 12), 512, 0x5a35},
  };
}

std::vector<PhotoPlan> photoPlan() {
  return {
      {PhotoForm::Pcp, "photo_room_still", 0, 640, 576, 1280, 1152, false,
       {{-1.2, 0, 2.2}, {1.6, 0, 2.6}, 8.0, 0.2}, 3.5, 0x7c01},
      {PhotoForm::Pcp, "photo_figure_colour", 0, 320, 288, 640, 576, true,
       {{0.9, 0, 1.7}, {-0.8, 0, 2.9}, 6.0, 0.5}, 2.0, 0x7c02},
      {PhotoForm::Legacy, "pointcloud_7", 7, 320, 288, 640, 576, true,
       {{-0.6, 0, 2.0}, {0.7, 0, 3.2}, 6.0, 0.0}, 4.0, 0x7c03},
  };
}

PhotoFiles photoFiles(const std::string& folder, const PhotoPlan& plan) {
  const std::filesystem::path base(folder);
  if (plan.form == PhotoForm::Pcp) return {(base / (plan.name + ".pcp")).string(), "", ""};
  const std::string number = std::to_string(plan.captureNumber);
  return {(base / (plan.name + ".bin")).string(), (base / ("render_params_" + number + ".json")).string(),
          (base / ("texture_" + number + ".jpg")).string()};
}

pcvwrite::Frame renderFrame(const RecordingPlan& plan, size_t frameIndex) {
  const Scene scene = sceneAt(plan.walk, static_cast<double>(frameIndex) / kFps);
  pcvwrite::Frame frame;
  frame.kind = plan.kind;
  frame.metaJson = frameMetadata(plan, frameIndex);
  frame.depth = renderDepth(scene, depthSensor(plan.width, plan.height), mixSeed(plan.seed, 2 * frameIndex));
  if (plan.kind == pcvwrite::FrameKind::Frm3) {
    const PinholeCamera camera = colourCamera();
    frame.rgbJpeg =
        encodeJpeg(renderColour(scene, camera, mixSeed(plan.seed, 2 * frameIndex + 1)), camera.width, camera.height, 88);
  }
  return frame;
}

bool writeLibrary(const std::string& folder, const LibraryOptions& options, std::vector<std::string>& written,
                  std::string& error) {
  namespace fs = std::filesystem;
  for (const RecordingPlan& plan : libraryPlan()) {
    const size_t frameCount =
        options.maxFramesPerRecording == 0 ? plan.frameCount : std::min(plan.frameCount, options.maxFramesPerRecording);
    const size_t perSegment = std::max<size_t>(1, (frameCount + plan.segmentCount - 1) / plan.segmentCount);
    const std::string basePath = (fs::path(folder) / plan.name).string();
    const std::vector<pcvwrite::Frame> frames = renderRecording(plan, frameCount, options.threads);
    if (!pcvwrite::writeRecording(basePath, frames, perSegment, plan.index)) {
      error = "Could not write " + basePath + ".pcv";
      return false;
    }
    const size_t segments = std::max<size_t>(1, (frameCount + perSegment - 1) / perSegment);
    uint64_t bytes = 0;
    for (size_t segment = 0; segment < segments; ++segment) {
      const std::string path = pcvwrite::segmentPath(basePath, segment);
      bytes += fileSize(path);
      if (plan.index == pcvwrite::IndexStyle::Sidecar) bytes += fileSize(path + ".idx");
    }
    char line[256];
    std::snprintf(line, sizeof line, "%s.pcv: %zu frames, %s, %u x %u, %s, %zu segment%s, %s", plan.name.c_str(),
                  frameCount, kindText(plan.kind), plan.width, plan.height, indexText(plan.index), segments,
                  segments == 1 ? "" : "s", sizeText(bytes).c_str());
    written.push_back(line);
  }
  for (const PhotoPlan& plan : photoPlan()) {
    if (!writePhoto(folder, plan, error)) return false;
    written.push_back(photoLine(plan, photoFiles(folder, plan)));
  }
  return true;
}

}  // namespace samples
