#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common_test_support.h"
#include "preview_cache.h"
#include "project_file.h"

namespace fs = std::filesystem;
using nlohmann::json;
using pcv0930::CachedPreview;
using pcv0930::PreviewCache;

namespace {

CachedPreview picture(uint32_t width, uint32_t height, json metadata = json::object()) {
  CachedPreview preview;
  preview.width = width;
  preview.height = height;
  for (size_t i = 0; i < static_cast<size_t>(width) * height * 3; ++i) preview.pixels.push_back(static_cast<uint8_t>(i));
  preview.metadata = std::move(metadata);
  return preview;
}

std::vector<uint8_t> fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A cache file with a declared header length, a header text and pixel bytes.
std::vector<uint8_t> cacheFile(uint32_t declaredLength, const std::string& header, size_t pixelBytes) {
  std::vector<uint8_t> bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(declaredLength >> shift));
  bytes.insert(bytes.end(), header.begin(), header.end());
  bytes.resize(bytes.size() + pixelBytes, 7);
  return bytes;
}

std::vector<uint8_t> cacheFile(const std::string& header, size_t pixelBytes) {
  return cacheFile(static_cast<uint32_t>(header.size()), header, pixelBytes);
}

std::vector<fs::path> filesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
  return files;
}

}  // namespace

TEST(PreviewCacheFormat, FileIsLengthThenSortedCompactHeaderThenPixels) {
  testsupport::TempFolder temp;
  PreviewCache cache(temp / "previews");
  const std::string key = "preview-v3|/a/take.pcv|fp|";
  cache.write(key, picture(2, 1, {{"tc", "00:00:01:02"}, {"count", 3}}));

  EXPECT_EQ(pcv0930::fnv1a64(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(pcv0930::fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
  const fs::path file = temp / "previews" / (std::to_string(pcv0930::fnv1a64(key)) + ".preview");
  EXPECT_EQ(cache.path(key), file);
  const std::string header =
      R"({"height":1,"key":"preview-v3|/a/take.pcv|fp|","metadata":{"count":3,"tc":"00:00:01:02"},"schema":1,"width":2})";
  std::vector<uint8_t> expected = cacheFile(header, 0);
  for (uint8_t value = 0; value < 6; ++value) expected.push_back(value);
  EXPECT_EQ(fileBytes(file), expected);
  EXPECT_EQ(filesIn(temp / "previews"), std::vector<fs::path>{file});  // no temporary left behind

  CachedPreview read;
  ASSERT_TRUE(cache.read(key, read));
  EXPECT_EQ(read.width, 2u);
  EXPECT_EQ(read.height, 1u);
  EXPECT_EQ(read.pixels, picture(2, 1).pixels);
  EXPECT_EQ(read.metadata, json({{"tc", "00:00:01:02"}, {"count", 3}}));
}

TEST(PreviewCacheRead, AnythingButExactlyThisKeysPictureIsAMiss) {
  testsupport::TempFolder temp;
  PreviewCache cache(temp.path());
  const std::string key = "k";
  const auto header = [](const std::string& members) { return "{" + members + "}"; };
  const std::string good = R"("height":1,"key":"k","metadata":null,"schema":1,"width":2)";
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool hit;
  };
  const std::vector<Case> cases{
      {"valid", cacheFile(header(good), 6), true},
      {"largest size", cacheFile(R"({"height":1,"key":"k","schema":1,"width":1600})", 4800), true},
      {"members in another order", cacheFile(R"({"width":2,"schema":1,"key":"k","height":1})", 6), true},
      {"empty file", {}, false},
      {"truncated length", {1, 0}, false},
      {"header longer than 1 MiB", cacheFile(1048577, header(good), 6), false},
      {"header longer than the file", cacheFile(1000, header(good), 6), false},
      {"another key", cacheFile(R"({"height":1,"key":"other","schema":1,"width":2})", 6), false},
      {"schema 2", cacheFile(R"({"height":1,"key":"k","schema":2,"width":2})", 6), false},
      {"no schema", cacheFile(R"({"height":1,"key":"k","width":2})", 6), false},
      {"no key", cacheFile(R"({"height":1,"schema":1,"width":2})", 6), false},
      {"key not a string", cacheFile(R"({"height":1,"key":7,"schema":1,"width":2})", 6), false},
      {"header not JSON", cacheFile("{\"key\":\"k\",", 6), false},
      {"header an array", cacheFile("[1,2]", 6), false},
      {"width 0", cacheFile(R"({"height":1,"key":"k","schema":1,"width":0})", 0), false},
      {"width 1601", cacheFile(R"({"height":1,"key":"k","schema":1,"width":1601})", 4803), false},
      {"height 1601", cacheFile(R"({"height":1601,"key":"k","schema":1,"width":1})", 4803), false},
      {"width a string", cacheFile(R"({"height":1,"key":"k","schema":1,"width":"2"})", 6), false},
      {"one pixel byte short", cacheFile(header(good), 5), false},
      {"one byte after the pixels", cacheFile(header(good), 7), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(cache.path(key), c.bytes);
    CachedPreview out;
    EXPECT_EQ(cache.read(key, out), c.hit);
  }
  CachedPreview out;
  EXPECT_FALSE(PreviewCache(temp / "missing").read(key, out));
}

TEST(PreviewCacheRead, DamagedFileIsRebuiltByTheNextWrite) {
  testsupport::TempFolder temp;
  PreviewCache cache(temp.path());
  writeBytes(cache.path("k"), cacheFile("not json at all", 6));
  CachedPreview out;
  ASSERT_FALSE(cache.read("k", out));
  cache.write("k", picture(1, 2));
  ASSERT_TRUE(cache.read("k", out));
  EXPECT_EQ(out.pixels, picture(1, 2).pixels);
}

TEST(PreviewCacheRead, HitMarksTheFileRecentlyUsed) {
  testsupport::TempFolder temp;
  PreviewCache cache(temp.path());
  cache.write("k", picture(1, 1));
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(5);
  fs::last_write_time(cache.path("k"), old);
  CachedPreview out;
  ASSERT_TRUE(cache.read("k", out));
  EXPECT_GT(fs::last_write_time(cache.path("k")), old + std::chrono::hours(4));
}

TEST(PreviewCacheWrite, PicturesThatDoNotMatchTheirSizeAreNotWritten) {
  testsupport::TempFolder temp;
  PreviewCache cache(temp / "previews");
  CachedPreview wrongCount = picture(2, 2);
  wrongCount.pixels.pop_back();
  for (const CachedPreview& preview : {picture(0, 1), picture(1, 0), wrongCount}) cache.write("k", preview);
  EXPECT_FALSE(fs::exists(temp / "previews"));
}

TEST(PreviewCacheWrite, FailedRenameLeavesNoTemporaryFile) {
  testsupport::TempFolder temp;
  PreviewCache cache(temp.path());
  fs::create_directories(cache.path("k") / "occupied");  // a folder where the file should go
  cache.write("k", picture(1, 1));
  for (const fs::path& file : filesIn(temp.path())) EXPECT_NE(file.extension(), ".tmp") << file;
  CachedPreview out;
  EXPECT_FALSE(cache.read("k", out));
}

TEST(PreviewCacheTrim, OldestPreviewFilesGoFirstUntilUnderTheLimit) {
  testsupport::TempFolder temp;
  PreviewCache cache(temp.path());
  const auto now = fs::file_time_type::clock::now();
  const std::vector<std::string> keys{"newest", "oldest", "middle"};
  const std::vector<int> ageHours{1, 3, 2};
  for (size_t i = 0; i < keys.size(); ++i) {
    cache.write(keys[i], picture(10, 10));
    fs::last_write_time(cache.path(keys[i]), now - std::chrono::hours(ageHours[i]));
  }
  writeBytes(temp / "notes.txt", std::vector<uint8_t>(5000, 1));
  const uint64_t fileSize = fs::file_size(cache.path("newest"));

  cache.trim(2 * fileSize);
  EXPECT_FALSE(fs::exists(cache.path("oldest")));
  EXPECT_TRUE(fs::exists(cache.path("middle")));
  EXPECT_TRUE(fs::exists(cache.path("newest")));
  EXPECT_TRUE(fs::exists(temp / "notes.txt"));

  cache.trim(fileSize - 1);
  EXPECT_FALSE(fs::exists(cache.path("newest")));
  EXPECT_TRUE(fs::exists(temp / "notes.txt"));
  PreviewCache(temp / "missing").trim(0);  // quietly nothing
}

TEST(PreviewCacheTrim, FirstAndEverySixteenthWriteAfterItTrimToTheLimit) {
  testsupport::TempFolder temp;
  PreviewCache probe(temp / "probe");
  probe.write("k16", picture(4, 4));
  // The size of the largest file: a trim keeps only the newest one.
  PreviewCache cache(temp / "cache", fs::file_size(probe.path("k16")));
  const auto now = fs::file_time_type::clock::now();
  for (int i = 0; i < 16; ++i) {
    const std::string key = "k" + std::to_string(i);
    cache.write(key, picture(4, 4));
    // Strictly increasing ages, whatever the file system's time resolution.
    fs::last_write_time(cache.path(key), now - std::chrono::minutes(100 - i));
  }
  EXPECT_EQ(filesIn(temp / "cache").size(), 16u);  // writes 2 to 16 do not trim
  cache.write("k16", picture(4, 4));
  EXPECT_EQ(filesIn(temp / "cache"), std::vector<fs::path>{cache.path("k16")});
}
