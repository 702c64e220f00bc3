#include "pcv_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <lz4.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <tuple>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr char kSegmentMagic[] = "TOLVEX_KVID_V";
constexpr size_t kSegmentMagicLength = 13;
constexpr uint64_t kSegmentHeaderLength = 16;
constexpr char kEmbeddedIndexMagic[8] = {'K', 'V', 'I', 'D', 'X', '2', 0, 0};
constexpr char kSidecarIndexMagic[8] = {'K', 'V', 'I', 'D', 'X', '1', 0, 0};
constexpr uint64_t kTrailerLength = 24;
constexpr uint64_t kSidecarHeaderLength = 12;
constexpr uint32_t kMaxMetaLength = 0x1000000;
constexpr uint32_t kMaxDepthLength = 0x4000000;
constexpr uint32_t kMaxPayloadLength = 0x8000000;
constexpr uint32_t kOffsetsPerProgress = 4096;
constexpr size_t kFramesPerProgress = 128;

const char kOpenFailed[] = "无法打开录像或分卷";
const char kCancelled[] = "加载已取消";
const char kCorruptTail[] = "帧数据损坏或录制尾部不完整：";

// Frame kinds are kept as a small enum in the index; FrameData gets the text.
enum class Kind : uint8_t { Frm1, Frm2, Frm3 };

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Frm1:
      return "FRM1";
    case Kind::Frm2:
      return "FRM2";
    case Kind::Frm3:
      return "FRM3";
  }
  return "";
}

bool kindFromMagic(const uint8_t* bytes, Kind& kind) {
  if (std::memcmp(bytes, "FRM", 3) != 0) return false;
  switch (bytes[3]) {
    case '1':
      kind = Kind::Frm1;
      return true;
    case '2':
      kind = Kind::Frm2;
      return true;
    case '3':
      kind = Kind::Frm3;
      return true;
    default:
      return false;
  }
}

uint32_t u32At(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

uint64_t u64At(const uint8_t* bytes) { return uint64_t{u32At(bytes)} | uint64_t{u32At(bytes + 4)} << 32; }

// A file read with pread: header probes cost exactly the bytes they ask for, no stream buffer refills.
class RawFile {
 public:
  RawFile() = default;
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  RawFile(RawFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}
  RawFile& operator=(RawFile&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~RawFile() { close(); }

  bool open(const std::string& path) {
    close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
      close();
      return false;
    }
    size_ = static_cast<uint64_t>(info.st_size);
    return true;
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
  }

  bool isOpen() const { return fd_ >= 0; }
  uint64_t size() const { return size_; }

  // Bytes actually read (fewer at the end of the file or on an error).
  size_t readSome(uint64_t offset, void* out, size_t length) const {
    if (fd_ < 0) return 0;
    auto* target = static_cast<uint8_t*>(out);
    size_t done = 0;
    while (done < length) {
      const ssize_t n = ::pread(fd_, target + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }

  bool readExact(uint64_t offset, void* out, size_t length) const { return readSome(offset, out, length) == length; }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

bool readU32(const RawFile& file, uint64_t offset, uint32_t& value) {
  uint8_t bytes[4];
  if (!file.readExact(offset, bytes, sizeof bytes)) return false;
  value = u32At(bytes);
  return true;
}

bool readU64(const RawFile& file, uint64_t offset, uint64_t& value) {
  uint8_t bytes[8];
  if (!file.readExact(offset, bytes, sizeof bytes)) return false;
  value = u64At(bytes);
  return true;
}

struct SegmentFile {
  std::string path;
  RawFile stream;
  uint64_t size = 0;
};

struct FrameEntry {
  size_t segment = 0;
  uint64_t headerOffset = 0;
  Kind kind = Kind::Frm1;
  uint32_t metaLength = 0;
  uint32_t depthLength = 0;
  uint32_t payloadLength = 0;
  uint64_t metaOffset = 0;
  uint64_t payloadOffset = 0;

  uint64_t end() const { return payloadOffset + payloadLength; }
};

struct Trailer {
  uint8_t magic[8];
  uint64_t indexOffset;
  uint32_t count;
  uint32_t version;
};

bool readTrailer(const RawFile& file, Trailer& trailer) {
  if (file.size() < kTrailerLength) return false;
  uint8_t bytes[kTrailerLength];
  if (!file.readExact(file.size() - kTrailerLength, bytes, sizeof bytes)) return false;
  std::memcpy(trailer.magic, bytes, 8);
  trailer.indexOffset = u64At(bytes + 8);
  trailer.count = u32At(bytes + 16);
  trailer.version = u32At(bytes + 20);
  return true;
}

// The index occupies exactly the bytes between indexOffset and the end of the file.
bool trailerSpansIndex(const Trailer& trailer, uint64_t fileSize) {
  return trailer.indexOffset <= fileSize - kTrailerLength &&
         fileSize - trailer.indexOffset == uint64_t{trailer.count} * 8 + kTrailerLength;
}

// B(p): whether a frame may end at p.
bool isFrameBoundary(const RawFile& file, uint64_t p, uint64_t nextOffset) {
  const uint64_t size = file.size();
  if (p > size) return false;
  if (nextOffset != 0) return p == nextOffset;
  if (p == size) return true;
  uint8_t next[12];
  Kind kind;
  if (file.readExact(p, next, sizeof next) && kindFromMagic(next, kind)) {
    const uint32_t m = u32At(next + 4);
    const uint32_t n = u32At(next + 8);
    if (m <= kMaxMetaLength && n >= 1 && n <= kMaxDepthLength && uint64_t{m} + 12 <= size - p) return true;
  }
  Trailer trailer;
  return size >= 40 && readTrailer(file, trailer) &&
         std::memcmp(trailer.magic, kEmbeddedIndexMagic, sizeof kEmbeddedIndexMagic) == 0 &&
         trailer.indexOffset == p && trailer.version == 1 &&
         size - p == uint64_t{trailer.count} * 8 + kTrailerLength;
}

bool addWithoutOverflow(uint32_t a, uint32_t b, uint32_t& sum) {
  if (a > UINT32_MAX - b) return false;
  sum = a + b;
  return true;
}

bool isJsonStart(uint8_t byte) { return byte == '\n' || byte == ' ' || byte == '"' || byte == '{' || byte == '['; }

// Settles the kind, header length and payload length of the frame whose first 17 header bytes
// (fewer near the end of the file) are in head.
bool determinePayload(const RawFile& file, uint64_t offset, const uint8_t* head, size_t headLength,
                      uint64_t nextOffset, FrameEntry& entry, uint64_t& headerLength) {
  headerLength = 16;
  switch (entry.kind) {
    case Kind::Frm3: {
      if (headLength < 16) return false;
      return addWithoutOverflow(entry.depthLength, u32At(head + 12), entry.payloadLength);
    }
    case Kind::Frm2: {
      if (headLength < 16) return false;
      const uint32_t c3 = u32At(head + 12);
      const uint64_t end2 = offset + 16 + entry.metaLength + c3;
      if (c3 != 0 && isFrameBoundary(file, end2, nextOffset)) {
        entry.payloadLength = c3;
        return true;
      }
      if (isFrameBoundary(file, end2 + entry.depthLength, nextOffset)) {
        entry.kind = Kind::Frm3;
        return addWithoutOverflow(entry.depthLength, c3, entry.payloadLength);
      }
      return false;
    }
    case Kind::Frm1: {
      if (headLength >= 17) {
        const uint32_t c3 = u32At(head + 12);
        if (c3 < kMaxMetaLength && isJsonStart(head[16])) {
          entry.kind = Kind::Frm3;
          return addWithoutOverflow(entry.depthLength, c3, entry.payloadLength);
        }
      }
      headerLength = 12;
      entry.payloadLength = entry.depthLength;
      return true;
    }
  }
  return false;
}

bool allDigits(const std::string& text, size_t from) {
  return from < text.size() && std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(),
                                           [](char c) { return c >= '0' && c <= '9'; });
}


std::vector<std::string> collectRelatedFiles(const std::string& pathText) {
  try {
    std::error_code ec;
    const fs::path path(pathText);
    if (path.extension() != ".pcv") return {};
    const fs::path folder = path.parent_path();
    std::string base = path.stem().string();
    if (!fs::is_regular_file(path, ec)) {
      // The camera may save a recording as video_N_0.pcv, video_N_1.pcv, ... with no video_N.pcv;
      // the browser lists it as video_N.pcv, so that path opens its segments.
      if (!isCameraRecordingStem(base) || !fs::is_regular_file(folder / (base + "_0.pcv"), ec)) return {};
    } else {
      std::string stem, digits;
      if (splitNumberedStem(base, stem, digits) && fs::is_regular_file(folder / (stem + ".pcv"), ec)) base = stem;
    }

    std::vector<std::tuple<int32_t, std::string, std::string>> found;
    const std::string prefix = base + "_";
    fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::error_code statusError;
      if (!it->is_regular_file(statusError) || it->path().extension() != ".pcv") continue;
      const std::string name = it->path().filename().string();
      const std::string stem = it->path().stem().string();
      int32_t number = 0;
      if (stem == base) {
        number = 0;
      } else if (stem.compare(0, prefix.size(), prefix) == 0 && allDigits(stem, prefix.size())) {
        const char* digits = stem.data() + prefix.size();
        const auto parsed = std::from_chars(digits, stem.data() + stem.size(), number);
        if (parsed.ec != std::errc()) continue;
      } else {
        continue;
      }
      found.emplace_back(number, name, it->path().string());
    }
    if (found.empty()) return {pathText};

    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
    });
    std::vector<std::string> paths;
    for (size_t i = 0; i < found.size(); ++i) {
      if (std::get<0>(found[i]) != static_cast<int64_t>(i)) return {};
      paths.push_back(std::get<2>(found[i]));
    }
    return paths;
  } catch (...) {
    return {};
  }
}

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

size_t skipDigits(const std::string& text, size_t at) {
  while (at < text.size() && isDigit(text[at])) ++at;
  return at;
}

// Length of the number -?[0-9]+(\.[0-9]+)?([eE][+-]?[0-9]+)? starting at `at`, 0 if there is none.
size_t numberLength(const std::string& text, size_t at) {
  size_t pos = at;
  if (pos < text.size() && text[pos] == '-') ++pos;
  size_t end = skipDigits(text, pos);
  if (end == pos) return 0;
  if (end < text.size() && text[end] == '.') {
    const size_t fractionEnd = skipDigits(text, end + 1);
    if (fractionEnd > end + 1) end = fractionEnd;
  }
  if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
    size_t exponent = end + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    const size_t exponentEnd = skipDigits(text, exponent);
    if (exponentEnd > exponent) end = exponentEnd;
  }
  return end - at;
}

// The first "key" followed by optional white space, a colon and a number, anywhere in the text.
// Matched by hand rather than with std::regex, whose recursive matcher overflows the stack on long
// runs of white space or digits in untrusted metadata.
float extractNumber(const std::string& json, const std::string& key, float fallback) {
  const std::string quoted = "\"" + key + "\"";
  for (size_t at = json.find(quoted); at != std::string::npos; at = json.find(quoted, at + 1)) {
    size_t pos = at + quoted.size();
    while (pos < json.size() && isJsonSpace(json[pos])) ++pos;
    if (pos >= json.size() || json[pos] != ':') continue;
    ++pos;
    while (pos < json.size() && isJsonSpace(json[pos])) ++pos;
    const size_t length = numberLength(json, pos);
    if (length == 0) continue;
    const std::string number = json.substr(pos, length);
    errno = 0;
    char* end = nullptr;
    const float value = std::strtof(number.c_str(), &end);
    if (errno == ERANGE || end != number.c_str() + number.size()) return fallback;
    return value;
  }
  return fallback;
}

uint32_t dimensionFromMeta(const std::string& json, const char* key, uint32_t current) {
  const float value = extractNumber(json, key, static_cast<float>(current));
  if (!(value > 0.0f)) return current;
  if (value >= 4294967296.0f) return UINT32_MAX;
  return static_cast<uint32_t>(value);
}

void fillIntrinsicsFromMeta(const std::string& metaJson, FrameData& frame) {
  if (metaJson.empty()) return;
  frame.width = dimensionFromMeta(metaJson, "depth_width", frame.width);
  frame.height = dimensionFromMeta(metaJson, "depth_height", frame.height);
  frame.fx = extractNumber(metaJson, "fx", frame.fx);
  frame.fy = extractNumber(metaJson, "fy", frame.fy);
  frame.cx = extractNumber(metaJson, "cx", frame.cx);
  frame.cy = extractNumber(metaJson, "cy", frame.cy);
}

// Converts little-endian samples in place on big-endian hosts; a no-op elsewhere.
void samplesFromLittleEndian(std::vector<uint16_t>& samples) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  for (uint16_t& sample : samples) sample = static_cast<uint16_t>((sample >> 8) | (sample << 8));
#else
  (void)samples;
#endif
}

// Where a segment's frame offsets are: the file holding them, the first byte, and what they index.
struct IndexLocation {
  const RawFile* file = nullptr;
  uint64_t offsetsAt = 0;
  uint64_t dataEnd = 0;
  uint32_t count = 0;
};

}  // namespace

struct PcvReader::Impl {
  std::string path;
  std::vector<SegmentFile> segments;
  std::vector<FrameEntry> frames;
  Progress progress;
  bool complete = false;
  size_t frameLimit = kNoFrameLimit;
  std::string error;
  bool cancelled = false;
  uint64_t totalBytes = 0;
  uint64_t scannedBytes = 0;
  std::string baseMeta;
  std::vector<uint8_t> compressed;  // reused by FRM2 decodes

  void reset() {
    segments.clear();
    frames.clear();
    path.clear();
    baseMeta.clear();
    complete = false;
  }

  bool failOpen() {
    reset();
    progress = nullptr;
    return false;
  }

  // False when the callback asks to stop; the open is then cancelled.
  bool reportProgress(uint64_t done, size_t segment) {
    if (!progress || progress(done, totalBytes, segment + 1, segments.size())) return true;
    cancelled = true;
    error = kCancelled;
    return false;
  }

  bool addSegment(const std::string& segmentPath) {
    SegmentFile segment;
    segment.path = segmentPath;
    uint8_t header[kSegmentHeaderLength];
    if (!segment.stream.open(segmentPath) || !segment.stream.readExact(0, header, sizeof header) ||
        std::memcmp(header, kSegmentMagic, kSegmentMagicLength) != 0)
      return false;
    segment.size = segment.stream.size();
    totalBytes += segment.size;
    segments.push_back(std::move(segment));
    return true;
  }

  std::vector<uint8_t> readBytes(size_t i, uint64_t offset, uint64_t length) const {
    if (i >= segments.size()) return {};
    const RawFile& file = segments[i].stream;
    if (offset > file.size() || length > file.size() - offset) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (!file.readExact(offset, bytes.data(), bytes.size())) return {};
    return bytes;
  }

  std::string readText(size_t i, uint64_t offset, uint32_t length) const {
    const std::vector<uint8_t> bytes = readBytes(i, offset, length);
    return std::string(bytes.begin(), bytes.end());
  }

  bool parseFrameHeaderAt(size_t i, uint64_t offset, FrameEntry& entry, uint64_t nextOffset) const {
    const RawFile& file = segments[i].stream;
    uint8_t head[17];
    const size_t headLength = file.readSome(offset, head, sizeof head);
    FrameEntry parsed;
    if (headLength < 12 || !kindFromMagic(head, parsed.kind)) return false;
    parsed.segment = i;
    parsed.headerOffset = offset;
    parsed.metaLength = u32At(head + 4);
    parsed.depthLength = u32At(head + 8);
    uint64_t headerLength = 0;
    if (!determinePayload(file, offset, head, headLength, nextOffset, parsed, headerLength)) return false;
    if (parsed.metaLength > kMaxMetaLength || parsed.depthLength > kMaxDepthLength ||
        parsed.payloadLength > kMaxPayloadLength ||
        (parsed.kind == Kind::Frm3 && parsed.payloadLength < parsed.depthLength))
      return false;
    parsed.metaOffset = offset + headerLength;
    parsed.payloadOffset = parsed.metaOffset + parsed.metaLength;
    if (parsed.payloadOffset > file.size() || parsed.payloadLength > file.size() - parsed.payloadOffset) return false;
    entry = parsed;
    return true;
  }

  bool indexDescriptor(size_t segment, IndexLocation& location, RawFile& sidecarStream) const {
    const SegmentFile& file = segments[segment];
    Trailer trailer;
    if (file.size >= 40 && readTrailer(file.stream, trailer) &&
        std::memcmp(trailer.magic, kEmbeddedIndexMagic, sizeof kEmbeddedIndexMagic) == 0 && trailer.count != 0 &&
        trailer.indexOffset > 15 && trailerSpansIndex(trailer, file.size)) {
      location = {&file.stream, trailer.indexOffset, trailer.indexOffset, trailer.count};
      return true;
    }
    uint8_t magic[sizeof kSidecarIndexMagic];
    uint32_t count = 0;
    if (!sidecarStream.open(file.path + ".idx") || !sidecarStream.readExact(0, magic, sizeof magic) ||
        std::memcmp(magic, kSidecarIndexMagic, sizeof magic) != 0 || !readU32(sidecarStream, sizeof magic, count))
      return false;
    if (count == 0 || sidecarStream.size() != uint64_t{count} * 8 + kSidecarHeaderLength) return false;
    location = {&sidecarStream, kSidecarHeaderLength, file.size, count};
    return true;
  }

  bool readOffsets(const IndexLocation& location, std::vector<uint64_t>& offsets) const {
    // The count was checked against the size of the file that holds the offsets.
    std::vector<uint8_t> raw(size_t{location.count} * 8);
    if (!location.file->readExact(location.offsetsAt, raw.data(), raw.size())) return false;
    offsets.resize(location.count);
    for (size_t j = 0; j < offsets.size(); ++j) offsets[j] = u64At(raw.data() + 8 * j);
    return true;
  }

  bool scanSegmentByIndex(size_t i) {
    RawFile sidecar;
    IndexLocation location;
    if (!indexDescriptor(i, location, sidecar)) return false;
    std::vector<uint64_t> offsets;
    if (!readOffsets(location, offsets)) return false;
    for (size_t j = 0; j < offsets.size(); ++j) {
      const uint64_t lowest = j == 0 ? 16 : offsets[j - 1] + 1;
      if (offsets[j] < lowest || offsets[j] >= location.dataEnd) return false;
      if (j % kOffsetsPerProgress == 0 && !reportProgress(scannedBytes, i)) return false;
    }
    std::vector<FrameEntry> entries;
    entries.reserve(std::min<size_t>(offsets.size(), frameLimit - frames.size()));
    for (size_t j = 0; j < offsets.size() && frames.size() + entries.size() < frameLimit; ++j) {
      if (j % kFramesPerProgress == 0 && !reportProgress(scannedBytes + offsets[j], i)) return false;
      const uint64_t next = j + 1 < offsets.size() ? offsets[j + 1] : location.dataEnd;
      FrameEntry entry;
      if (!parseFrameHeaderAt(i, offsets[j], entry, next) || entry.end() != next) return false;
      entries.push_back(entry);
    }
    frames.insert(frames.end(), entries.begin(), entries.end());
    return true;
  }

  bool scanSegmentSequential(size_t i) {
    const SegmentFile& file = segments[i];
    uint64_t dataEnd = file.size;
    Trailer trailer;
    if (readTrailer(file.stream, trailer) && std::memcmp(trailer.magic, kEmbeddedIndexMagic, 6) == 0 &&
        trailer.indexOffset >= 16 && trailerSpansIndex(trailer, file.size))
      dataEnd = trailer.indexOffset;
    for (uint64_t pos = kSegmentHeaderLength; pos < dataEnd && frames.size() < frameLimit;) {
      if (!reportProgress(scannedBytes + pos, i)) return false;
      FrameEntry entry;
      if (!parseFrameHeaderAt(i, pos, entry, 0) || entry.end() > dataEnd) {
        error = kCorruptTail + file.path;
        return false;
      }
      frames.push_back(entry);
      pos = entry.end();
    }
    return true;
  }

  bool scanSegment(size_t i) {
    const size_t before = frames.size();
    if (scanSegmentByIndex(i)) return true;
    frames.resize(before);
    if (cancelled) return false;
    return scanSegmentSequential(i);
  }

  bool open(const std::string& openPath, Progress newProgress, size_t newFrameLimit) {
    reset();
    progress = std::move(newProgress);
    frameLimit = newFrameLimit;
    cancelled = false;
    error = kOpenFailed;
    totalBytes = 0;
    scannedBytes = 0;
    const std::vector<std::string> paths = collectRelatedFiles(openPath);
    if (paths.empty()) return failOpen();
    for (const std::string& segmentPath : paths)
      if (!addSegment(segmentPath)) return failOpen();
    for (size_t i = 0; i < segments.size() && frames.size() < frameLimit; ++i) {
      if (!reportProgress(scannedBytes, i)) return failOpen();
      if (!scanSegment(i)) return failOpen();
      scannedBytes += segments[i].size;
    }
    progress = nullptr;
    if (frames.empty()) return failOpen();
    path = openPath;
    baseMeta = readText(frames[0].segment, frames[0].metaOffset, frames[0].metaLength);
    complete = frameLimit == kNoFrameLimit;
    error.clear();
    return true;
  }

  bool readMeta(size_t index, std::string& text) const {
    text.clear();
    if (index >= frames.size()) return false;
    const FrameEntry& entry = frames[index];
    text = readText(entry.segment, entry.metaOffset, entry.metaLength);
    return text.size() == entry.metaLength;
  }

  bool readDepth(const FrameEntry& entry, std::vector<uint16_t>& depth) {
    const RawFile& file = segments[entry.segment].stream;
    depth.resize(entry.depthLength / 2);
    if (entry.kind != Kind::Frm2) return file.readExact(entry.payloadOffset, depth.data(), entry.depthLength);
    compressed.resize(entry.payloadLength);
    if (!file.readExact(entry.payloadOffset, compressed.data(), compressed.size())) return false;
    const int produced = LZ4_decompress_safe(reinterpret_cast<const char*>(compressed.data()),
                                             reinterpret_cast<char*>(depth.data()), static_cast<int>(compressed.size()),
                                             static_cast<int>(entry.depthLength));
    return produced >= 0 && static_cast<uint32_t>(produced) == entry.depthLength;
  }

  bool readFrame(size_t index, FrameData& frame, bool withRgb) {
    if (index >= frames.size()) return false;
    const FrameEntry& entry = frames[index];
    if (entry.depthLength == 0 || entry.depthLength % 2 != 0) return false;
    frame = FrameData();
    frame.kind = kindName(entry.kind);
    frame.metaJson = readText(entry.segment, entry.metaOffset, entry.metaLength);
    if (frame.metaJson.empty() && entry.metaLength != 0) return false;
    std::vector<uint16_t> depth;
    if (!readDepth(entry, depth)) return false;
    if (withRgb && entry.kind == Kind::Frm3 && entry.depthLength < entry.payloadLength)
      frame.rgbJpeg = readBytes(entry.segment, entry.payloadOffset + entry.depthLength,
                                entry.payloadLength - entry.depthLength);
    samplesFromLittleEndian(depth);
    frame.depth = std::move(depth);
    fillIntrinsicsFromMeta(baseMeta, frame);
    fillIntrinsicsFromMeta(frame.metaJson, frame);
    const uint64_t samples = frame.depth.size();
    if (samples != uint64_t{frame.width} * frame.height) {
      frame.width = 640;
      frame.height = static_cast<uint32_t>(samples / 640);
      if (samples % 640 != 0) {
        frame.width = static_cast<uint32_t>(samples);
        frame.height = 1;
      }
    }
    return true;
  }

  // Header of the frame at index position `position` of a located index, required to end by the data end.
  bool parseIndexedFrame(size_t s, const IndexLocation& location, uint32_t position, FrameEntry& entry) const {
    uint64_t offset = 0;
    if (!readU64(*location.file, location.offsetsAt + uint64_t{position} * 8, offset)) return false;
    if (offset <= 15 || offset >= location.dataEnd) return false;
    return parseFrameHeaderAt(s, offset, entry, 0) && entry.end() <= location.dataEnd;
  }

  bool fail(const char* message) {
    error = message;
    return false;
  }

  bool preview(const std::string& previewPath, size_t index, FrameData& frame, const Progress& previewProgress,
               size_t* totalFrames, std::string* lastMeta) {
    if (totalFrames) *totalFrames = 0;
    if (lastMeta) lastMeta->clear();
    if (complete && path == previewPath) {
      const size_t n = segments.size();
      if (previewProgress && !previewProgress(1, 1, n, n)) return fail(kCancelled);
      reportWhole(totalFrames, lastMeta);
      return readFrame(index, frame, false);
    }
    reset();
    error.clear();
    const std::vector<std::string> paths = collectRelatedFiles(previewPath);
    const size_t n = paths.size();
    size_t framesBefore = 0;
    bool found = false;
    FrameEntry wanted;
    for (size_t s = 0; s < n; ++s) {
      if (previewProgress && !previewProgress(s, n, s + 1, n)) return fail(kCancelled);
      if (!addSegment(paths[s])) return fail(kOpenFailed);
      FrameEntry first;
      if (!parseFrameHeaderAt(s, kSegmentHeaderLength, first, 0)) return fail(kOpenFailed);
      if (s == 0) baseMeta = readText(0, first.metaOffset, first.metaLength);
      RawFile sidecar;
      IndexLocation location;
      if (!indexDescriptor(s, location, sidecar)) return previewByOpening(previewPath, index, frame, previewProgress,
                                                                          totalFrames, lastMeta);
      if (!found && index >= framesBefore && index - framesBefore < location.count) {
        if (!parseIndexedFrame(s, location, static_cast<uint32_t>(index - framesBefore), wanted))
          return fail(kOpenFailed);
        found = true;
      }
      if (lastMeta && s + 1 == n) {
        FrameEntry last;
        if (!parseIndexedFrame(s, location, location.count - 1, last)) return fail(kOpenFailed);
        *lastMeta = readText(s, last.metaOffset, last.metaLength);
      }
      framesBefore += location.count;
    }
    if (totalFrames) *totalFrames = framesBefore;
    if (!found) return fail(kOpenFailed);
    frames.assign(1, wanted);
    path = previewPath;
    return readFrame(0, frame, false);
  }

  bool previewByOpening(const std::string& previewPath, size_t index, FrameData& frame, const Progress& previewProgress,
                        size_t* totalFrames, std::string* lastMeta) {
    if (!open(previewPath, previewProgress, index == 0 ? 1 : kNoFrameLimit) || index >= frames.size()) return false;
    if (complete) reportWhole(totalFrames, lastMeta);
    return readFrame(index, frame, false);
  }

  void reportWhole(size_t* totalFrames, std::string* lastMeta) const {
    if (totalFrames) *totalFrames = frames.size();
    if (lastMeta && !frames.empty()) readMeta(frames.size() - 1, *lastMeta);
  }
};

PcvReader::PcvReader() : impl_(std::make_unique<Impl>()) {}
PcvReader::~PcvReader() = default;
PcvReader::PcvReader(PcvReader&& other) noexcept : impl_(std::make_unique<Impl>()) { impl_.swap(other.impl_); }
PcvReader& PcvReader::operator=(PcvReader&& other) noexcept {
  impl_.swap(other.impl_);
  return *this;
}

bool PcvReader::open(const std::string& path, Progress progress, size_t frameLimit) {
  try {
    return impl_->open(path, std::move(progress), frameLimit);
  } catch (...) {
    impl_->error = kOpenFailed;
    return impl_->failOpen();
  }
}

void PcvReader::reset() { impl_->reset(); }
const std::string& PcvReader::error() const { return impl_->error; }
const std::string& PcvReader::path() const { return impl_->path; }
size_t PcvReader::segmentCount() const { return impl_->segments.size(); }
size_t PcvReader::frameCount() const { return impl_->frames.size(); }
const std::string& PcvReader::baseMetaJson() const { return impl_->baseMeta; }

bool PcvReader::readFrame(size_t index, FrameData& frame, bool withRgb) {
  try {
    return impl_->readFrame(index, frame, withRgb);
  } catch (...) {
    return false;
  }
}

bool PcvReader::readMeta(size_t index, std::string& text) {
  try {
    return impl_->readMeta(index, text);
  } catch (...) {
    text.clear();
    return false;
  }
}

bool PcvReader::hasRgb(size_t index) const {
  if (index >= impl_->frames.size()) return false;
  const FrameEntry& entry = impl_->frames[index];
  return entry.kind == Kind::Frm3 && entry.depthLength < entry.payloadLength;
}

bool PcvReader::preview(const std::string& path, size_t index, FrameData& frame, Progress progress,
                        size_t* totalFrames, std::string* lastMeta) {
  try {
    return impl_->preview(path, index, frame, progress, totalFrames, lastMeta);
  } catch (...) {
    impl_->error = kOpenFailed;
    return false;
  }
}

bool splitNumberedStem(const std::string& name, std::string& prefix, std::string& digits) {
  const size_t underscore = name.rfind('_');
  if (underscore == std::string::npos || !allDigits(name, underscore + 1)) return false;
  if (name.find_first_of("\n\r") < underscore) return false;
  prefix = name.substr(0, underscore);
  digits = name.substr(underscore + 1);
  return true;
}

bool isCameraRecordingStem(const std::string& stem) {
  static const std::string kPrefix = "video_";
  return stem.compare(0, kPrefix.size(), kPrefix) == 0 && allDigits(stem, kPrefix.size());
}
