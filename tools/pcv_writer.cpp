#include "pcv_writer.h"

#include <lz4.h>

#include <cstring>
#include <fstream>

namespace pcvwrite {

void appendU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void appendU64(std::vector<uint8_t>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> segmentHeader() {
  // The magic is the first 13 bytes; the last three are not read by PcvReader.
  static const char kHeader[] = "TOLVEX_KVID_V001";
  return std::vector<uint8_t>(kHeader, kHeader + 16);
}

std::vector<uint8_t> depthBytes(const std::vector<uint16_t>& depth) {
  std::vector<uint8_t> bytes;
  bytes.reserve(depth.size() * 2);
  for (uint16_t sample : depth) {
    bytes.push_back(static_cast<uint8_t>(sample & 0xff));
    bytes.push_back(static_cast<uint8_t>(sample >> 8));
  }
  return bytes;
}

namespace {

std::vector<uint8_t> lz4Block(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> packed(static_cast<size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
  int n = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()), reinterpret_cast<char*>(packed.data()),
                               static_cast<int>(raw.size()), static_cast<int>(packed.size()));
  packed.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return packed;
}

}  // namespace

std::vector<uint8_t> encodeFrame(const Frame& frame) {
  const std::vector<uint8_t> raw = depthBytes(frame.depth);
  std::vector<uint8_t> out;
  const uint32_t metaLength = static_cast<uint32_t>(frame.metaJson.size());
  const uint32_t depthLength = static_cast<uint32_t>(raw.size());
  std::vector<uint8_t> payload;
  switch (frame.kind) {
    case FrameKind::Frm1:
      out.insert(out.end(), {'F', 'R', 'M', '1'});
      appendU32(out, metaLength);
      appendU32(out, depthLength);
      payload = raw;
      break;
    case FrameKind::Frm2:
      payload = lz4Block(raw);
      out.insert(out.end(), {'F', 'R', 'M', '2'});
      appendU32(out, metaLength);
      appendU32(out, depthLength);
      appendU32(out, static_cast<uint32_t>(payload.size()));
      break;
    case FrameKind::Frm3:
      out.insert(out.end(), {'F', 'R', 'M', '3'});
      appendU32(out, metaLength);
      appendU32(out, depthLength);
      appendU32(out, static_cast<uint32_t>(frame.rgbJpeg.size()));
      payload = raw;
      payload.insert(payload.end(), frame.rgbJpeg.begin(), frame.rgbJpeg.end());
      break;
  }
  out.insert(out.end(), frame.metaJson.begin(), frame.metaJson.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<uint8_t> embeddedIndex(const std::vector<uint64_t>& offsets, uint64_t indexOffset) {
  std::vector<uint8_t> out;
  for (uint64_t offset : offsets) appendU64(out, offset);
  out.insert(out.end(), {'K', 'V', 'I', 'D', 'X', '2', 0, 0});
  appendU64(out, indexOffset);
  appendU32(out, static_cast<uint32_t>(offsets.size()));
  appendU32(out, 1);
  return out;
}

std::vector<uint8_t> sidecarIndex(const std::vector<uint64_t>& offsets) {
  std::vector<uint8_t> out = {'K', 'V', 'I', 'D', 'X', '1', 0, 0};
  appendU32(out, static_cast<uint32_t>(offsets.size()));
  for (uint64_t offset : offsets) appendU64(out, offset);
  return out;
}

Segment::Segment() : bytes(segmentHeader()) {}

void Segment::add(const Frame& frame) { addRaw(encodeFrame(frame)); }

void Segment::addRaw(const std::vector<uint8_t>& record) {
  frameOffsets.push_back(bytes.size());
  bytes.insert(bytes.end(), record.begin(), record.end());
}

std::vector<uint8_t> Segment::finish(IndexStyle style) {
  if (style == IndexStyle::Embedded) {
    std::vector<uint8_t> index = embeddedIndex(frameOffsets, bytes.size());
    bytes.insert(bytes.end(), index.begin(), index.end());
  } else if (style == IndexStyle::Sidecar) {
    return sidecarIndex(frameOffsets);
  }
  return {};
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

std::string segmentPath(const std::string& basePath, size_t segmentNumber) {
  return segmentNumber == 0 ? basePath + ".pcv" : basePath + "_" + std::to_string(segmentNumber) + ".pcv";
}

bool writeRecording(const std::string& basePath, const std::vector<Frame>& frames, size_t framesPerSegment,
                    IndexStyle style) {
  const size_t perSegment = framesPerSegment == 0 ? frames.size() : framesPerSegment;
  size_t next = 0;
  for (size_t segmentNumber = 0; next < frames.size() || segmentNumber == 0; ++segmentNumber) {
    Segment segment;
    for (size_t n = 0; n < perSegment && next < frames.size(); ++n) segment.add(frames[next++]);
    const std::vector<uint8_t> sidecar = segment.finish(style);
    const std::string path = segmentPath(basePath, segmentNumber);
    if (!writeFile(path, segment.bytes)) return false;
    if (style == IndexStyle::Sidecar && !writeFile(path + ".idx", sidecar)) return false;
  }
  return true;
}

}  // namespace pcvwrite
