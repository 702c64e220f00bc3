#pragma once
// Rendered preview pictures on disk, one file per cache key, shared by the browser and its jobs.
// Files are replaced whole (written under a temporary name, then renamed) and validated whole on
// read, so readers on other threads never see a half-written picture.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pcv0930 {

struct CachedPreview {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;  // 8-bit RGB, rows top to bottom
  nlohmann::json metadata;
};

class PreviewCache {
 public:
  static constexpr uint32_t kMaxHeaderLength = 1048576;
  static constexpr uint32_t kMaxSide = 1600;
  static constexpr uint64_t kSizeLimit = 536870912;  // 512 MiB
  static constexpr uint64_t kWritesPerTrim = 16;

  // Every kWritesPerTrim-th write (the first included) trims the folder to sizeLimit bytes.
  explicit PreviewCache(std::filesystem::path root, uint64_t sizeLimit = kSizeLimit);

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path path(const std::string& key) const;
  // False for a missing file and for any file that does not hold exactly this key's picture; a
  // hit marks the file as recently used.
  bool read(const std::string& key, CachedPreview& out) const;
  // Ignores pictures whose pixel count does not match their size; failures are silent.
  void write(const std::string& key, const CachedPreview& preview);
  // Deletes the least recently used files until the folder holds at most limit bytes of them.
  void trim(uint64_t limit) const;

 private:
  std::filesystem::path root_;
  uint64_t sizeLimit_;
  std::atomic<uint64_t> writes_{0};
};

}  // namespace pcv0930
