#pragma once
// The sample library: a set of synthetic recordings that between them use every frame kind, index
// style and a multi-segment recording, and a few photos (PCP files and a legacy pair), written by
// tessaline-samples and by the tests.
#include <cstdint>
#include <string>
#include <vector>

#include "pcv_writer.h"
#include "sample_scene.h"

namespace samples {

struct RecordingPlan {
  std::string name;  // file name of the first segment without ".pcv"
  pcvwrite::FrameKind kind = pcvwrite::FrameKind::Frm1;
  pcvwrite::IndexStyle index = pcvwrite::IndexStyle::None;
  size_t frameCount = 240;  // 10 s at 24 frames per second
  size_t segmentCount = 1;
  uint32_t width = 320;
  uint32_t height = 288;
  Walk walk;
  int64_t startClock = 0;  // timecode of frame 0 in 1/24 s units
  uint64_t firstCaptureIndex = 0;
  uint64_t seed = 0;
};

std::vector<RecordingPlan> libraryPlan();

struct LibraryOptions {
  size_t maxFramesPerRecording = 0;  // 0: each recording at its planned length
  unsigned threads = 2;
};

pcvwrite::Frame renderFrame(const RecordingPlan& plan, size_t frameIndex);

enum class PhotoForm { Pcp, Legacy };

// One still of the scene: the depth image and a colour picture taken through the depth camera's
// own optics at the picture's resolution, so the picture lines up with the depth pixels.
struct PhotoPlan {
  PhotoForm form = PhotoForm::Pcp;
  std::string name;  // PCP: the file name without ".pcp"; legacy: "pointcloud_" + captureNumber
  uint32_t captureNumber = 0;  // legacy only: names the ".json" and the texture
  uint32_t width = 640;
  uint32_t height = 576;
  uint32_t pictureWidth = 1280;
  uint32_t pictureHeight = 1152;
  bool colorMode = false;
  Walk walk;
  double seconds = 0.0;
  uint64_t seed = 0;
};

std::vector<PhotoPlan> photoPlan();

// Files of a photo inside folder: the PCP file or the ".bin", its ".json" (legacy only; a PCP
// photo carries its metadata inside) and the legacy texture.
struct PhotoFiles {
  std::string capture;
  std::string json;
  std::string texture;
};
PhotoFiles photoFiles(const std::string& folder, const PhotoPlan& plan);

// Writes every recording and photo of the plans into folder (which must exist). written receives
// one line per recording and per photo; on failure error says what went wrong.
bool writeLibrary(const std::string& folder, const LibraryOptions& options, std::vector<std::string>& written,
                  std::string& error);

}  // namespace samples
