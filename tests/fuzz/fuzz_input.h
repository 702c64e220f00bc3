#pragma once
// How one fuzz input becomes files: a flag byte, then the main file's bytes (a recording's segment, a
// PCP file or a legacy ".bin"), with an optional sidecar (".idx" or ".json") split off the end.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
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

// One folder per process, so parallel fuzzing jobs never share files.
class ProcessFolder {
 public:
  ProcessFolder();
  ~ProcessFolder();
  ProcessFolder(const ProcessFolder&) = delete;
  ProcessFolder& operator=(const ProcessFolder&) = delete;
  std::string file(const char* name) const;

 private:
  std::filesystem::path folder_;
};

// Writes the input's files: the main file always, the sidecar when there is one (else removed).
bool writeInputFiles(const RecordingFiles& files, const std::string& path, const std::string& sidecarPath);

}  // namespace pcvfuzz
