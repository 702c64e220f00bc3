// Fuzz entry: one input is written as a one-segment recording (maybe with a sidecar index) and read
// through every public path of PcvReader.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_input.h"
#include "pcv_reader.h"
#include "pcv_writer.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kFramesDecoded = 16;

// One folder per process, so parallel fuzzing jobs never share files.
class ProcessFolder {
 public:
  ProcessFolder() {
    std::string pattern = (fs::temp_directory_path() / "tessaline-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) folder_ = pattern;
  }
  ~ProcessFolder() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  std::string file(const char* name) const { return (folder_ / name).string(); }

 private:
  fs::path folder_;
};

void previewAll(PcvReader& reader, const std::string& path, size_t frameCount) {
  FrameData frame;
  size_t totalFrames = 0;
  std::string lastMeta;
  for (size_t index : {size_t{0}, size_t{1}, frameCount > 0 ? frameCount - 1 : size_t{2}})
    reader.preview(path, index, frame, {}, &totalFrames, &lastMeta);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ProcessFolder folder;
  const std::string path = folder.file("input.pcv");
  const std::string sidecarPath = path + ".idx";
  const pcvfuzz::RecordingFiles files = pcvfuzz::splitInput(data, size);
  if (!pcvwrite::writeFile(path, files.segment)) return 0;
  std::error_code ignored;
  if (files.hasSidecar) {
    if (!pcvwrite::writeFile(sidecarPath, files.sidecar)) return 0;
  } else {
    fs::remove(sidecarPath, ignored);
  }

  PcvReader reader;
  size_t frameCount = 0;
  if (reader.open(path)) {
    frameCount = reader.frameCount();
    FrameData frame;
    std::string meta;
    for (size_t i = 0; i < frameCount && i < kFramesDecoded; ++i) {
      reader.readFrame(i, frame, i % 2 == 0);
      reader.readMeta(i, meta);
      reader.hasRgb(i);
    }
    reader.readFrame(frameCount, frame, true);
    reader.readMeta(frameCount, meta);
    reader.hasRgb(frameCount);
    previewAll(reader, path, frameCount);  // the held complete index
  }
  PcvReader fresh;
  previewAll(fresh, path, frameCount);
  return 0;
}
