#pragma once
// Writes PCV segment files: the byte layout that PcvReader reads. Used by the sample-library
// generator, the tests and the benchmarks, so every fixture goes through one writer.
#include <cstdint>
#include <string>
#include <vector>

namespace pcvwrite {

enum class FrameKind { Frm1, Frm2, Frm3 };

struct Frame {
  FrameKind kind = FrameKind::Frm1;
  std::string metaJson;
  std::vector<uint16_t> depth;   // row-major millimetres
  std::vector<uint8_t> rgbJpeg;  // FRM3 only
};

enum class IndexStyle { None, Embedded, Sidecar };

// The 16-byte segment file header.
std::vector<uint8_t> segmentHeader();

// One frame record: header, metadata, payload. FRM2 depth is compressed as one LZ4 block.
std::vector<uint8_t> encodeFrame(const Frame& frame);

// Depth samples as little-endian bytes, the layout of raw depth in every capture format.
std::vector<uint8_t> depthBytes(const std::vector<uint16_t>& depth);

// Little-endian helpers for hand-made (often deliberately broken) fixtures.
void appendU32(std::vector<uint8_t>& out, uint32_t value);
void appendU64(std::vector<uint8_t>& out, uint64_t value);

// KVIDX2 block appended to a segment: the offsets followed by the 24-byte trailer.
std::vector<uint8_t> embeddedIndex(const std::vector<uint64_t>& offsets, uint64_t indexOffset);
// Contents of a ".idx" sidecar file.
std::vector<uint8_t> sidecarIndex(const std::vector<uint64_t>& offsets);

// A segment assembled in memory; frameOffsets are the header offsets of its frames.
struct Segment {
  std::vector<uint8_t> bytes;
  std::vector<uint64_t> frameOffsets;

  Segment();
  void add(const Frame& frame);
  void addRaw(const std::vector<uint8_t>& record);
  // Appends the KVIDX2 block (Embedded) or returns the sidecar bytes (Sidecar); None does nothing.
  std::vector<uint8_t> finish(IndexStyle style);
};

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Path of segment number n of a recording: base + ".pcv" for 0, base + "_n.pcv" after it.
std::string segmentPath(const std::string& basePath, size_t segmentNumber);

// Writes frames as a recording: base + ".pcv", then base + "_1.pcv", ... with framesPerSegment
// frames each (0 = one segment), every segment with the given index style.
bool writeRecording(const std::string& basePath, const std::vector<Frame>& frames,
                    size_t framesPerSegment, IndexStyle style);

}  // namespace pcvwrite
