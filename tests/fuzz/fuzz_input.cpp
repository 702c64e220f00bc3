#include "fuzz_input.h"

#include <stdlib.h>

#include <algorithm>

#include "pcv_writer.h"

namespace pcvfuzz {

namespace {
constexpr size_t kSidecarPrefix = 3;
}

RecordingFiles splitInput(const uint8_t* data, size_t size) {
  RecordingFiles files;
  if (size == 0) return files;
  if ((data[0] & 1) == 0 || size < kSidecarPrefix) {
    files.segment.assign(data + 1, data + size);
    return files;
  }
  const size_t rest = size - kSidecarPrefix;
  const size_t sidecarLength = std::min<size_t>(rest, size_t{data[1]} | size_t{data[2]} << 8);
  files.hasSidecar = true;
  files.segment.assign(data + kSidecarPrefix, data + size - sidecarLength);
  files.sidecar.assign(data + size - sidecarLength, data + size);
  return files;
}

Bytes joinInput(const RecordingFiles& files) {
  if (!files.hasSidecar) {
    Bytes input = {0};
    input.insert(input.end(), files.segment.begin(), files.segment.end());
    return input;
  }
  const size_t length = std::min<size_t>(files.sidecar.size(), 0xffff);
  Bytes input = {1, static_cast<uint8_t>(length & 0xff), static_cast<uint8_t>(length >> 8)};
  input.insert(input.end(), files.segment.begin(), files.segment.end());
  input.insert(input.end(), files.sidecar.end() - static_cast<std::ptrdiff_t>(length), files.sidecar.end());
  return input;
}

ProcessFolder::ProcessFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tessaline-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) folder_ = pattern;
}

ProcessFolder::~ProcessFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::string ProcessFolder::file(const char* name) const { return (folder_ / name).string(); }

bool writeInputFiles(const RecordingFiles& files, const std::string& path, const std::string& sidecarPath) {
  if (!pcvwrite::writeFile(path, files.segment)) return false;
  if (files.hasSidecar) return pcvwrite::writeFile(sidecarPath, files.sidecar);
  std::error_code ignored;
  std::filesystem::remove(sidecarPath, ignored);
  return true;
}

}  // namespace pcvfuzz
