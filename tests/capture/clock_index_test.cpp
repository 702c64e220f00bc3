#include "clock_index.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common_test_support.h"
#include "pcv_reader.h"
#include "pcv_writer.h"

using pcv0930::ClockIndex;
using pcv0930::clockText;
using pcv0930::parseClock;
using pcvwrite::FrameKind;
using pcvwrite::IndexStyle;
using testsupport::TempFolder;

namespace {

constexpr int64_t kHour = 86400;

pcvwrite::Frame frameWith(const std::string& meta, bool rgb = false) {
  pcvwrite::Frame frame;
  frame.kind = rgb ? FrameKind::Frm3 : FrameKind::Frm1;
  frame.metaJson = meta;
  frame.depth = {1000, 1001, 1002, 1003};
  if (rgb) frame.rgbJpeg = {0xff, 0xd8, 0xff, 0xd9};
  return frame;
}

std::string captureMeta(long long captureIndex, const std::string& extra = "") {
  return "{\"capture_index\":" + std::to_string(captureIndex) +
         ",\"depth_width\":2,\"depth_height\":2,\"recorded_fps\":24" + extra + "}";
}

// A recording of count consecutive captures starting at capture index 500; change may rewrite
// the metadata of any frame.
std::vector<pcvwrite::Frame> consecutiveFrames(size_t count,
                                               const std::function<std::string(size_t, std::string)>& change = {}) {
  std::vector<pcvwrite::Frame> frames;
  for (size_t i = 0; i < count; ++i) {
    std::string meta = captureMeta(500 + static_cast<long long>(i));
    frames.push_back(frameWith(change ? change(i, meta) : meta));
  }
  return frames;
}

struct Recording {
  TempFolder folder;
  PcvReader reader;

  bool write(const std::vector<pcvwrite::Frame>& frames, size_t framesPerSegment = 0) {
    const std::string base = folder.file("take");
    return pcvwrite::writeRecording(base, frames, framesPerSegment, IndexStyle::Sidecar) &&
           reader.open(pcvwrite::segmentPath(base, 0));
  }
};

TEST(ClockText, FormatsClockValues) {
  const std::pair<int64_t, const char*> cases[] = {
      {-5, "00:00:00:00"},
      {0, "00:00:00:00"},
      {25, "00:00:01:01"},
      {kHour + 2 * 1440 + 3 * 24 + 4, "01:02:03:04"},
      {24 * kHour + 1, "24:00:00:01"},
      {99 * kHour + 59 * 1440 + 59 * 24 + 23, "99:59:59:23"},
      {100 * kHour, "100:00:00:00"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(clockText(value), text) << value;
}

TEST(ParseClock, AcceptsOnlyExactTimes) {
  const std::pair<const char*, int64_t> cases[] = {
      {"00:00:00:00", 0},
      {"01:02:03:04", kHour + 2 * 1440 + 3 * 24 + 4},
      {"00:00:02:00", 48},
      {"99:59:59:23", 99 * kHour + 59 * 1440 + 59 * 24 + 23},
      {"01:02:03:24", -1},   // frames above 23
      {"01:60:03:04", -1},   // minutes
      {"01:02:60:04", -1},   // seconds
      {"1:02:03:04", -1},    // too short
      {"001:02:03:04", -1},  // too long
      {"", -1},
      {"01-02-03-04", -1},
      {"01:02:03:0a", -1},
      {"-1:02:03:04", -1},
      {"+1:02:03:04", -1},
      {" 1:02:03:04", -1},
      {"01:02:03: 4", -1},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(parseClock(text), value) << text;
}

TEST(Timecode, ReadsTheTimecodeMemberBelowOneDay) {
  const std::pair<const char*, int64_t> cases[] = {
      {R"({"timecode":"01:00:00:05"})", kHour + 5},
      {R"({"timecode":"23:59:59:23"})", 24 * kHour - 1},
      {R"({"timecode":"24:00:00:00"})", -1},
      {R"({"timecode":"25:00:00:00"})", -1},
      {R"({"timecode":"01:00:00:24"})", -1},
      {R"({"timecode":3600})", -1},
      {R"({"timecode":null})", -1},
      {R"({"capture_index":3})", -1},
      {R"(["timecode","01:00:00:05"])", -1},
      {R"("01:00:00:05")", -1},
      {R"({"timecode":"01:00:00:05")", -1},
      {"", -1},
  };
  for (const auto& [meta, value] : cases) EXPECT_EQ(pcv0930::timecode(meta), value) << meta;
}

TEST(ClockIndexBuild, IndexesTimecodesAndRgbFrames) {
  // Frames 0-2 carry timecodes, 3 a malformed one, 4 none; RGB on frames 1, 2 and 4.
  const std::vector<pcvwrite::Frame> frames = {
      frameWith(captureMeta(7, R"(,"timecode":"10:00:00:00")")),
      frameWith(captureMeta(8, R"(,"timecode":"10:00:00:01")"), true),
      frameWith(captureMeta(9, R"(,"timecode":"10:00:00:02")"), true),
      frameWith(captureMeta(10, R"(,"timecode":"10:00:00:99")")),
      frameWith(captureMeta(11), true),
  };
  Recording recording;
  ASSERT_TRUE(recording.write(frames, 2));
  ClockIndex clock;
  ASSERT_TRUE(clock.build(recording.reader, {}));

  EXPECT_EQ(clock.clocks, (std::vector<int64_t>{10 * kHour, 10 * kHour + 1, 10 * kHour + 2, -1, -1}));
  EXPECT_EQ(clock.rgbPrefix, (std::vector<uint64_t>{0, 0, 1, 2, 2, 3}));
  const std::vector<std::pair<int64_t, const char*>> texts = {
      {0, "10:00:00:00"}, {2, "10:00:00:02"}, {3, "00:00:00:03"}, {4, "00:00:00:04"}, {25, "00:00:01:01"}, {-1, "00:00:00:00"}};
  for (const auto& [frame, text] : texts) EXPECT_EQ(clock.text(frame), text) << frame;
  const std::vector<std::pair<int64_t, bool>> timecoded = {{0, true}, {2, true}, {3, false}, {4, false}, {5, false}, {-1, false}};
  for (const auto& [frame, expected] : timecoded) EXPECT_EQ(clock.isTC(frame), expected) << frame;

  struct RangeCase {
    int64_t first, last;
    uint64_t count;
  };
  const RangeCase ranges[] = {{0, 4, 3}, {1, 1, 1}, {0, 0, 0}, {3, 4, 1}, {4, 1, 0},
                              {0, 5, 0}, {-1, 4, 0}, {2, 2, 1}, {10, 5, 0}};
  for (const RangeCase& range : ranges)
    EXPECT_EQ(clock.rgbCount(range.first, range.last), range.count) << range.first << ".." << range.last;
}

TEST(ClockIndexBuild, ChecksEveryFrameAgainstFrameZero) {
  const auto at = [](size_t frame, std::string meta) {
    return [frame, meta](size_t i, std::string original) { return i == frame ? meta : original; };
  };
  struct Case {
    const char* name;
    std::function<std::string(size_t, std::string)> change;
    bool builds;
  };
  const Case cases[] = {
      {"consecutive", {}, true},
      {"capture_index gap at frame 10", at(10, captureMeta(511)), false},
      {"capture_index repeated at frame 10", at(10, captureMeta(509)), false},
      {"depth_width differs", at(7, R"({"capture_index":507,"depth_width":4,"depth_height":2,"recorded_fps":24})"), false},
      {"depth_height differs", at(7, R"({"capture_index":507,"depth_width":2,"depth_height":3,"recorded_fps":24})"), false},
      {"recorded_fps differs", at(7, R"({"capture_index":507,"depth_width":2,"depth_height":2,"recorded_fps":30})"), false},
      {"recorded_fps equal as a JSON number",
       at(7, R"({"capture_index":507,"depth_width":2,"depth_height":2,"recorded_fps":24.0})"), true},
      {"capture_index not a number", at(10, R"({"capture_index":"510","depth_width":2})"), false},
      {"frame without capture_index", at(10, R"({"depth_width":2,"timecode":"00:00:00:10"})"), true},
      {"frame without any checked key", at(10, R"({"note":"x"})"), true},
      {"frame metadata not JSON", at(10, "not json"), true},
      {"frame zero without capture_index",
       [](size_t i, std::string meta) { return i == 0 ? std::string(R"({"depth_width":2})") : meta; }, true},
      {"frame zero not JSON", [](size_t i, std::string meta) { return i == 0 ? std::string("{") : meta; }, true},
      {"capture_index continues from a negative start",
       [](size_t i, std::string) { return captureMeta(static_cast<long long>(i) - 3); }, true},
      {"capture_index near the top of 64 bits",
       [](size_t i, std::string) {
         return "{\"capture_index\":" + std::to_string(18446744073709551590ull + i) + "}";
       },
       true},
      {"capture_index above 2^53 off by one",
       [](size_t i, std::string) {
         return "{\"capture_index\":" + std::to_string(9007199254740992ull + i + (i == 10 ? 1 : 0)) + "}";
       },
       false},
  };
  for (const Case& c : cases) {
    Recording recording;
    ASSERT_TRUE(recording.write(consecutiveFrames(20, c.change))) << c.name;
    ClockIndex clock;
    EXPECT_EQ(clock.build(recording.reader, {}), c.builds) << c.name;
    EXPECT_EQ(clock.clocks.size(), c.builds ? 20u : 0u) << c.name;
    EXPECT_EQ(clock.rgbPrefix.size(), clock.clocks.size() + 1) << c.name;
  }
}

TEST(ClockIndexBuild, RejectsASegmentOfAnotherRecording) {
  std::vector<pcvwrite::Frame> frames = consecutiveFrames(6);
  for (size_t i = 3; i < 6; ++i) frames[i] = frameWith(captureMeta(static_cast<long long>(i)));
  Recording recording;
  ASSERT_TRUE(recording.write(frames, 3));
  ASSERT_EQ(recording.reader.segmentCount(), 2u);
  ClockIndex clock;
  EXPECT_FALSE(clock.build(recording.reader, {}));
}

TEST(ClockIndexBuild, ReportsProgressEvery128FramesAndCancels) {
  Recording recording;
  ASSERT_TRUE(recording.write(consecutiveFrames(300)));
  std::vector<std::pair<size_t, size_t>> calls;
  ClockIndex clock;
  ASSERT_TRUE(clock.build(recording.reader, [&calls](size_t done, size_t total) {
    calls.emplace_back(done, total);
    return true;
  }));
  const std::vector<std::pair<size_t, size_t>> expected = {{0, 300}, {128, 300}, {256, 300}, {300, 300}};
  EXPECT_EQ(calls, expected);

  for (size_t cancelAt = 0; cancelAt < expected.size(); ++cancelAt) {
    size_t call = 0;
    ClockIndex cancelled = clock;
    EXPECT_FALSE(cancelled.build(recording.reader, [&call, cancelAt](size_t, size_t) { return call++ != cancelAt; }))
        << cancelAt;
    EXPECT_EQ(call, cancelAt + 1);
    EXPECT_TRUE(cancelled.clocks.empty());
  }
}

TEST(ClockIndexBuild, EmptyReaderReportsOnceAndBuildsNothing) {
  PcvReader closed;
  std::vector<std::pair<size_t, size_t>> calls;
  ClockIndex clock;
  EXPECT_TRUE(clock.build(closed, [&calls](size_t done, size_t total) {
    calls.emplace_back(done, total);
    return true;
  }));
  EXPECT_EQ(calls, (std::vector<std::pair<size_t, size_t>>{{0, 0}}));
  EXPECT_TRUE(clock.clocks.empty());
  EXPECT_EQ(clock.rgbCount(0, 0), 0u);
}

TEST(ClockIndexBuild, FailsWhenMetadataCannotBeRead) {
  Recording recording;
  ASSERT_TRUE(recording.write(consecutiveFrames(10)));
  // The reader keeps its file open; cutting the file short makes the later frames unreadable.
  const std::string path = recording.folder.file("take.pcv");
  std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
  ClockIndex clock;
  EXPECT_FALSE(clock.build(recording.reader, {}));
  EXPECT_TRUE(clock.clocks.empty());
}

TEST(ClockIndexResolve, FindsFramesForTypedTimes) {
  // 6000 frames with consecutive timecodes from 01:00:00:00, except that frame 5000 repeats
  // frame 100's and frames 5990 and up carry none.
  ClockIndex timed;
  for (int64_t i = 0; i < 6000; ++i) timed.clocks.push_back(i < 5990 ? kHour + i : -1);
  timed.clocks[5000] = timed.clocks[100];
  timed.rgbPrefix.assign(timed.clocks.size() + 1, 0);
  ClockIndex untimed;
  untimed.clocks.assign(100, -1);
  untimed.rgbPrefix.assign(101, 0);
  const std::string duplicate = clockText(kHour + 100);

  struct Case {
    const char* name;
    const ClockIndex& clock;
    std::string text;
    bool asTimecode;
    int preferred;
    std::vector<int> frames;
  };
  const Case cases[] = {
      {"duplicate keeps the current frame", timed, duplicate, true, 100, {100}},
      {"duplicate keeps the other current frame", timed, duplicate, true, 5000, {5000}},
      {"duplicate from elsewhere lists both", timed, duplicate, true, 0, {100, 5000}},
      {"duplicate with preferred out of range", timed, duplicate, true, 6000, {100, 5000}},
      {"duplicate with negative preferred", timed, duplicate, true, -1, {100, 5000}},
      {"unique timecode", timed, "01:00:00:05", true, 0, {5}},
      {"timecode not in the recording", timed, "02:00:00:00", true, 0, {}},
      {"timecode mode ignores frame numbers", timed, "00:00:00:05", true, 0, {}},
      {"invalid text", timed, "01:00:00:24", true, 0, {}},
      {"frame index mode", untimed, "00:00:02:00", false, 0, {48}},
      {"frame index mode, last frame", untimed, "00:00:04:03", false, 0, {99}},
      {"frame index mode, one past the end", untimed, "00:00:04:04", false, 0, {}},
      {"frame index mode beyond the end", untimed, "99:00:00:00", false, 0, {}},
      {"frame index mode, invalid text", untimed, "0:00:02:00", false, 0, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.clock.resolve(c.text, c.asTimecode, c.preferred), c.frames) << c.name;
}

}  // namespace
