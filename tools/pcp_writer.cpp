#include "pcp_writer.h"

#include <stb_image_write.h>

#include "pcv_writer.h"

namespace pcpwrite {

std::vector<uint8_t> magic() {
  static const char kMagic[] = "TOLVEX_KPT_V1";
  std::vector<uint8_t> bytes(kMagic, kMagic + 13);
  bytes.resize(16, 0);
  return bytes;
}

std::vector<uint8_t> header(uint32_t metadataLength, uint32_t depthLength, uint32_t pictureLength) {
  std::vector<uint8_t> bytes = magic();
  pcvwrite::appendU32(bytes, metadataLength);
  pcvwrite::appendU32(bytes, depthLength);
  pcvwrite::appendU32(bytes, pictureLength);
  return bytes;
}

std::vector<uint8_t> encodePcp(const Photo& photo) {
  const std::vector<uint8_t> depth = pcvwrite::depthBytes(photo.depth);
  std::vector<uint8_t> bytes = header(static_cast<uint32_t>(photo.metaJson.size()), static_cast<uint32_t>(depth.size()),
                                      static_cast<uint32_t>(photo.picture.size()));
  bytes.insert(bytes.end(), photo.metaJson.begin(), photo.metaJson.end());
  bytes.insert(bytes.end(), depth.begin(), depth.end());
  bytes.insert(bytes.end(), photo.picture.begin(), photo.picture.end());
  return bytes;
}

bool writePcp(const std::string& path, const Photo& photo) { return pcvwrite::writeFile(path, encodePcp(photo)); }

std::vector<uint8_t> encodePng(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height) {
  std::vector<uint8_t> png;
  if (width == 0 || height == 0 || rgb.size() != size_t{width} * height * 3) return png;
  auto append = [](void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
  };
  if (!stbi_write_png_to_func(append, &png, static_cast<int>(width), static_cast<int>(height), 3, rgb.data(),
                              static_cast<int>(width * 3)))
    png.clear();
  return png;
}

bool writeLegacy(const std::string& binPath, const std::string& jsonPath, const std::string& metaJson,
                 const std::vector<uint16_t>& depth) {
  return pcvwrite::writeFile(binPath, pcvwrite::depthBytes(depth)) &&
         pcvwrite::writeFile(jsonPath, std::vector<uint8_t>(metaJson.begin(), metaJson.end()));
}

}  // namespace pcpwrite
