#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "browser_test_support.h"
#include "common_test_support.h"
#include "preview_jobs.h"

namespace fs = std::filesystem;
using nlohmann::json;
using pcv0930::MediaEvent;
using pcv0930::MediaItem;
using pcv0930::PreviewCache;
using pcv0930::PreviewRequest;
using pcv0930::PreviewSource;

namespace {

const auto kNever = [] { return false; };

MediaItem videoItem(const std::string& path, const std::string& fingerprint = "fp") {
  MediaItem item;
  item.path = path;
  item.name = fs::path(path).filename().string();
  item.fingerprint = fingerprint;
  item.files = {path};
  return item;
}

PreviewRequest requestFor(const MediaItem& item, const std::string& variant, const json& params) {
  return {item, pcv0930::previewKey(item, variant), pcv0930::previewCacheKey(item, variant, params), variant, params};
}

json exportRecord(json record) { return {{"editor_0930", {{"last_successful_export", std::move(record)}}}}; }

json matchingRecord(int start, int end) {
  return {{"source_fingerprint", "fp"}, {"range_inclusive", true}, {"frame_index_base", 0},
          {"start_frame", start},       {"end_frame", end}};
}

}  // namespace

TEST(PreviewKeys, TextureSummaryAndCacheKeys) {
  MediaItem item = videoItem("/m/take.pcv", "fpA");
  item.sidecarFingerprint = "fpB";
  EXPECT_EQ(pcv0930::previewKey(item, ""), "/m/take.pcv|fpAfpB|");
  EXPECT_EQ(pcv0930::previewKey(item, "版本 2"), "/m/take.pcv|fpAfpB|版本 2");
  EXPECT_EQ(pcv0930::summaryCacheKey(pcv0930::previewKey(item, "")), "summary-v3|/m/take.pcv|fpAfpB|");

  const json params = {{"note", "x"}};
  EXPECT_EQ(pcv0930::previewCacheKey(item, "", params), "preview-v3|/m/take.pcv|fpAfpB||");
  EXPECT_EQ(pcv0930::previewCacheKey(item, "v2", params),
            "preview-v3|/m/take.pcv|fpAfpB|v2|{\"note\":\"x\"}|mapping-range-0.1-15");
  const json sampled = {{"sampling_ratio", 0.5}};
  EXPECT_EQ(pcv0930::previewCacheKey(item, "v2", sampled),
            "preview-v3|/m/take.pcv|fpAfpB|v2|{\"sampling_ratio\":0.5}|spatial-sampling-v2|mapping-range-0.1-15");
  item.photo = true;
  EXPECT_EQ(pcv0930::previewCacheKey(item, "", nullptr), "preview-v3|/m/take.pcv|fpAfpB|||mapping-range-0.1-15");
}

TEST(PreviewKeys, SpatialSamplingFromTheRatioOrAnyKeyframe) {
  const std::vector<std::pair<json, bool>> cases{
      {nullptr, false},
      {json::array({0.5}), false},
      {{{"sampling_ratio", 1.0}}, false},
      {{{"sampling_ratio", 0.99}}, true},
      {{{"sampling_ratio", "0.5"}}, false},
      {{{"tracks", {{"sampling_ratio", json::array({{{"f", 0}, {"v", 1.0}}, {{"f", 9}, {"v", 0.25}}})}}}}, true},
      {{{"tracks", {{"sampling_ratio", {{"a", {{"v", 0.1}}}}}}}}, true},
      {{{"tracks", {{"sampling_ratio", json::array({{{"v", 1.0}}, 3, "x"})}}}}, false},
      {{{"tracks", {{"sampling_ratio", 0.5}}}}, false},
  };
  for (const auto& [params, sampled] : cases) EXPECT_EQ(pcv0930::usesSpatialSampling(params), sampled) << params;
}

TEST(PreviewJob, GridPreviewIsAnEightHundredWideThumbnailWithTheRecordingsTimes) {
  testsupport::TempFolder temp;
  ASSERT_TRUE(pcvwrite::writeRecording(temp / "take", browsertest::recordingFrames(3), 0, pcvwrite::IndexStyle::Embedded));
  PreviewCache cache(temp / "cache");
  PreviewSource source;
  const MediaItem item = videoItem(temp / "take.pcv");
  const MediaEvent event = pcv0930::runPreviewJob(requestFor(item, "", nullptr), cache, source, kNever);
  EXPECT_EQ(event.error, "");
  EXPECT_EQ(event.kind, MediaEvent::kPreview);
  EXPECT_TRUE(event.plain);
  EXPECT_FALSE(event.fromCache);
  EXPECT_EQ(event.image.width, 800);
  EXPECT_EQ(event.image.height, 480);
  EXPECT_GT(browsertest::litPixels(event.image), 0u);
  EXPECT_TRUE(event.frame.depth.empty());  // only the picture travels back
  EXPECT_EQ(event.frameCount, 3u);
  EXPECT_DOUBLE_EQ(event.seconds, 3 / 24.0);
  EXPECT_EQ(event.firstTime, "01:00:00:00");
  EXPECT_EQ(event.frameTime, "01:00:00:00");
  EXPECT_EQ(event.lastTime, "01:00:00:02");

  // The same request answered from the cache entry the browser would write.
  const pcv0930::CachedPreview entry = pcv0930::previewCacheEntry(event);
  EXPECT_EQ(entry.metadata.dump(),
            R"({"count":3,"firstTime":"01:00:00:00","lastTime":"01:00:00:02","seconds":0.125,"tc":"01:00:00:00"})");
  cache.write(event.cacheKey, entry);
  fs::remove(temp / "take.pcv");
  PreviewSource fresh;
  const MediaEvent cached = pcv0930::runPreviewJob(requestFor(item, "", nullptr), cache, fresh, kNever);
  EXPECT_TRUE(cached.fromCache);
  EXPECT_EQ(cached.image.pixels, event.image.pixels);
  EXPECT_EQ(cached.frameCount, 3u);
  EXPECT_DOUBLE_EQ(cached.seconds, event.seconds);
  EXPECT_EQ(cached.lastTime, "01:00:00:02");
  EXPECT_EQ(cached.frameTime, "01:00:00:00");
}

TEST(PreviewJob, UnusableIntrinsicsPreviewBlackAndMissingRecordingsFail) {
  testsupport::TempFolder temp;
  pcvwrite::Frame frame = browsertest::recordingFrame(0);
  frame.metaJson = R"({"depth_width":64,"depth_height":48,"fx":0,"fy":60})";
  ASSERT_TRUE(pcvwrite::writeRecording(temp / "flat", {frame}, 0, pcvwrite::IndexStyle::Embedded));
  PreviewCache cache(temp / "cache");
  PreviewSource source;
  const MediaEvent black =
      pcv0930::runPreviewJob(requestFor(videoItem(temp / "flat.pcv"), "", nullptr), cache, source, kNever);
  EXPECT_EQ(black.error, "");
  EXPECT_EQ(black.image.width, 800);
  EXPECT_EQ(black.image.height, 480);
  EXPECT_EQ(browsertest::litPixels(black.image), 0u);

  const MediaEvent missing =
      pcv0930::runPreviewJob(requestFor(videoItem(temp / "gone.pcv"), "", nullptr), cache, source, kNever);
  EXPECT_NE(missing.error, "");
  EXPECT_TRUE(missing.image.empty());
  EXPECT_EQ(missing.textureKey, pcv0930::previewKey(videoItem(temp / "gone.pcv"), ""));
}

TEST(PreviewJob, VersionPreviewTakesItsFrameFlipsAndSizeFromAMatchingExport) {
  testsupport::TempFolder temp;
  ASSERT_TRUE(pcvwrite::writeRecording(temp / "take", browsertest::recordingFrames(6), 0, pcvwrite::IndexStyle::Embedded));
  PreviewCache cache(temp / "cache");
  const MediaItem item = videoItem(temp / "take.pcv");
  struct Case {
    const char* name;
    json params;
    uint64_t frame;
    uint32_t width;
    uint32_t height;
    bool flipX;
    bool flipY;
  };
  json flipped = matchingRecord(4, 5);
  flipped["flip_x"] = true;
  flipped["flip_y"] = true;
  json tall = matchingRecord(1, 1);
  tall["width"] = 1000;
  tall["height"] = 4000;
  json tiny = matchingRecord(0, 0);
  tiny["width"] = 50;
  tiny["height"] = 20000;
  json otherSource = matchingRecord(3, 4);
  otherSource["source_fingerprint"] = "another";
  json exclusive = matchingRecord(3, 4);
  exclusive["range_inclusive"] = false;
  json oneBased = matchingRecord(3, 4);
  oneBased["frame_index_base"] = 1;
  json reversed = matchingRecord(4, 2);
  reversed["flip_y"] = true;
  const std::vector<Case> cases{
      {"no record", json::object(), 0, 1600, 960, false, false},
      {"default export size", exportRecord(matchingRecord(2, 5)), 2, 1600, 960, false, false},
      {"flips", exportRecord(flipped), 4, 1600, 960, true, true},
      {"portrait", exportRecord(tall), 1, 400, 1600, false, false},
      {"clamped sides", exportRecord(tiny), 0, 19, 1600, false, false},
      {"another fingerprint", exportRecord(otherSource), 0, 1600, 960, false, false},
      {"exclusive range", exportRecord(exclusive), 0, 1600, 960, false, false},
      {"one-based", exportRecord(oneBased), 0, 1600, 960, false, false},
      {"reversed range", exportRecord(reversed), 0, 1600, 960, false, true},
  };
  PreviewSource source;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MediaEvent event = pcv0930::runPreviewJob(requestFor(item, "v1", c.params), cache, source, kNever);
    EXPECT_EQ(event.error, "");
    EXPECT_EQ(event.kind, MediaEvent::kVersionPreview);
    EXPECT_FALSE(event.plain);
    EXPECT_TRUE(event.image.empty());  // rendered on the GPU by the main thread
    EXPECT_EQ(event.frameIndex, c.frame);
    EXPECT_EQ(event.frame.metaJson, browsertest::recordingFrame(static_cast<int>(c.frame)).metaJson);
    EXPECT_FALSE(event.frame.depth.empty());
    EXPECT_EQ(event.renderWidth, c.width);
    EXPECT_EQ(event.renderHeight, c.height);
    EXPECT_EQ(event.flipX, c.flipX);
    EXPECT_EQ(event.flipY, c.flipY);
    EXPECT_EQ(event.frameCount, 6u);
    EXPECT_EQ(event.params, c.params);
  }
}

TEST(PreviewJob, SourceKeepsTheRecordingOpenWithAtMostFourFrames) {
  testsupport::TempFolder temp;
  ASSERT_TRUE(pcvwrite::writeRecording(temp / "take", browsertest::recordingFrames(6), 0, pcvwrite::IndexStyle::Embedded));
  ASSERT_TRUE(pcvwrite::writeRecording(temp / "other", browsertest::recordingFrames(2), 0, pcvwrite::IndexStyle::Embedded));
  PreviewCache cache(temp / "cache");
  const MediaItem item = videoItem(temp / "take.pcv");
  PreviewSource source;
  for (int frame = 0; frame < 5; ++frame) {
    const MediaEvent event =
        pcv0930::runPreviewJob(requestFor(item, "v", exportRecord(matchingRecord(frame, 5))), cache, source, kNever);
    ASSERT_EQ(event.error, "");
  }
  EXPECT_EQ(source.key, item.path + "|fp");
  EXPECT_EQ(source.frameCount, 6u);
  EXPECT_EQ(source.endClock, "01:00:00:05");
  std::vector<uint64_t> held;
  for (const auto& [index, frame] : source.frames) held.push_back(index);
  EXPECT_EQ(held, (std::vector<uint64_t>{1, 2, 3, 4}));

  // Held frames no longer need the file; the dropped one does.
  fs::rename(temp / "take.pcv", temp / "moved.pcv");
  const MediaEvent heldFrame =
      pcv0930::runPreviewJob(requestFor(item, "v", exportRecord(matchingRecord(2, 5))), cache, source, kNever);
  EXPECT_EQ(heldFrame.error, "");
  EXPECT_EQ(heldFrame.frame.metaJson, browsertest::recordingFrame(2).metaJson);
  EXPECT_EQ(heldFrame.lastTime, "01:00:00:05");
  fs::rename(temp / "moved.pcv", temp / "take.pcv");

  // Another recording replaces the source.
  const MediaEvent other =
      pcv0930::runPreviewJob(requestFor(videoItem(temp / "other.pcv"), "v", json::object()), cache, source, kNever);
  EXPECT_EQ(other.error, "");
  EXPECT_EQ(source.key, (temp / "other.pcv").string() + "|fp");
  EXPECT_EQ(source.frames.size(), 1u);
  EXPECT_EQ(source.frameCount, 2u);
}

TEST(SummaryJob, CountsFramesAndReadsTheLastClock) {
  testsupport::TempFolder temp;
  ASSERT_TRUE(pcvwrite::writeRecording(temp / "take", browsertest::recordingFrames(4), 2, pcvwrite::IndexStyle::Embedded));
  PreviewCache cache(temp / "cache");
  const MediaItem item = videoItem(temp / "take.pcv");
  const std::string summaryKey = pcv0930::previewKey(item, "");
  const MediaEvent summary = pcv0930::runSummaryJob(item, summaryKey, cache, kNever);
  EXPECT_EQ(summary.kind, MediaEvent::kSummary);
  EXPECT_EQ(summary.textureKey, summaryKey);
  EXPECT_EQ(summary.error, "");
  EXPECT_EQ(summary.frameCount, 4u);
  EXPECT_DOUBLE_EQ(summary.seconds, 4 / 24.0);
  EXPECT_EQ(summary.lastTime, "01:00:00:03");

  const MediaEvent missing = pcv0930::runSummaryJob(videoItem(temp / "gone.pcv"), "gone|", cache, kNever);
  EXPECT_NE(missing.error, "");
  EXPECT_EQ(missing.textureKey, "gone|");
  EXPECT_EQ(missing.frameCount, 0u);
}
