#pragma once
// Writes point cloud photos: PCP files (the byte layout pcp::loadPcp reads) and legacy pairs of a
// raw depth ".bin" and a ".json" (pcp::loadLegacy). Used by the tests, the fuzz seeds and the
// sample library.
#include <cstdint>
#include <string>
#include <vector>

namespace pcpwrite {

struct Photo {
  std::string metaJson;
  std::vector<uint16_t> depth;   // row-major millimetres
  std::vector<uint8_t> picture;  // an encoded colour picture (JPEG, PNG, ...); may be empty
};

// The 16-byte magic.
std::vector<uint8_t> magic();
// Magic plus the three length fields, for hand-made (often deliberately lying) files.
std::vector<uint8_t> header(uint32_t metadataLength, uint32_t depthLength, uint32_t pictureLength);
// A complete PCP file with lengths that match its payloads.
std::vector<uint8_t> encodePcp(const Photo& photo);
bool writePcp(const std::string& path, const Photo& photo);

// PNG bytes of an 8-bit RGB image (lossless, so tests can check exact colours); empty on failure.
std::vector<uint8_t> encodePng(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height);

// A legacy pair: depth to binPath, metaJson to jsonPath.
bool writeLegacy(const std::string& binPath, const std::string& jsonPath, const std::string& metaJson,
                 const std::vector<uint16_t>& depth);

}  // namespace pcpwrite
