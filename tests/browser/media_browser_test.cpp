#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "browser_test_support.h"
#include "common_test_support.h"
#include "media_browser.h"
#include "pcp_writer.h"
#include "preview_cache.h"
#include "preview_jobs.h"

namespace fs = std::filesystem;
using nlohmann::json;
using pcv0930::MediaBrowser;
using pcv0930::MediaEvent;
using pcv0930::MediaItem;
using pcv0930::PreviewTexture;

namespace {

MediaItem videoItem(const std::string& path) {
  MediaItem item;
  item.path = path;
  item.name = fs::path(path).filename().string();
  item.fingerprint = "fp-" + item.name;
  item.files = {path};
  return item;
}

// A browser over a private cache folder, on the test thread's GL context.
class MediaBrowserTest : public browsertest::GlTest {
 protected:
  void SetUp() override {
    browsertest::GlTest::SetUp();
    browser = std::make_unique<MediaBrowser>();
  }
  void TearDown() override {
    browser->clearTextures(true);
    browser.reset();
    browsertest::GlTest::TearDown();
  }

  // Polls like the frame loop until done() holds; false after the deadline.
  bool pollUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      browser->poll();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  const PreviewTexture* entry(const MediaItem& item, const std::string& variant = "") const {
    const auto found = browser->textures().find(MediaBrowser::key(item, variant));
    return found == browser->textures().end() ? nullptr : &found->second;
  }

  bool hasTexture(const MediaItem& item, const std::string& variant = "") const {
    const PreviewTexture* found = entry(item, variant);
    return found != nullptr && found->texture != 0;
  }

  MediaItem recording(const std::string& name, int frames = 3) {
    EXPECT_TRUE(pcvwrite::writeRecording(temp / name, browsertest::recordingFrames(frames), 0,
                                         pcvwrite::IndexStyle::Embedded));
    return videoItem(temp / (name + ".pcv"));
  }

  // Holds the listing worker until the returned promise is set. Returns once the blocking job
  // runs, so jobs submitted afterwards, even at the front, queue behind it.
  std::shared_ptr<std::promise<void>> blockListingWorker() {
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    auto started = std::make_shared<std::promise<void>>();
    std::future<void> running = started->get_future();
    browser->listingWorker().submit([released, started](const auto&) {
      started->set_value();
      released.wait();
      MediaEvent nothing;
      nothing.kind = MediaEvent::kPreview;  // no entry has an empty key
      return nothing;
    });
    EXPECT_EQ(running.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    return release;
  }

  // Returns once every job queued on the listing worker before it has run.
  void drainListingWorker() {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    browser->listingWorker().submit([done](const auto&) {
      done->set_value();
      MediaEvent nothing;
      nothing.kind = MediaEvent::kPreview;
      return nothing;
    });
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  }

  testsupport::TempFolder temp;
  testsupport::TempFolder cacheRoot;  // outside the listed folder, whose subfolders the tests count
  testsupport::ScopedEnv cacheHome{"XDG_CACHE_HOME", (cacheRoot / "cache").string()};
  std::unique_ptr<MediaBrowser> browser;
};

}  // namespace

TEST_F(MediaBrowserTest, GridPreviewIsUploadedAndCached) {
  const MediaItem item = recording("take");
  browser->request(item, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(item); }));
  const PreviewTexture& shown = *entry(item);
  EXPECT_EQ(shown.width, 800);
  EXPECT_EQ(shown.height, 480);
  EXPECT_EQ(shown.message, "");
  EXPECT_EQ(shown.frameCount, 3u);
  EXPECT_EQ(shown.lastTime, "01:00:00:02");
  EXPECT_EQ(shown.frameTime, "01:00:00:00");
  EXPECT_TRUE(glIsTexture(shown.texture));

  // The cache writer stores it where the next run finds it, even without the recording.
  const std::string cacheKey = pcv0930::previewCacheKey(item, "", nullptr);
  EXPECT_EQ(browser->cache()->root(), cacheRoot / "cache" / "tessaline" / "1002" / "previews-v3");
  pcv0930::CachedPreview cached;
  ASSERT_TRUE(pollUntil([&] { return browser->cache()->read(cacheKey, cached); }));
  EXPECT_EQ(cached.metadata["count"], 3);
  EXPECT_EQ(cached.metadata["lastTime"], "01:00:00:02");
  fs::remove(item.path);
  browser->clearTextures(true);
  browser->request(item, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(item); }));
  EXPECT_EQ(entry(item)->frameCount, 3u);
}

TEST_F(MediaBrowserTest, DamagedCacheHeaderIsRebuiltNotAnError) {
  const MediaItem item = recording("take");
  const std::string cacheKey = pcv0930::previewCacheKey(item, "", nullptr);
  const fs::path file = browser->cache()->path(cacheKey);
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << std::string("\x05\0\0\0{oops", 9);
  browser->request(item, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(item); }));
  EXPECT_EQ(entry(item)->message, "");
  EXPECT_EQ(browser->error, "");
  pcv0930::CachedPreview cached;
  EXPECT_TRUE(pollUntil([&] { return browser->cache()->read(cacheKey, cached); }));
}

TEST_F(MediaBrowserTest, ListingErrorsAndUnreadableRecordingsBecomeMessages) {
  MediaItem broken = recording("broken");
  broken.error = "录像分卷缺失";
  browser->request(broken, "", nullptr, false);
  ASSERT_NE(entry(broken), nullptr);
  EXPECT_EQ(entry(broken)->message, "录像分卷缺失");  // at once, without a job
  EXPECT_TRUE(entry(broken)->requested);

  const MediaItem missing = videoItem(temp / "missing.pcv");
  browser->request(missing, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return !entry(missing)->message.empty(); }));
  EXPECT_EQ(entry(missing)->texture, 0u);
  browser->requestDuration(missing, "");  // no preview, no summary
  EXPECT_FALSE(entry(missing)->summaryRequested);

  // Dropping with false lets failures retry; a success is kept.
  const MediaItem good = recording("good");
  browser->request(good, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(good); }));
  browser->clearTextures(false);
  EXPECT_FALSE(entry(missing)->requested);
  EXPECT_EQ(entry(missing)->message, "");
  EXPECT_TRUE(hasTexture(good));
  EXPECT_TRUE(entry(good)->requested);
}

TEST_F(MediaBrowserTest, GridCardsAndFrontVersionsJumpTheQueueAndOnePreviewAppliesPerPoll) {
  const MediaItem a = recording("a");
  const MediaItem b = recording("b");
  const auto release = blockListingWorker();
  browser->request(a, "", nullptr, false);                 // front
  browser->request(a, "v1", json::object(), false);        // back
  browser->request(b, "", nullptr, false);                 // front, ahead of a
  browser->request(b, "v2", json::object(), true);         // front, ahead of everything
  release->set_value();
  drainListingWorker();

  // Queue order: b/v2, b, a, a/v1; the GPU step of a version runs inside the poll that applies it.
  const std::vector<std::pair<const MediaItem*, std::string>> order{{&b, "v2"}, {&b, ""}, {&a, ""}, {&a, "v1"}};
  for (size_t applied = 0; applied < order.size(); ++applied) {
    browser->poll();
    for (size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(hasTexture(*order[i].first, order[i].second), i <= applied) << "poll " << applied << ", entry " << i;
    }
  }
  EXPECT_EQ(entry(b, "v2")->width, 1600);  // a version keeps its render size
  EXPECT_EQ(entry(b, "v2")->height, 960);
  EXPECT_EQ(entry(a, "")->width, 800);
}

TEST_F(MediaBrowserTest, NewParametersReplaceTheTextureAndStartAnotherJob) {
  const MediaItem item = recording("take", 4);
  json first = {{"editor_0930", {{"last_successful_export",
                                   {{"source_fingerprint", item.fingerprint}, {"range_inclusive", true},
                                    {"frame_index_base", 0}, {"start_frame", 1}, {"end_frame", 2},
                                    {"width", 800}, {"height", 800}}}}}};
  browser->request(item, "v", first, false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(item, "v"); }));
  EXPECT_EQ(entry(item, "v")->width, 1600);
  EXPECT_EQ(entry(item, "v")->height, 1600);

  browser->request(item, "v", json::object(), false);
  EXPECT_EQ(entry(item, "v")->texture, 0u);
  EXPECT_EQ(entry(item, "v")->params, "{}");
  ASSERT_TRUE(pollUntil([&] { return hasTexture(item, "v"); }));
  EXPECT_EQ(entry(item, "v")->width, 1600);
  EXPECT_EQ(entry(item, "v")->height, 960);
}

TEST_F(MediaBrowserTest, FolderChangeCancelsQueuedPreviewsAndListsOnTheWorker) {
  const MediaItem item = recording("take");
  fs::create_directories(temp / "sub");
  const auto release = blockListingWorker();
  browser->request(item, "", nullptr, false);
  browser->navigate(temp.path().string(), true);
  EXPECT_TRUE(browser->loading);
  EXPECT_FALSE(entry(item)->requested);  // the dropped job will be asked for again
  release->set_value();
  ASSERT_TRUE(pollUntil([&] { return !browser->loading; }));
  EXPECT_EQ(browser->error, "");
  ASSERT_EQ(browser->directory.items.size(), 1u);
  EXPECT_EQ(browser->directory.items[0].path, item.path);
  EXPECT_EQ(browser->directory.folders.size(), 1u);
  drainListingWorker();
  browser->poll();
  EXPECT_FALSE(hasTexture(item));

  browser->request(browser->directory.items[0], "", nullptr, false);
  EXPECT_TRUE(pollUntil([&] { return hasTexture(browser->directory.items[0]); }));

  browser->navigate((temp / "gone").string(), true);
  ASSERT_TRUE(pollUntil([&] { return !browser->loading; }));
  EXPECT_NE(browser->error, "");
}

TEST_F(MediaBrowserTest, SummaryWorkerCountsFramesAndCachesTheCount) {
  const MediaItem item = recording("take", 5);
  // A cached preview that does not know the frame count leaves the count to the summary.
  pcv0930::CachedPreview stored{1, 1, {9, 9, 9}, json::object()};
  browser->cache()->write(pcv0930::previewCacheKey(item, "", nullptr), stored);
  browser->request(item, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(item); }));
  EXPECT_EQ(entry(item)->frameCount, 0u);
  browser->cache()->write(pcv0930::previewCacheKey(item, "v", json::object()), stored);
  browser->request(item, "v", json::object(), false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(item, "v"); }));
  EXPECT_EQ(entry(item, "v")->frameCount, 0u);

  browser->requestDuration(item, "");
  EXPECT_TRUE(entry(item)->summaryRequested);
  ASSERT_TRUE(pollUntil([&] { return entry(item)->frameCount != 0; }));
  EXPECT_EQ(entry(item)->frameCount, 5u);
  EXPECT_DOUBLE_EQ(entry(item)->seconds, 5 / 24.0);
  EXPECT_EQ(entry(item)->lastTime, "01:00:00:04");
  EXPECT_EQ(entry(item, "v")->frameCount, 5u);  // every entry of the recording
  const std::string summaryKey = MediaBrowser::key(item, "");
  ASSERT_EQ(browser->summaries().count(summaryKey), 1u);

  pcv0930::CachedPreview cached;
  ASSERT_TRUE(pollUntil([&] { return browser->cache()->read(pcv0930::summaryCacheKey(summaryKey), cached); }));
  EXPECT_EQ(cached.width, 1u);
  EXPECT_EQ(cached.pixels, (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(cached.metadata, json({{"count", 5}, {"lastTime", "01:00:00:04"}}));

  // A later run answers from the cache, without the recording.
  fs::remove(item.path);
  browser->clearTextures(true);
  browser->request(item, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(item); }));
  browser->requestDuration(item, "");
  ASSERT_TRUE(pollUntil([&] { return entry(item)->frameCount != 0; }));
  EXPECT_EQ(entry(item)->frameCount, 5u);
  EXPECT_EQ(entry(item)->summaryError, "");
}

TEST_F(MediaBrowserTest, TextureBudgetEvictsTheLeastRecentlyUsed) {
  const MediaItem a = recording("a");
  const MediaItem b = recording("b");
  const MediaItem c = recording("c");
  browser->textureBudget = 2 * 800 * 480 * 6;
  for (const MediaItem* item : {&a, &b}) {
    browser->request(*item, "", nullptr, false);
    ASSERT_TRUE(pollUntil([&] { return hasTexture(*item); }));
  }
  browser->request(a, "", nullptr, false);  // a is now more recent than b
  browser->request(c, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(c); }));
  EXPECT_TRUE(hasTexture(a));
  EXPECT_FALSE(hasTexture(b));
  EXPECT_FALSE(entry(b)->requested);  // its card asks again when visible
}

TEST_F(MediaBrowserTest, PhotosAreRenderedOnTheGpuInPollAndBrokenOnesGetAMessage) {
  pcpwrite::Photo photo;
  photo.metaJson = R"({"depth_width":8,"depth_height":8,"fx":10,"fy":10,"cx":4,"cy":4,"fov_half_deg":20})";
  photo.depth.assign(64, 1500);
  ASSERT_TRUE(pcpwrite::writePcp(temp.file("shot.pcp"), photo));
  MediaItem shot = videoItem(temp.file("shot.pcp"));
  shot.photo = true;
  browser->request(shot, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return hasTexture(shot) || !entry(shot)->message.empty(); }));
  EXPECT_EQ(entry(shot)->message, "");
  EXPECT_EQ(entry(shot)->width, 800);  // rendered at 1600 x 960, kept at the grid's width
  EXPECT_EQ(entry(shot)->height, 480);
  browser->requestDuration(shot, "");  // photos have no duration
  EXPECT_FALSE(entry(shot)->summaryRequested);

  std::ofstream(temp.file("broken.pcp")) << "PCP";
  MediaItem broken = videoItem(temp.file("broken.pcp"));
  broken.photo = true;
  browser->request(broken, "", nullptr, false);
  ASSERT_TRUE(pollUntil([&] { return !entry(broken)->message.empty(); }));
  EXPECT_EQ(entry(broken)->texture, 0u);
}
