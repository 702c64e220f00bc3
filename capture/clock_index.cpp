#include "clock_index.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "pcv_reader.h"

namespace pcv0930 {

namespace {

using nlohmann::json;

constexpr int64_t kUnitsPerHour = 86400;
constexpr int64_t kUnitsPerMinute = 1440;
constexpr int64_t kUnitsPerSecond = 24;
constexpr int64_t kOneDay = 24 * kUnitsPerHour;
constexpr size_t kProgressEvery = 128;

json parseQuietly(const std::string& text) { return json::parse(text, nullptr, false); }

int64_t timecodeOf(const json& meta) {
  if (!meta.is_object()) return -1;
  const auto member = meta.find("timecode");
  if (member == meta.end() || !member->is_string()) return -1;
  const int64_t value = parseClock(member->get_ref<const std::string&>());
  return value >= kOneDay ? -1 : value;
}

// Frame i of one capture carries frame 0's capture_index plus i. Integers are compared exactly,
// whatever their sign or width.
bool consecutiveCapture(const json& base, const json& value, size_t i) {
  if (!base.is_number() || !value.is_number()) return false;
  const auto exact = [](const json& number) -> __int128 {
    return number.is_number_unsigned() ? static_cast<__int128>(number.get<uint64_t>())
                                       : static_cast<__int128>(number.get<int64_t>());
  };
  if (base.is_number_integer() && value.is_number_integer()) return exact(value) - exact(base) == i;
  return value.get<double>() == base.get<double>() + static_cast<double>(i);
}

bool sameCapture(const json& base, const json& meta, size_t i) {
  const auto index = meta.find("capture_index");
  if (index != meta.end()) {
    if (!index->is_number()) return false;
    const auto baseIndex = base.find("capture_index");
    if (baseIndex != base.end() && !consecutiveCapture(*baseIndex, *index, i)) return false;
  }
  for (const char* key : {"depth_width", "depth_height", "recorded_fps"}) {
    const auto mine = meta.find(key);
    const auto theirs = base.find(key);
    if (mine != meta.end() && theirs != base.end() && *mine != *theirs) return false;
  }
  return true;
}

bool readAll(PcvReader& reader, const ClockIndex::Progress& progress, ClockIndex& built) {
  const auto report = [&progress](size_t done, size_t total) { return !progress || progress(done, total); };
  const size_t total = reader.frameCount();
  built.clocks.reserve(total);
  built.rgbPrefix.reserve(total + 1);
  const json base = parseQuietly(reader.baseMetaJson());
  std::string text;
  for (size_t i = 0; i < total; ++i) {
    if (i % kProgressEvery == 0 && !report(i, total)) return false;
    if (!reader.readMeta(i, text)) return false;
    const json meta = parseQuietly(text);
    if (meta.is_object() && base.is_object() && !sameCapture(base, meta, i)) return false;
    built.clocks.push_back(timecodeOf(meta));
    built.rgbPrefix.push_back(built.rgbPrefix.back() + (reader.hasRgb(i) ? 1 : 0));
  }
  return report(total, total);
}

}  // namespace

std::string clockText(int64_t value) {
  const unsigned long long units = value < 0 ? 0 : static_cast<unsigned long long>(value);
  char text[64];
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu:%02llu", units / kUnitsPerHour, units / kUnitsPerMinute % 60,
                units / kUnitsPerSecond % 60, units % kUnitsPerSecond);
  return text;
}

int64_t parseClock(const std::string& text) {
  if (text.size() != 11) return -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool separator = i == 2 || i == 5 || i == 8;
    if (separator ? text[i] != ':' : (text[i] < '0' || text[i] > '9')) return -1;
  }
  const auto field = [&text](size_t at) { return int64_t{text[at] - '0'} * 10 + (text[at + 1] - '0'); };
  const int64_t hours = field(0), minutes = field(3), seconds = field(6), frames = field(9);
  if (minutes >= 60 || seconds >= 60 || frames >= kUnitsPerSecond) return -1;
  return hours * kUnitsPerHour + minutes * kUnitsPerMinute + seconds * kUnitsPerSecond + frames;
}

int64_t timecode(const std::string& metaJson) { return timecodeOf(parseQuietly(metaJson)); }

bool ClockIndex::build(PcvReader& reader, const Progress& progress) {
  ClockIndex built;
  bool complete = false;
  try {
    complete = readAll(reader, progress, built);
  } catch (...) {
    complete = false;
  }
  *this = complete ? std::move(built) : ClockIndex{};
  return complete;
}

std::string ClockIndex::text(int64_t frame) const { return clockText(isTC(frame) ? clocks[frame] : frame); }

bool ClockIndex::isTC(int64_t frame) const { return inRange(frame) && clocks[frame] >= 0; }

uint64_t ClockIndex::rgbCount(int64_t first, int64_t last) const {
  if (last < first || !inRange(first) || !inRange(last)) return 0;
  return rgbPrefix[last + 1] - rgbPrefix[first];
}

std::vector<int> ClockIndex::resolve(const std::string& text, bool asTimecode, int preferred) const {
  const int64_t value = parseClock(text);
  if (value < 0) return {};
  if (!asTimecode) return inRange(value) ? std::vector<int>{static_cast<int>(value)} : std::vector<int>{};
  if (inRange(preferred) && clocks[preferred] == value) return {preferred};
  std::vector<int> frames;
  for (size_t i = 0; i < clocks.size(); ++i)
    if (clocks[i] == value) frames.push_back(static_cast<int>(i));
  return frames;
}

}  // namespace pcv0930
