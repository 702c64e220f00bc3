#pragma once
// How one fuzz input becomes the files of a recording: a flag byte, then the segment bytes, with an
// optional ".idx" sidecar split off the end.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcvfuzz {

using Bytes = std::vector<uint8_t>;

struct RecordingFiles {
  Bytes segment;
  bool hasSidecar = false;
  Bytes sidecar;
};

// Byte 0 bit 0 asks for a sidecar whose length is the little-endian uint16 in bytes 1-2, taken from
// the end of the input (clamped to what is there).
RecordingFiles splitInput(const uint8_t* data, size_t size);
Bytes joinInput(const RecordingFiles& files);

}  // namespace pcvfuzz
