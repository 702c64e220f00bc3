// Fuzz entry: one input is written as a one-segment recording (maybe with a sidecar index) and read
// through every public path of PcvReader.
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "pcv_reader.h"

namespace {

constexpr size_t kFramesDecoded = 16;

void previewAll(PcvReader& reader, const std::string& path, size_t frameCount) {
  FrameData frame;
  size_t totalFrames = 0;
  std::string lastMeta;
  for (size_t index : {size_t{0}, size_t{1}, frameCount > 0 ? frameCount - 1 : size_t{2}})
    reader.preview(path, index, frame, {}, &totalFrames, &lastMeta);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const pcvfuzz::ProcessFolder folder;
  const std::string path = folder.file("input.pcv");
  if (!pcvfuzz::writeInputFiles(pcvfuzz::splitInput(data, size), path, path + ".idx")) return 0;

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
