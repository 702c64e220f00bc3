#pragma once
// The sample library: a set of synthetic recordings that between them use every frame kind, index
// style and a multi-segment recording, written by tessaline-samples and by the tests.
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

// Writes every recording of the plan into folder (which must exist). written receives one line per
// recording; on failure error says what went wrong.
bool writeLibrary(const std::string& folder, const LibraryOptions& options, std::vector<std::string>& written,
                  std::string& error);

}  // namespace samples
