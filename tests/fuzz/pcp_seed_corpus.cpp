#include <string>

#include "pcp_writer.h"
#include "pcv_writer.h"
#include "seed_corpus.h"

namespace pcvfuzz {

namespace {

std::vector<uint16_t> smallDepth() {
  std::vector<uint16_t> depth;
  for (uint16_t i = 0; i < 12; ++i) depth.push_back(static_cast<uint16_t>(i % 5 == 0 ? 0 : 400 + 150 * i));
  return depth;
}

Bytes smallPicture(uint32_t width, uint32_t height) {
  std::vector<uint8_t> rgb;
  for (uint32_t i = 0; i < width * height * 3; ++i) rgb.push_back(static_cast<uint8_t>(37 * i));
  return pcpwrite::encodePng(rgb, width, height);
}

RecordingFiles photo(const std::string& meta, const Bytes& picture, const std::string& sidecar) {
  RecordingFiles files;
  files.segment = pcpwrite::encodePcp({meta, smallDepth(), picture});
  files.hasSidecar = !sidecar.empty();
  files.sidecar.assign(sidecar.begin(), sidecar.end());
  return files;
}

RecordingFiles legacyPair(const std::string& json) {
  RecordingFiles files;
  files.segment = pcvwrite::depthBytes(smallDepth());
  files.hasSidecar = true;
  files.sidecar.assign(json.begin(), json.end());
  return files;
}

void patchU32(Bytes& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void addMutations(const RecordingFiles& valid, std::vector<Bytes>& corpus) {
  const size_t size = valid.segment.size();
  for (size_t cut : {size_t{1}, size_t{9}, size / 2, size - 20}) {
    if (cut >= size) continue;
    RecordingFiles cutShort = valid;
    cutShort.segment.resize(size - cut);
    corpus.push_back(joinInput(cutShort));
  }
  for (size_t at : {size_t{0}, size_t{15}, size_t{16}, size_t{21}, size_t{29}, size_t{40}, size - 30, size - 1}) {
    if (at >= size) continue;
    RecordingFiles flipped = valid;
    flipped.segment[at] ^= 0x5a;
    corpus.push_back(joinInput(flipped));
  }
  for (uint32_t absurd : {0u, 1u, 3u, 0x4000001u, 0x40000001u, 0xfffffffeu, 0xffffffffu}) {
    for (size_t field : {size_t{16}, size_t{20}, size_t{24}}) {
      RecordingFiles patched = valid;
      patchU32(patched.segment, field, absurd);
      corpus.push_back(joinInput(patched));
    }
  }
}

}  // namespace

std::vector<Bytes> pcpSeedCorpus() {
  const std::string meta = "{\"depth_width\":4,\"depth_height\":3,\"fx\":3.5,\"cy\":1.5}";
  std::vector<Bytes> corpus;
  for (const RecordingFiles& valid :
       {photo(meta, {}, ""), photo(meta, smallPicture(8, 6), ""), photo("{}", smallPicture(2, 2), "{\"depth_width\":4,\"depth_height\":3}"),
        photo(meta, smallPicture(3, 1), "{\"color_mode\":true,\"fx\":0,\"view_fov_half_deg\":30}"),
        photo("{\"depth_width\":-4,\"fy\":1e39}", smallPicture(1, 1), "[1]")}) {
    corpus.push_back(joinInput(valid));
    addMutations(valid, corpus);
  }
  for (const std::string& json :
       {std::string("{\"depth_width\":4,\"depth_height\":3}"),
        std::string("{\"depth_width\":4,\"depth_height\":3,\"color_mode\":true,\"high_res_texture\":\"input.pcp\"}"),
        std::string("{\"depth_width\":4,\"depth_height\":3,\"fy\":0}"), std::string("{\"depth_width\":0}")}) {
    corpus.push_back(joinInput(legacyPair(json)));
  }
  return corpus;
}

}  // namespace pcvfuzz
