#include "common_test_support.h"
#include "pcv_reader.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pcv_writer.h"

namespace fs = std::filesystem;
using pcvwrite::FrameKind;
using pcvwrite::IndexStyle;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string kOpenFailed = "无法打开录像或分卷";
const std::string kCancelled = "加载已取消";
const std::string kCorruptTail = "帧数据损坏或录制尾部不完整：";
using testsupport::TempFolder;

pcvwrite::Frame makeFrame(FrameKind kind, const std::string& meta, size_t samples = 8, Bytes rgb = {}) {
  pcvwrite::Frame frame;
  frame.kind = kind;
  frame.metaJson = meta;
  for (size_t i = 0; i < samples; ++i) frame.depth.push_back(static_cast<uint16_t>(1000 + i));
  frame.rgbJpeg = std::move(rgb);
  return frame;
}

std::string indexMeta(size_t i) { return "{\"i\":" + std::to_string(i) + "}"; }

std::vector<pcvwrite::Frame> numberedFrames(size_t count, FrameKind kind = FrameKind::Frm1) {
  std::vector<pcvwrite::Frame> frames;
  for (size_t i = 0; i < count; ++i) frames.push_back(makeFrame(kind, indexMeta(i)));
  return frames;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes header(const char* magic, std::vector<uint32_t> fields) {
  Bytes out(magic, magic + 4);
  for (uint32_t field : fields) pcvwrite::appendU32(out, field);
  return out;
}

Bytes depthBytes(size_t samples) {
  Bytes out;
  for (size_t i = 0; i < samples; ++i) {
    out.push_back(static_cast<uint8_t>(i));
    out.push_back(0x10);
  }
  return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A segment of the given records, each at its own offset.
pcvwrite::Segment segmentOf(const std::vector<Bytes>& records) {
  pcvwrite::Segment segment;
  for (const Bytes& record : records) segment.addRaw(record);
  return segment;
}

std::vector<std::string> metasOf(PcvReader& reader) {
  std::vector<std::string> metas;
  for (size_t i = 0; i < reader.frameCount(); ++i) {
    std::string meta;
    EXPECT_TRUE(reader.readMeta(i, meta));
    metas.push_back(meta);
  }
  return metas;
}

// ---------------------------------------------------------------------------------------------
// Segment discovery

struct DiscoveryCase {
  const char* name;
  std::vector<std::string> files;  // each gets one frame whose metadata is its own file name
  std::string opened;
  std::vector<std::string> expectedOrder;  // empty: refused
};

TEST(PcvReaderDiscovery, FindsAndOrdersSegmentsOrRefusesTheRecording) {
  const std::vector<DiscoveryCase> cases = {
      {"any segment opens the whole recording", {"name.pcv", "name_1.pcv", "name_2.pcv"}, "name_1.pcv",
       {"name.pcv", "name_1.pcv", "name_2.pcv"}},
      {"numbers sort as numbers",
       {"r.pcv", "r_1.pcv", "r_2.pcv", "r_3.pcv", "r_4.pcv", "r_5.pcv", "r_6.pcv", "r_7.pcv", "r_8.pcv", "r_9.pcv",
        "r_10.pcv"},
       "r.pcv",
       {"r.pcv", "r_1.pcv", "r_2.pcv", "r_3.pcv", "r_4.pcv", "r_5.pcv", "r_6.pcv", "r_7.pcv", "r_8.pcv", "r_9.pcv",
        "r_10.pcv"}},
      {"gap", {"name.pcv", "name_2.pcv"}, "name.pcv", {}},
      {"name_01 beside name_1 repeats number 1", {"name.pcv", "name_1.pcv", "name_01.pcv"}, "name.pcv", {}},
      {"name_01 alone is number 1", {"name.pcv", "name_01.pcv"}, "name_01.pcv", {"name.pcv", "name_01.pcv"}},
      {"lone name_2 is its own recording", {"name_2.pcv"}, "name_2.pcv", {"name_2.pcv"}},
      {"unrelated files are ignored", {"name.pcv", "name_1.pcv", "name_x.pcv", "other.pcv", "name_1_2.pcv"},
       "name.pcv", {"name.pcv", "name_1.pcv"}},
      {"upper-case extension", {"X.PCV"}, "X.PCV", {}},
      {"number too large for 32 bits is skipped", {"big.pcv", "big_99999999999.pcv"}, "big.pcv", {"big.pcv"}},
      {"camera segments open under their listed name", {"video_3_1.pcv", "video_3_0.pcv", "video_3_2.pcv"},
       "video_3.pcv", {"video_3_0.pcv", "video_3_1.pcv", "video_3_2.pcv"}},
      {"camera segments with a gap", {"video_3_0.pcv", "video_3_2.pcv"}, "video_3.pcv", {}},
      {"camera segments without number 0", {"video_3_1.pcv", "video_3_2.pcv"}, "video_3.pcv", {}},
      {"camera segment opened by its own name", {"video_3_0.pcv", "video_3_1.pcv"}, "video_3_0.pcv",
       {"video_3_0.pcv"}},
      {"other names need their main file", {"take_0.pcv", "take_1.pcv"}, "take.pcv", {}},
      {"camera name with a suffix", {"video_3x_0.pcv"}, "video_3x.pcv", {}},
  };
  for (const DiscoveryCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    for (const std::string& file : c.files) {
      pcvwrite::Segment segment;
      segment.add(makeFrame(FrameKind::Frm1, file));
      ASSERT_TRUE(pcvwrite::writeFile(folder.file(file), segment.bytes));
    }
    PcvReader reader;
    const bool opened = reader.open(folder.file(c.opened));
    if (c.expectedOrder.empty()) {
      EXPECT_FALSE(opened);
      EXPECT_EQ(reader.error(), kOpenFailed);
      EXPECT_EQ(reader.segmentCount(), 0u);
      continue;
    }
    ASSERT_TRUE(opened) << reader.error();
    EXPECT_EQ(reader.error(), "");
    EXPECT_EQ(reader.path(), folder.file(c.opened));
    EXPECT_EQ(reader.segmentCount(), c.expectedOrder.size());
    EXPECT_EQ(metasOf(reader), c.expectedOrder);
    EXPECT_EQ(reader.baseMetaJson(), c.expectedOrder.front());
  }
}

TEST(PcvReaderDiscovery, RefusesWhatIsNotARecording) {
  TempFolder folder;
  pcvwrite::Segment good;
  good.add(makeFrame(FrameKind::Frm1, "{}"));
  Bytes wrongMagic = good.bytes;
  wrongMagic[3] = 'x';
  ASSERT_TRUE(pcvwrite::writeFile(folder.file("magic.pcv"), wrongMagic));
  ASSERT_TRUE(pcvwrite::writeFile(folder.file("short.pcv"), Bytes(good.bytes.begin(), good.bytes.begin() + 15)));
  ASSERT_TRUE(pcvwrite::writeFile(folder.file("empty.pcv"), pcvwrite::segmentHeader()));
  ASSERT_TRUE(fs::create_directory(folder.file("folder.pcv")));
  ASSERT_TRUE(pcvwrite::writeFile(folder.file("bad.pcv"), good.bytes));
  ASSERT_TRUE(pcvwrite::writeFile(folder.file("bad_1.pcv"), wrongMagic));

  for (const char* name : {"magic.pcv", "short.pcv", "empty.pcv", "folder.pcv", "missing.pcv", "bad.pcv"}) {
    SCOPED_TRACE(name);
    PcvReader reader;
    EXPECT_FALSE(reader.open(folder.file(name)));
    EXPECT_EQ(reader.error(), kOpenFailed);
    EXPECT_EQ(reader.segmentCount(), 0u);
    EXPECT_EQ(reader.frameCount(), 0u);
  }
}

TEST(PcvReaderDiscovery, RefusesAnUnreadableSegment) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  TempFolder folder;
  pcvwrite::Segment segment;
  segment.add(makeFrame(FrameKind::Frm1, "{}"));
  const std::string path = folder.file("locked.pcv");
  ASSERT_TRUE(pcvwrite::writeFile(path, segment.bytes));
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  PcvReader reader;
  EXPECT_FALSE(reader.open(path));
  EXPECT_EQ(reader.error(), kOpenFailed);
}

// ---------------------------------------------------------------------------------------------
// Indexes and the sequential scan

struct IndexCase {
  const char* name;
  // Builds the segment bytes and (when non-empty) the sidecar bytes.
  std::function<void(Bytes& segment, Bytes& sidecar)> build;
  size_t expectedFrames;  // 0: the open fails with the corrupt-tail message
};

// Three frames whose embedded index lists only the last two, so an accepted index shows as two frames.
void embeddedSkippingFirst(Bytes& bytes, Bytes&) {
  pcvwrite::Segment segment;
  for (const auto& frame : numberedFrames(3)) segment.add(frame);
  const std::vector<uint64_t> offsets(segment.frameOffsets.begin() + 1, segment.frameOffsets.end());
  bytes = concat(segment.bytes, pcvwrite::embeddedIndex(offsets, segment.bytes.size()));
}

// The sidecar counterpart: an accepted sidecar shows as two frames.
void sidecarSkippingFirst(Bytes& bytes, Bytes& sidecar) {
  pcvwrite::Segment segment;
  for (const auto& frame : numberedFrames(3)) segment.add(frame);
  sidecar = pcvwrite::sidecarIndex({segment.frameOffsets.begin() + 1, segment.frameOffsets.end()});
  bytes = segment.bytes;
}

void patchU64(Bytes& bytes, size_t at, uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t u64At(const Bytes& bytes, size_t at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[at + i];
  return value;
}

TEST(PcvReaderIndex, UsesValidIndexesAndScansWhenTheyFail) {
  const std::vector<IndexCase> cases = {
      {"valid embedded index", embeddedSkippingFirst, 2},
      {"embedded magic off by one byte: sequential scan up to the trailer",
       [](Bytes& b, Bytes& s) {
         embeddedSkippingFirst(b, s);
         b[b.size() - 17] = 1;
       },
       3},
      {"embedded indexOffset off by one: nothing marks the data end",
       [](Bytes& b, Bytes& s) {
         embeddedSkippingFirst(b, s);
         patchU64(b, b.size() - 16, u64At(b, b.size() - 16) + 1);
       },
       0},
      {"embedded offsets not increasing",
       [](Bytes& b, Bytes& s) {
         embeddedSkippingFirst(b, s);
         const size_t first = b.size() - 24 - 16;
         const uint64_t a = u64At(b, first), c = u64At(b, first + 8);
         patchU64(b, first, c);
         patchU64(b, first + 8, a);
       },
       3},
      {"embedded offset pointing one byte into a frame",
       [](Bytes& b, Bytes& s) {
         embeddedSkippingFirst(b, s);
         const size_t second = b.size() - 24 - 8;
         patchU64(b, second, u64At(b, second) + 1);
       },
       3},
      {"embedded offset before the frames",
       [](Bytes& b, Bytes& s) {
         embeddedSkippingFirst(b, s);
         patchU64(b, b.size() - 24 - 16, 15);
       },
       3},
      {"embedded index wins over the sidecar",
       [](Bytes& b, Bytes& s) {
         embeddedSkippingFirst(b, s);
         s = pcvwrite::sidecarIndex({16});
       },
       2},
      {"valid sidecar", sidecarSkippingFirst, 2},
      {"sidecar one byte too long",
       [](Bytes& b, Bytes& s) {
         sidecarSkippingFirst(b, s);
         s.push_back(0);
       },
       3},
      {"sidecar count larger than its offsets",
       [](Bytes& b, Bytes& s) {
         sidecarSkippingFirst(b, s);
         s[8] = 3;
       },
       3},
      {"sidecar count 0",
       [](Bytes& b, Bytes& s) {
         sidecarSkippingFirst(b, s);
         s = Bytes(s.begin(), s.begin() + 12);
         s[8] = 0;
       },
       3},
      {"sidecar wrong magic",
       [](Bytes& b, Bytes& s) {
         sidecarSkippingFirst(b, s);
         s[5] = '2';
       },
       3},
      {"sidecar offsets repeating",
       [](Bytes& b, Bytes& s) {
         sidecarSkippingFirst(b, s);
         patchU64(s, 20, u64At(s, 12));
       },
       3},
  };
  for (const IndexCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    Bytes bytes, sidecar;
    c.build(bytes, sidecar);
    const std::string path = folder.file("rec.pcv");
    ASSERT_TRUE(pcvwrite::writeFile(path, bytes));
    if (!sidecar.empty()) {
      ASSERT_TRUE(pcvwrite::writeFile(path + ".idx", sidecar));
    }
    PcvReader reader;
    const bool opened = reader.open(path);
    if (c.expectedFrames == 0) {
      EXPECT_FALSE(opened);
      EXPECT_EQ(reader.error(), kCorruptTail + path);
      EXPECT_EQ(reader.frameCount(), 0u);
      continue;
    }
    ASSERT_TRUE(opened) << reader.error();
    ASSERT_EQ(reader.frameCount(), c.expectedFrames);
    const size_t firstListed = 3 - c.expectedFrames;
    std::vector<std::string> expected;
    for (size_t i = firstListed; i < 3; ++i) expected.push_back(indexMeta(i));
    EXPECT_EQ(metasOf(reader), expected);
    EXPECT_EQ(reader.baseMetaJson(), expected.front());
  }
}

TEST(PcvReaderIndex, MultiSegmentRecordingsOfEveryIndexStyleAndKind) {
  for (IndexStyle style : {IndexStyle::None, IndexStyle::Embedded, IndexStyle::Sidecar}) {
    for (FrameKind kind : {FrameKind::Frm1, FrameKind::Frm2, FrameKind::Frm3}) {
      SCOPED_TRACE(testing::Message() << "style " << static_cast<int>(style) << " kind " << static_cast<int>(kind));
      TempFolder folder;
      const std::string base = folder.file("walk");
      ASSERT_TRUE(pcvwrite::writeRecording(base, numberedFrames(7, kind), 3, style));
      PcvReader reader;
      ASSERT_TRUE(reader.open(base + "_2.pcv")) << reader.error();
      EXPECT_EQ(reader.segmentCount(), 3u);
      ASSERT_EQ(reader.frameCount(), 7u);
      for (size_t i = 0; i < 7; ++i) {
        FrameData frame;
        ASSERT_TRUE(reader.readFrame(i, frame, true));
        EXPECT_EQ(frame.metaJson, indexMeta(i));
        EXPECT_EQ(frame.kind, std::string("FRM") + char('1' + static_cast<int>(kind)));
        EXPECT_EQ(frame.depth, makeFrame(kind, "").depth);
      }
    }
  }
}

// Segments named video_N_0.pcv, video_N_1.pcv, ... with no video_N.pcv, each holding frames
// [first, first + count) and the given index style.
void writeCameraSegments(const TempFolder& folder, IndexStyle style, const std::vector<size_t>& counts) {
  size_t first = 0;
  for (size_t s = 0; s < counts.size(); ++s) {
    pcvwrite::Segment segment;
    for (size_t i = 0; i < counts[s]; ++i) {
      segment.add(makeFrame(FrameKind::Frm3, indexMeta(first + i), 8, text("rgb")));
    }
    first += counts[s];
    const Bytes sidecar = segment.finish(style);
    const std::string path = folder.file("video_3_" + std::to_string(s) + ".pcv");
    ASSERT_TRUE(pcvwrite::writeFile(path, segment.bytes));
    if (!sidecar.empty()) {
      ASSERT_TRUE(pcvwrite::writeFile(path + ".idx", sidecar));
    }
  }
}

TEST(PcvReaderIndex, CameraSegmentsWithoutAMainFileIndexLikeAnyRecording) {
  for (IndexStyle style : {IndexStyle::None, IndexStyle::Embedded, IndexStyle::Sidecar}) {
    SCOPED_TRACE(testing::Message() << "style " << static_cast<int>(style));
    TempFolder folder;
    writeCameraSegments(folder, style, {3, 3, 1});
    PcvReader reader;
    ASSERT_TRUE(reader.open(folder.file("video_3.pcv"))) << reader.error();
    EXPECT_EQ(reader.segmentCount(), 3u);
    ASSERT_EQ(reader.frameCount(), 7u);
    EXPECT_EQ(reader.baseMetaJson(), indexMeta(0));
    for (size_t i = 0; i < 7; ++i) {
      FrameData frame;
      ASSERT_TRUE(reader.readFrame(i, frame, true));
      EXPECT_EQ(frame.metaJson, indexMeta(i));
      EXPECT_TRUE(reader.hasRgb(i));
    }
    FrameData preview;
    size_t total = 0;
    ASSERT_TRUE(PcvReader().preview(folder.file("video_3.pcv"), 5, preview, {}, &total, nullptr));
    EXPECT_EQ(preview.metaJson, indexMeta(5));
    EXPECT_EQ(total, 7u);
  }

  TempFolder damaged;
  writeCameraSegments(damaged, IndexStyle::None, {2, 2});
  const std::string last = damaged.file("video_3_1.pcv");
  fs::resize_file(last, fs::file_size(last) - 3);
  PcvReader reader;
  EXPECT_FALSE(reader.open(damaged.file("video_3.pcv")));
  EXPECT_EQ(reader.error(), kCorruptTail + last);
  EXPECT_EQ(reader.segmentCount(), 0u);
}

TEST(PcvReaderIndex, TruncatedTailFailsUnlessAFrameLimitStopsFirst) {
  TempFolder folder;
  pcvwrite::Segment segment;
  for (const auto& frame : numberedFrames(2, FrameKind::Frm2)) segment.add(frame);
  const Bytes partial = pcvwrite::encodeFrame(makeFrame(FrameKind::Frm2, indexMeta(2)));
  const std::string path = folder.file("cut.pcv");
  ASSERT_TRUE(pcvwrite::writeFile(path, concat(segment.bytes, Bytes(partial.begin(), partial.end() - 1))));

  PcvReader reader;
  EXPECT_FALSE(reader.open(path));
  EXPECT_EQ(reader.error(), kCorruptTail + path);
  EXPECT_EQ(reader.frameCount(), 0u);

  ASSERT_TRUE(reader.open(path, {}, 1));
  EXPECT_EQ(reader.frameCount(), 1u);
  EXPECT_EQ(reader.error(), "");
  ASSERT_TRUE(reader.open(path, {}, 2));
  EXPECT_EQ(reader.frameCount(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Payload determination and header limits

struct DisguiseCase {
  const char* name;
  Bytes record;
  const char* expectedKind;  // nullptr: the frame is rejected
  size_t samples;
  Bytes rgb;
};

TEST(PcvReaderPayload, RecognisesLegacyDisguisesWhereverTheFrameEnds) {
  const std::string meta = "{\"depth_width\":4,\"depth_height\":2}";
  const Bytes rgb = {0xff, 0xd8, 0xff, 0xd9, 0x42};
  const uint32_t metaLength = static_cast<uint32_t>(meta.size());
  const std::vector<DisguiseCase> cases = {
      {"FRM1 with a 16-byte FRM3 header",
       concat(concat(concat(header("FRM1", {metaLength, 16, 5}), text(meta)), depthBytes(8)), rgb), "FRM3", 8, rgb},
      {"FRM1 with a 16-byte header and no picture",
       concat(concat(header("FRM1", {metaLength, 16, 0}), text(meta)), depthBytes(8)), "FRM3", 8, {}},
      {"FRM2 whose third field is 0",
       concat(concat(header("FRM2", {metaLength, 16, 0}), text(meta)), depthBytes(8)), "FRM3", 8, {}},
      {"FRM2 that lines up only as FRM3",
       concat(concat(concat(header("FRM2", {metaLength, 16, 5}), text(meta)), depthBytes(8)), rgb), "FRM3", 8, rgb},
      {"FRM2 whose third field is 0 and lines up nowhere",
       concat(concat(header("FRM2", {metaLength, 16, 0}), text(meta)), depthBytes(9)), nullptr, 0, {}},
      {"plain FRM1", concat(concat(header("FRM1", {metaLength, 16}), text(meta)), depthBytes(8)), "FRM1", 8, {}},
  };
  struct Placement {
    const char* name;
    bool followedByFrame;
    IndexStyle style;
  };
  const Placement placements[] = {{"last in file", false, IndexStyle::None},
                                  {"followed by a frame", true, IndexStyle::None},
                                  {"before an embedded index", false, IndexStyle::Embedded},
                                  {"with a sidecar", true, IndexStyle::Sidecar}};
  for (const DisguiseCase& c : cases) {
    for (const Placement& placement : placements) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << placement.name);
      TempFolder folder;
      pcvwrite::Segment segment = segmentOf({c.record});
      if (placement.followedByFrame) segment.add(makeFrame(FrameKind::Frm1, "{\"next\":1}"));
      const Bytes sidecar = segment.finish(placement.style);
      const std::string path = folder.file("legacy.pcv");
      ASSERT_TRUE(pcvwrite::writeFile(path, segment.bytes));
      if (!sidecar.empty()) {
      ASSERT_TRUE(pcvwrite::writeFile(path + ".idx", sidecar));
    }
      PcvReader reader;
      const bool opened = reader.open(path);
      if (c.expectedKind == nullptr) {
        EXPECT_FALSE(opened);
        continue;
      }
      ASSERT_TRUE(opened) << reader.error();
      ASSERT_EQ(reader.frameCount(), placement.followedByFrame ? 2u : 1u);
      FrameData frame;
      ASSERT_TRUE(reader.readFrame(0, frame, true));
      EXPECT_EQ(frame.kind, c.expectedKind);
      EXPECT_EQ(frame.metaJson, meta);
      EXPECT_EQ(frame.depth.size(), c.samples);
      EXPECT_EQ(frame.depth[1], 0x1001);
      EXPECT_EQ(frame.rgbJpeg, c.rgb);
      EXPECT_EQ(reader.hasRgb(0), !c.rgb.empty());
      if (placement.followedByFrame) {
        std::string next;
        EXPECT_TRUE(reader.readMeta(1, next));
        EXPECT_EQ(next, "{\"next\":1}");
      }
    }
  }
}

TEST(PcvReaderPayload, RejectsHeadersBeyondTheLimits) {
  const Bytes meta = text("{}");
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"metaLength above 16 MiB", header("FRM1", {0x1000001, 8})},
      {"depthLength above 64 MiB", header("FRM3", {2, 0x4000002, 0})},
      {"FRM2 payload above 128 MiB", header("FRM2", {2, 8, 0x8000001})},
      {"FRM3 payload above 128 MiB", header("FRM3", {2, 0x4000000, 0x4000002})},
      {"FRM3 rgbLength overflowing 32 bits", header("FRM3", {2, 8, 0xfffffffc})},
      {"frame ending beyond the file", header("FRM3", {2, 8, 100})},
      {"unknown frame magic", header("FRM4", {2, 8, 0})},
  };
  for (const auto& [name, record] : cases) {
    SCOPED_TRACE(name);
    TempFolder folder;
    pcvwrite::Segment segment;
    segment.add(makeFrame(FrameKind::Frm1, "{}"));
    segment.addRaw(concat(concat(record, meta), depthBytes(8)));
    const std::string path = folder.file("limits.pcv");
    ASSERT_TRUE(pcvwrite::writeFile(path, segment.bytes));
    PcvReader reader;
    EXPECT_FALSE(reader.open(path));
    EXPECT_EQ(reader.error(), kCorruptTail + path);
    EXPECT_TRUE(reader.open(path, {}, 1)) << "the good first frame stays readable";
  }
}

// ---------------------------------------------------------------------------------------------
// Progress and cancellation

struct ProgressCall {
  uint64_t done, total;
  size_t segment, segments;
};

TEST(PcvReaderProgress, ReportsThinnedOutProgressPerSegment) {
  for (IndexStyle style : {IndexStyle::Embedded, IndexStyle::None}) {
    SCOPED_TRACE(static_cast<int>(style));
    TempFolder folder;
    const std::string base = folder.file("long");
    ASSERT_TRUE(pcvwrite::writeRecording(base, numberedFrames(4200), 4100, style));
    std::vector<ProgressCall> calls;
    PcvReader reader;
    ASSERT_TRUE(reader.open(base + ".pcv", [&](uint64_t done, uint64_t total, size_t segment, size_t segments) {
      calls.push_back({done, total, segment, segments});
      return true;
    }));
    ASSERT_EQ(reader.frameCount(), 4200u);
    const uint64_t total = fs::file_size(base + ".pcv") + fs::file_size(base + "_1.pcv");
    // Indexed: per segment one call before the scan, one per 4096 offsets read, one per 128 frames.
    // Sequential: one before the scan and one per frame.
    const size_t expected = style == IndexStyle::Embedded ? (1 + 2 + 33) + (1 + 1 + 1) : (1 + 4100) + (1 + 100);
    ASSERT_EQ(calls.size(), expected);
    uint64_t previous = 0;
    for (const ProgressCall& call : calls) {
      EXPECT_EQ(call.total, total);
      EXPECT_EQ(call.segments, 2u);
      EXPECT_GE(call.done, previous);
      EXPECT_LT(call.done, total);
      previous = call.done;
    }
    EXPECT_EQ(calls.front().segment, 1u);
    EXPECT_EQ(calls.back().segment, 2u);
    EXPECT_EQ(calls.front().done, 0u);
  }
}

TEST(PcvReaderProgress, CancelLeavesAnEmptyReaderAtAnyPoint) {
  for (IndexStyle style : {IndexStyle::Embedded, IndexStyle::None}) {
    TempFolder folder;
    const std::string base = folder.file("c");
    ASSERT_TRUE(pcvwrite::writeRecording(base, numberedFrames(300), 200, style));
    for (size_t cancelAt : {1, 2, 3, 6}) {
      SCOPED_TRACE(testing::Message() << "style " << static_cast<int>(style) << " cancel at call " << cancelAt);
      PcvReader reader;
      ASSERT_TRUE(reader.open(base + ".pcv"));
      size_t calls = 0;
      EXPECT_FALSE(reader.open(base + ".pcv", [&](uint64_t, uint64_t, size_t, size_t) { return ++calls < cancelAt; }));
      EXPECT_EQ(calls, cancelAt);
      EXPECT_EQ(reader.error(), kCancelled);
      EXPECT_EQ(reader.frameCount(), 0u);
      EXPECT_EQ(reader.segmentCount(), 0u);
      EXPECT_EQ(reader.path(), "");
      EXPECT_EQ(reader.baseMetaJson(), "");
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Frame decoding

struct SizeCase {
  const char* name;
  std::string meta;
  size_t samples;
  uint32_t width, height;
};

TEST(PcvReaderDecode, TakesTheImageSizeFromMetadataAndRepairsIt) {
  const std::vector<SizeCase> cases = {
      {"size from metadata", "{\"depth_width\": 320, \"depth_height\": 288}", 92160, 320, 288},
      {"wrong size in metadata", "{\"depth_width\": 320, \"depth_height\": 288}", 368640, 640, 576},
      {"1000 samples", "{}", 1000, 1000, 1},
      {"128 samples", "{}", 128, 128, 1},
      {"multiple of 640", "{}", 1280, 640, 2},
      {"depth_width 0 keeps the default", "{\"depth_width\":0,\"depth_height\":1}", 640, 640, 1},
      {"negative depth_width keeps the default", "{\"depth_width\":-4,\"depth_height\":1}", 640, 640, 1},
      {"fraction dropped", "{\"depth_width\":4.9,\"depth_height\":2e0}", 8, 4, 2},
      {"nested key counts", "{\"cam\":{\"depth_width\":2,\"depth_height\":4}}", 8, 2, 4},
      {"metadata that is not JSON", "depth_width=4", 8, 8, 1},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const std::string base = folder.file("size");
    ASSERT_TRUE(pcvwrite::writeRecording(base, {makeFrame(FrameKind::Frm2, c.meta, c.samples)}, 0, IndexStyle::None));
    PcvReader reader;
    ASSERT_TRUE(reader.open(base + ".pcv")) << reader.error();
    FrameData frame;
    ASSERT_TRUE(reader.readFrame(0, frame, true));
    EXPECT_EQ(frame.width, c.width);
    EXPECT_EQ(frame.height, c.height);
    EXPECT_EQ(frame.depth.size(), c.samples);
    EXPECT_EQ(frame.depth.back(), static_cast<uint16_t>(1000 + c.samples - 1));
  }
}

TEST(PcvReaderDecode, IntrinsicsComeFromFrameZeroAndTheFrameItself) {
  TempFolder folder;
  const std::string base = folder.file("cam");
  ASSERT_TRUE(pcvwrite::writeRecording(
      base,
      {makeFrame(FrameKind::Frm1, "{\"fx\": 600.5, \"cy\": 1.5e2}"), makeFrame(FrameKind::Frm1, "{\"other\":1}"),
       makeFrame(FrameKind::Frm1, "{\"fx\":-7,\"fy\":\"no\",\"cx\" : 12}"), makeFrame(FrameKind::Frm1, "")},
      0, IndexStyle::Embedded));
  PcvReader reader;
  ASSERT_TRUE(reader.open(base + ".pcv"));
  struct Expected {
    float fx, fy, cx, cy;
  };
  const Expected expected[] = {{600.5f, 500, 320, 150}, {600.5f, 500, 320, 150}, {-7, 500, 12, 150},
                               {600.5f, 500, 320, 150}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    FrameData frame;
    ASSERT_TRUE(reader.readFrame(i, frame, true));
    EXPECT_FLOAT_EQ(frame.fx, expected[i].fx);
    EXPECT_FLOAT_EQ(frame.fy, expected[i].fy);
    EXPECT_FLOAT_EQ(frame.cx, expected[i].cx);
    EXPECT_FLOAT_EQ(frame.cy, expected[i].cy);
  }
}

TEST(PcvReaderDecode, SurvivesHugeRunsInMetadata) {
  TempFolder folder;
  const std::string base = folder.file("runs");
  const std::string meta =
      "{\"fx\":" + std::string(2000000, ' ') + "x, \"fy\":" + std::string(2000000, '7') + ", \"cx\":1e99999}";
  ASSERT_TRUE(pcvwrite::writeRecording(base, {makeFrame(FrameKind::Frm1, meta)}, 0, IndexStyle::None));
  PcvReader reader;
  ASSERT_TRUE(reader.open(base + ".pcv"));
  FrameData frame;
  ASSERT_TRUE(reader.readFrame(0, frame, true));
  EXPECT_FLOAT_EQ(frame.fx, 500);
  EXPECT_FLOAT_EQ(frame.fy, 500) << "a number too large for a float falls back";
  EXPECT_FLOAT_EQ(frame.cx, 320);
}

TEST(PcvReaderDecode, RejectsUnusableDepth) {
  const Bytes meta = text("{}");
  const Bytes raw = depthBytes(8);
  Bytes shortBlock(static_cast<size_t>(LZ4_compressBound(14)));
  shortBlock.resize(static_cast<size_t>(LZ4_compress_default(reinterpret_cast<const char*>(raw.data()),
                                                             reinterpret_cast<char*>(shortBlock.data()), 14,
                                                             static_cast<int>(shortBlock.size()))));
  const Bytes garbage = {0xff, 0xff, 0xff, 0xff, 0x00, 0x01};
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"odd depthLength", concat(concat(header("FRM1", {2, 7}), meta), Bytes(7, 1))},
      {"zero depthLength", concat(header("FRM1", {2, 0}), meta)},
      {"LZ4 block shorter than depthLength",
       concat(concat(header("FRM2", {2, 16, static_cast<uint32_t>(shortBlock.size())}), meta), shortBlock)},
      {"LZ4 garbage", concat(concat(header("FRM2", {2, 16, static_cast<uint32_t>(garbage.size())}), meta), garbage)},
  };
  for (const auto& [name, record] : cases) {
    SCOPED_TRACE(name);
    TempFolder folder;
    pcvwrite::Segment segment = segmentOf({record});
    const std::string path = folder.file("bad.pcv");
    ASSERT_TRUE(pcvwrite::writeFile(path, segment.bytes));
    PcvReader reader;
    ASSERT_TRUE(reader.open(path)) << reader.error();
    FrameData frame;
    EXPECT_FALSE(reader.readFrame(0, frame, true));
    std::string readBack;
    EXPECT_TRUE(reader.readMeta(0, readBack));
    EXPECT_EQ(readBack, "{}");
  }
}

TEST(PcvReaderDecode, MetadataAndRgbPresence) {
  TempFolder folder;
  const std::string base = folder.file("rgb");
  const Bytes jpeg = {0xff, 0xd8, 1, 2, 3, 0xff, 0xd9};
  ASSERT_TRUE(pcvwrite::writeRecording(base,
                                       {makeFrame(FrameKind::Frm1, "a"), makeFrame(FrameKind::Frm2, "b"),
                                        makeFrame(FrameKind::Frm3, "c", 8, jpeg), makeFrame(FrameKind::Frm3, "")},
                                       2, IndexStyle::Sidecar));
  PcvReader reader;
  ASSERT_TRUE(reader.open(base + ".pcv"));
  EXPECT_EQ(metasOf(reader), (std::vector<std::string>{"a", "b", "c", ""}));
  const bool rgbExpected[] = {false, false, true, false};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(reader.hasRgb(i), rgbExpected[i]) << i;
  EXPECT_FALSE(reader.hasRgb(4));
  std::string meta = "stale";
  EXPECT_FALSE(reader.readMeta(4, meta));
  EXPECT_EQ(meta, "");

  FrameData frame;
  ASSERT_TRUE(reader.readFrame(2, frame, true));
  EXPECT_EQ(frame.rgbJpeg, jpeg);
  ASSERT_TRUE(reader.readFrame(2, frame, false));
  EXPECT_TRUE(frame.rgbJpeg.empty());
  frame.kind = "untouched";
  EXPECT_FALSE(reader.readFrame(4, frame, true));
  EXPECT_EQ(frame.kind, "untouched");

  PcvReader moved(std::move(reader));
  EXPECT_EQ(moved.frameCount(), 4u);
  EXPECT_EQ(reader.frameCount(), 0u);
  ASSERT_TRUE(moved.readFrame(3, frame, true));
  EXPECT_EQ(frame.kind, "FRM3");
}

// ---------------------------------------------------------------------------------------------
// Preview

struct PreviewCase {
  IndexStyle style;
  size_t index;
  bool expectedOk;
  size_t expectedTotal;
  bool expectLastMeta;
};

TEST(PcvReaderPreview, DecodesOneFrameThroughTheIndexes) {
  const std::vector<PreviewCase> cases = {
      {IndexStyle::Embedded, 3, true, 7, true},  {IndexStyle::Sidecar, 6, true, 7, true},
      {IndexStyle::Embedded, 0, true, 7, true},  {IndexStyle::Sidecar, 7, false, 7, true},
      {IndexStyle::Embedded, 99, false, 7, true}, {IndexStyle::None, 4, true, 7, true},
      {IndexStyle::None, 0, true, 0, false},  // limit of one frame: the count stays unknown
      {IndexStyle::None, 7, false, 0, false},
  };
  for (const PreviewCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "style " << static_cast<int>(c.style) << " index " << c.index);
    TempFolder folder;
    const std::string base = folder.file("p");
    ASSERT_TRUE(pcvwrite::writeRecording(base, numberedFrames(7, FrameKind::Frm2), 3, c.style));
    PcvReader reader;
    FrameData frame;
    size_t total = 123;
    std::string lastMeta = "stale";
    size_t calls = 0;
    const bool ok = reader.preview(
        base + "_1.pcv", c.index, frame,
        [&](uint64_t, uint64_t, size_t, size_t) {
          ++calls;
          return true;
        },
        &total, &lastMeta);
    EXPECT_EQ(ok, c.expectedOk);
    EXPECT_EQ(total, c.expectedTotal);
    EXPECT_EQ(lastMeta, c.expectLastMeta ? indexMeta(6) : "");
    EXPECT_GT(calls, 0u);
    if (!ok) continue;
    EXPECT_EQ(frame.metaJson, indexMeta(c.index));
    EXPECT_EQ(frame.kind, "FRM2");
    EXPECT_EQ(frame.depth, makeFrame(FrameKind::Frm2, "").depth);
    EXPECT_EQ(reader.baseMetaJson(), indexMeta(0));
    EXPECT_EQ(reader.segmentCount(), 3u);
  }
}

TEST(PcvReaderPreview, FrameZeroOfATruncatedRecordingWithoutIndex) {
  TempFolder folder;
  pcvwrite::Segment segment;
  for (const auto& frame : numberedFrames(2)) segment.add(frame);
  const std::string path = folder.file("cut.pcv");
  ASSERT_TRUE(pcvwrite::writeFile(path, Bytes(segment.bytes.begin(), segment.bytes.end() - 2)));
  PcvReader reader;
  FrameData frame;
  EXPECT_TRUE(reader.preview(path, 0, frame, {}, nullptr, nullptr));
  EXPECT_EQ(frame.metaJson, indexMeta(0));
  EXPECT_FALSE(reader.preview(path, 1, frame, {}, nullptr, nullptr));
}

TEST(PcvReaderPreview, UsesTheCompleteIndexItAlreadyHolds) {
  TempFolder folder;
  const std::string base = folder.file("held");
  ASSERT_TRUE(pcvwrite::writeRecording(base, numberedFrames(5, FrameKind::Frm3), 2, IndexStyle::None));
  PcvReader reader;
  ASSERT_TRUE(reader.open(base + ".pcv"));
  // The open files stay readable after removal, so only the held index can answer.
  for (size_t s = 0; s < 3; ++s) ASSERT_TRUE(fs::remove(pcvwrite::segmentPath(base, s)));
  std::vector<ProgressCall> calls;
  FrameData frame;
  size_t total = 0;
  std::string lastMeta;
  ASSERT_TRUE(reader.preview(
      base + ".pcv", 3, frame,
      [&](uint64_t done, uint64_t all, size_t segment, size_t segments) {
        calls.push_back({done, all, segment, segments});
        return true;
      },
      &total, &lastMeta));
  EXPECT_EQ(frame.metaJson, indexMeta(3));
  EXPECT_EQ(total, 5u);
  EXPECT_EQ(lastMeta, indexMeta(4));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].done, 1u);
  EXPECT_EQ(calls[0].total, 1u);
  EXPECT_EQ(calls[0].segment, 3u);
  EXPECT_EQ(calls[0].segments, 3u);

  EXPECT_FALSE(reader.preview(base + ".pcv", 3, frame, [](uint64_t, uint64_t, size_t, size_t) { return false; },
                              &total, nullptr));
  EXPECT_FALSE(reader.preview(base + "_1.pcv", 3, frame, {}, &total, nullptr)) << "another path is looked up anew";
}

TEST(PcvReaderPreview, FailsOnCancelAndOnDamagedSegments) {
  TempFolder folder;
  const std::string base = folder.file("d");
  ASSERT_TRUE(pcvwrite::writeRecording(base, numberedFrames(4), 2, IndexStyle::Embedded));
  PcvReader reader;
  FrameData frame;
  EXPECT_FALSE(reader.preview(base + ".pcv", 0, frame, [](uint64_t, uint64_t, size_t, size_t) { return false; },
                              nullptr, nullptr));
  Bytes second;
  {
    pcvwrite::Segment segment;
    segment.add(makeFrame(FrameKind::Frm1, "x"));
    second = segment.bytes;
  }
  second[20] = 0xff;  // the first frame's metaLength becomes absurd
  ASSERT_TRUE(pcvwrite::writeFile(pcvwrite::segmentPath(base, 1), second));
  EXPECT_FALSE(reader.preview(base + ".pcv", 0, frame, {}, nullptr, nullptr));
  EXPECT_FALSE(reader.preview(folder.file("missing.pcv"), 0, frame, {}, nullptr, nullptr));
}

}  // namespace
