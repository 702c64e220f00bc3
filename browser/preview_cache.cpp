#include "preview_cache.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "project_file.h"

namespace fs = std::filesystem;

namespace pcv0930 {

namespace {

constexpr size_t kLengthFieldSize = 4;
constexpr int kSchema = 1;
constexpr const char* kExtension = ".preview";

uint32_t readU32(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

void appendU32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
}

// Width or height from the header: an integer inside 1 ... kMaxSide, else 0.
uint32_t sideFrom(const nlohmann::json& header, const char* name) {
  const auto found = header.find(name);
  if (found == header.end() || !found->is_number_integer()) return 0;
  const int64_t value = found->get<int64_t>();
  return value >= 1 && value <= PreviewCache::kMaxSide ? static_cast<uint32_t>(value) : 0;
}

}  // namespace

PreviewCache::PreviewCache(fs::path root, uint64_t sizeLimit) : root_(std::move(root)), sizeLimit_(sizeLimit) {}

fs::path PreviewCache::path(const std::string& key) const {
  return root_ / (std::to_string(fnv1a64(key)) + kExtension);
}

bool PreviewCache::read(const std::string& key, CachedPreview& out) const {
  const fs::path file = path(key);
  std::error_code error;
  const uintmax_t fileSize = fs::file_size(file, error);
  // Larger than the largest valid file: refused before anything is read.
  constexpr uintmax_t kMaxFileSize =
      kLengthFieldSize + kMaxHeaderLength + static_cast<uintmax_t>(kMaxSide) * kMaxSide * 3;
  if (error || fileSize < kLengthFieldSize || fileSize > kMaxFileSize) return false;

  std::ifstream stream(file, std::ios::binary);
  std::vector<uint8_t> bytes(static_cast<size_t>(fileSize));
  if (!stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) return false;
  // The file may have grown since it was measured; a longer file is not this picture either.
  if (stream.peek() != std::char_traits<char>::eof()) return false;

  const size_t n = bytes.size();
  const uint32_t headerLength = readU32(bytes, 0);
  if (headerLength > kMaxHeaderLength || headerLength > n - kLengthFieldSize) return false;
  const auto headerBegin = bytes.begin() + kLengthFieldSize;
  // A damaged header is a miss like any other damage, so the preview is rebuilt over it.
  const nlohmann::json header = nlohmann::json::parse(headerBegin, headerBegin + headerLength, nullptr, false);
  if (!header.is_object()) return false;
  const auto storedKey = header.find("key");
  const auto schema = header.find("schema");
  if (storedKey == header.end() || !storedKey->is_string() || storedKey->get_ref<const std::string&>() != key) {
    return false;
  }
  if (schema == header.end() || !schema->is_number_integer() || schema->get<int64_t>() != kSchema) return false;
  const uint32_t width = sideFrom(header, "width");
  const uint32_t height = sideFrom(header, "height");
  if (width == 0 || height == 0) return false;
  const size_t pixelOffset = kLengthFieldSize + headerLength;
  const size_t pixelCount = static_cast<size_t>(width) * height * 3;
  if (pixelCount != n - pixelOffset) return false;

  out.width = width;
  out.height = height;
  out.pixels.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pixelOffset), bytes.end());
  const auto metadata = header.find("metadata");
  out.metadata = metadata == header.end() ? nlohmann::json() : *metadata;
  fs::last_write_time(file, fs::file_time_type::clock::now(), error);
  return true;
}

void PreviewCache::write(const std::string& key, const CachedPreview& preview) {
  if (preview.width < 1 || preview.height < 1 ||
      preview.pixels.size() != static_cast<size_t>(preview.width) * preview.height * 3) {
    return;
  }
  std::error_code error;
  fs::create_directories(root_, error);
  if (error) return;

  nlohmann::json header = nlohmann::json::object();
  header["height"] = preview.height;
  header["key"] = key;
  header["metadata"] = preview.metadata;
  header["schema"] = kSchema;
  header["width"] = preview.width;
  const std::string headerText = header.dump();
  if (headerText.size() > kMaxHeaderLength) return;
  std::string prefix;
  appendU32(prefix, static_cast<uint32_t>(headerText.size()));
  prefix += headerText;

  const fs::path target = path(key);
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const fs::path temporary =
      target.string() + "." + std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) +
      ".tmp";
  bool good = false;
  {
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    stream.write(prefix.data(), static_cast<std::streamsize>(prefix.size()));
    stream.write(reinterpret_cast<const char*>(preview.pixels.data()),
                 static_cast<std::streamsize>(preview.pixels.size()));
    stream.close();
    good = stream.good();
  }
  if (!good) {
    fs::remove(temporary, error);
    return;
  }
  fs::rename(temporary, target, error);
  if (error) {
    fs::remove(temporary, error);
    return;
  }
  if (writes_.fetch_add(1) % kWritesPerTrim == 0) trim(sizeLimit_);
}

void PreviewCache::trim(uint64_t limit) const {
  try {
    struct CacheFile {
      fs::path path;
      uintmax_t size;
      fs::file_time_type modified;
    };
    std::vector<CacheFile> files;
    uintmax_t total = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(root_)) {
      if (!entry.is_regular_file() || entry.path().extension() != kExtension) continue;
      files.push_back({entry.path(), entry.file_size(), entry.last_write_time()});
      total += files.back().size;
    }
    std::sort(files.begin(), files.end(),
              [](const CacheFile& a, const CacheFile& b) { return a.modified < b.modified; });
    for (const CacheFile& file : files) {
      if (total <= limit) break;
      fs::remove(file.path);
      total -= file.size;
    }
  } catch (...) {
    // A folder that changes or vanishes while it is trimmed is trimmed again after 16 more writes.
  }
}

}  // namespace pcv0930
