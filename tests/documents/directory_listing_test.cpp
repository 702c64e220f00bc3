#include "directory_listing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "project_file.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using doctest::TempFolder;
using doctest::writeText;
using pcv0930::Directory;
using pcv0930::MediaItem;
using testsupport::ScopedEnv;

const pcv0930::CancelCheck kNeverCancel = [] { return false; };

std::vector<std::string> fileNames(const std::vector<std::string>& paths) {
  std::vector<std::string> names;
  for (const std::string& path : paths) names.push_back(fs::path(path).filename().string());
  return names;
}

const MediaItem* findItem(const Directory& directory, const std::string& name) {
  for (const MediaItem& item : directory.items)
    if (item.name == name) return &item;
  return nullptr;
}

bool entirelyEmpty(const Directory& directory) {
  return directory.folders.empty() && directory.levelPath.empty() && directory.levelFolders.empty() &&
         directory.items.empty() && directory.error.empty();
}

struct ExpectedItem {
  std::string name;
  std::vector<std::string> files;
  std::string error;
};

struct GroupingCase {
  const char* title;
  std::vector<std::string> files;
  std::vector<ExpectedItem> items;  // in name order
};

TEST(ListDirectory, GroupsSegmentFilesIntoRecordings) {
  const std::string kMissing = "录像分卷缺失";
  const std::vector<GroupingCase> cases = {
      {"camera segments without a main file",
       {"video_3_0.pcv", "video_3_2.pcv", "video_3_1.pcv"},
       {{"video_3.pcv", {"video_3_0.pcv", "video_3_1.pcv", "video_3_2.pcv"}, ""}}},
      {"segments beside their main file",
       {"take.pcv", "take_2.pcv", "take_1.pcv"},
       {{"take.pcv", {"take.pcv", "take_1.pcv", "take_2.pcv"}, ""}}},
      {"segment numbers sort as numbers",
       {"r.pcv", "r_10.pcv", "r_9.pcv", "r_8.pcv", "r_7.pcv", "r_6.pcv", "r_5.pcv", "r_4.pcv", "r_3.pcv", "r_2.pcv",
        "r_1.pcv"},
       {{"r.pcv",
         {"r.pcv", "r_1.pcv", "r_2.pcv", "r_3.pcv", "r_4.pcv", "r_5.pcv", "r_6.pcv", "r_7.pcv", "r_8.pcv", "r_9.pcv",
          "r_10.pcv"},
         ""}}},
      {"lone numbered file", {"take_2.pcv"}, {{"take_2.pcv", {"take_2.pcv"}, ""}}},
      {"a numbered file joins its main file", {"a.pcv", "a_7.pcv"}, {{"a.pcv", {"a.pcv", "a_7.pcv"}, kMissing}}},
      {"gap", {"video_1_0.pcv", "video_1_2.pcv"}, {{"video_1.pcv", {"video_1_0.pcv", "video_1_2.pcv"}, kMissing}}},
      {"first segment missing", {"video_1_1.pcv"}, {{"video_1.pcv", {"video_1_1.pcv"}, kMissing}}},
      {"repeated number", {"take.pcv", "take_1.pcv", "take_01.pcv"},
       {{"take.pcv", {"take.pcv", "take_01.pcv", "take_1.pcv"}, kMissing}}},
      {"hidden, upper-case and other files are left out",
       {".hidden.pcv", "Clip.PCV", "notes.txt", "take.pcv.idx", "x.pcv"},
       {{"x.pcv", {"x.pcv"}, ""}}},
      {"a number too large for an int keeps the file as its own item",
       {"video_1_0.pcv", "video_1_99999999999.pcv"},
       {{"video_1.pcv", {"video_1_0.pcv"}, ""}, {"video_1_99999999999.pcv", {"video_1_99999999999.pcv"}, ""}}},
      {"separate recordings", {"video_2_0.pcv", "video_10_0.pcv", "b.pcv"},
       {{"b.pcv", {"b.pcv"}, ""}, {"video_2.pcv", {"video_2_0.pcv"}, ""}, {"video_10.pcv", {"video_10_0.pcv"}, ""}}},
  };
  for (const GroupingCase& c : cases) {
    SCOPED_TRACE(c.title);
    TempFolder folder;
    const auto sameTime = fs::file_time_type::clock::now();
    for (const std::string& file : c.files) {
      writeText(folder / file, "data");
      fs::last_write_time(folder / file, sameTime);
    }
    const Directory listed = pcv0930::listDirectory(folder.path().string(), kNeverCancel);
    ASSERT_EQ(listed.error, "");
    ASSERT_EQ(listed.items.size(), c.items.size());
    for (size_t i = 0; i < c.items.size(); ++i) {
      const MediaItem& item = listed.items[i];
      EXPECT_EQ(item.name, c.items[i].name);
      EXPECT_EQ(item.path, (folder / c.items[i].name).string());
      EXPECT_EQ(fileNames(item.files), c.items[i].files);
      EXPECT_EQ(item.error, c.items[i].error);
      EXPECT_FALSE(item.photo);
    }
  }
}

TEST(ListDirectory, FillsSizeTimeFingerprintAndVersions) {
  TempFolder folder;
  writeText(folder / "take.pcv", std::string(100, 'a'));
  writeText(folder / "take_1.pcv", std::string(23, 'b'));
  const auto older = fs::file_time_type::clock::now() - std::chrono::hours(5);
  const auto newer = older + std::chrono::seconds(90);
  fs::last_write_time(folder / "take.pcv", newer);
  fs::last_write_time(folder / "take_1.pcv", older);
  const std::string valid = R"({"tracks": {}, "fps": 24, "total_frames": 10})";
  writeText(folder / "take_projects.json",
            "{\"take_1\": " + valid + ", \"take_2\": " + valid + ", \"原始版本\": " + valid + "}");

  // Project files a version list cannot be read from: the item stays listed with the flag.
  struct BrokenProject {
    const char* stem;
    std::string text;
    uint64_t versions;
  };
  const std::vector<BrokenProject> broken = {
      {"invalid_entry", "{\"invalid_entry_1\": " + valid + ", \"invalid_entry_2\": {\"tracks\": []}}", 1},
      {"not_json", "{\"tracks\": ", 0},
      {"array", "[1, 2]", 0},
      {"string", "\"text\"", 0},
  };
  for (const BrokenProject& project : broken) {
    writeText(folder / (std::string(project.stem) + ".pcv"), "x");
    writeText(folder / (std::string(project.stem) + "_projects.json"), project.text);
  }
  writeText(folder / "unreadable.pcv", "x");
  fs::create_directory(folder / "unreadable_projects.json");

  const Directory listed = pcv0930::listDirectory(folder.path().string(), kNeverCancel);
  ASSERT_EQ(listed.error, "");
  const MediaItem* take = findItem(listed, "take.pcv");
  ASSERT_NE(take, nullptr);
  EXPECT_EQ(take->size, 123u);
  EXPECT_EQ(take->modified, newer);
  EXPECT_EQ(take->fingerprint, pcv0930::fingerprint(take->files));
  EXPECT_EQ(take->sidecarFingerprint, "");
  EXPECT_EQ(take->versionCount, 2u);
  EXPECT_FALSE(take->versionsBroken);

  for (const BrokenProject& project : broken) {
    SCOPED_TRACE(project.stem);
    const MediaItem* item = findItem(listed, std::string(project.stem) + ".pcv");
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->versionsBroken);
    EXPECT_EQ(item->versionCount, project.versions);
    EXPECT_EQ(item->error, "");
  }
  const MediaItem* unreadable = findItem(listed, "unreadable.pcv");
  ASSERT_NE(unreadable, nullptr);
  EXPECT_TRUE(unreadable->versionsBroken);
  EXPECT_EQ(std::count(listed.folders.begin(), listed.folders.end(), (folder / "unreadable_projects.json").string()),
            1);
}

TEST(ListDirectory, NewestFirstThenNaturalNames) {
  TempFolder folder;
  const auto base = fs::file_time_type::clock::now() - std::chrono::hours(1);
  const std::vector<std::pair<std::string, int>> files = {
      {"clip10.pcv", 0}, {"clip2.pcv", 0}, {"Clip3.pcv", 0}, {"zebra.pcv", 5}, {"alpha.pcv", -5}};
  for (const auto& [name, seconds] : files) {
    writeText(folder / name, "x");
    fs::last_write_time(folder / name, base + std::chrono::seconds(seconds));
  }
  const Directory listed = pcv0930::listDirectory(folder.path().string(), kNeverCancel);
  std::vector<std::string> names;
  for (const MediaItem& item : listed.items) names.push_back(item.name);
  EXPECT_EQ(names, (std::vector<std::string>{"zebra.pcv", "clip2.pcv", "Clip3.pcv", "clip10.pcv", "alpha.pcv"}));
}

TEST(ListDirectory, FoldersAndTheLevelPanel) {
  TempFolder root;
  const fs::path listedFolder = root / "shoot";
  for (const char* name : {"day10", "day2", "Day3", ".cache"}) fs::create_directories(listedFolder / name);
  fs::create_directories(root / "elsewhere");
  fs::create_directory_symlink(root / "elsewhere", listedFolder / "linked");
  fs::create_symlink(root / "nowhere", listedFolder / "dangling");
  fs::create_symlink(listedFolder / "loop", listedFolder / "loop");
  fs::create_directory(listedFolder / "day2" / "empty");

  const Directory listed = pcv0930::listDirectory(listedFolder.string(), kNeverCancel);
  ASSERT_EQ(listed.error, "");
  const std::vector<std::string> expected = {(listedFolder / "day2").string(), (listedFolder / "Day3").string(),
                                             (listedFolder / "day10").string(), (listedFolder / "linked").string()};
  EXPECT_EQ(listed.folders, expected);
  EXPECT_EQ(listed.levelPath, listedFolder.string());
  EXPECT_EQ(listed.levelFolders, expected);

  // A folder without subfolders shows its parent's, with or without a trailing separator.
  for (const std::string& path : {(listedFolder / "day2" / "empty").string(),
                                  (listedFolder / "day2" / "empty").string() + "/"}) {
    SCOPED_TRACE(path);
    const Directory leaf = pcv0930::listDirectory(path, kNeverCancel);
    EXPECT_EQ(leaf.error, "");
    EXPECT_TRUE(leaf.folders.empty());
    EXPECT_EQ(leaf.levelPath, (listedFolder / "day2").string());
    EXPECT_EQ(leaf.levelFolders, std::vector<std::string>{(listedFolder / "day2" / "empty").string()});
  }

  const Directory top = pcv0930::listDirectory("/", kNeverCancel);
  EXPECT_EQ(top.error, "");
  EXPECT_EQ(top.levelPath, "/");
  EXPECT_EQ(top.levelFolders, top.folders);
}

TEST(ListDirectory, AFolderThatCannotBeListedReportsWhy) {
  TempFolder folder;
  writeText(folder / "file.pcv", "x");
  for (const fs::path& path : {folder / "missing", folder / "file.pcv"}) {
    SCOPED_TRACE(path);
    const Directory listed = pcv0930::listDirectory(path.string(), kNeverCancel);
    EXPECT_NE(listed.error.find(path.string()), std::string::npos) << listed.error;
    EXPECT_NE(listed.error.find("directory"), std::string::npos) << listed.error;
    EXPECT_TRUE(listed.items.empty());
    EXPECT_TRUE(listed.folders.empty());
  }
}

TEST(ListDirectory, CancelAtAnyPointGivesAnEntirelyEmptyDirectory) {
  TempFolder root;
  const fs::path listedFolder = root / "shoot";
  fs::create_directories(listedFolder);
  for (const char* name : {"a.pcv", "a_1.pcv", "video_1_0.pcv", "b.pcv"}) writeText(listedFolder / name, "x");
  for (const char* name : {"one", "two", "three"}) fs::create_directory(root / name);

  // Cancelling at the n-th question, for every n up to the last one the listing asks.
  int questions = 0;
  const Directory complete = pcv0930::listDirectory(listedFolder.string(), [&questions] {
    ++questions;
    return false;
  });
  ASSERT_EQ(complete.levelPath, root.path().string());
  ASSERT_GE(questions, 8);  // four files, and the parent's four entries
  for (int cancelAt = 1; cancelAt <= questions; ++cancelAt) {
    SCOPED_TRACE(cancelAt);
    int asked = 0;
    const Directory cancelled =
        pcv0930::listDirectory(listedFolder.string(), [&asked, cancelAt] { return ++asked >= cancelAt; });
    EXPECT_TRUE(entirelyEmpty(cancelled));
  }
}

TEST(NaturalLess, OrdersNamesAsPeopleRead) {
  struct Case {
    const char* a;
    const char* b;
    bool less;
  };
  const std::vector<Case> cases = {
      {"clip2", "clip10", true},   {"clip10", "clip2", false}, {"A", "a", false},      {"a", "A", false},
      {"img01", "img1", false},    {"img1", "img01", false},   {"img001a", "img1b", true},
      {"take", "take_1", true},    {"take_1", "take", false},  {"", "a", true},        {"", "", false},
      {"a0", "a00", false},        {"a00", "a0", false},       {"a9", "a010", true},   {"b", "A", false},
      {"x99999999999999999999", "x100000000000000000000", true},
      {"_", "a", true},  // '_' is 0x5f, below lower-case letters
      {"\xc3\xa9", "z", false},  // bytes above 127 stay as they are and sort after ASCII
      {"z", "\xc3\xa9", true},
  };
  for (const Case& c : cases) EXPECT_EQ(pcv0930::naturalLess(c.a, c.b), c.less) << c.a << " < " << c.b;
}

TEST(ListingTexts, SizesAndDurations) {
  const std::vector<std::pair<uint64_t, std::string>> sizes = {
      {0, "0.0 MB"},
      {1536 * 1024, "1.5 MB"},
      {(uint64_t{1} << 30) - 1, "1024.0 MB"},
      {uint64_t{1} << 30, "1.00 GB"},
      {(uint64_t{3} << 29), "1.50 GB"},
      {UINT64_MAX, "17179869184.00 GB"},
  };
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(pcv0930::sizeText(bytes), text) << bytes;

  const std::vector<std::pair<double, std::string>> durations = {
      {-1, "计算中…"},     {0, "00:00"},        {0.5, "<1s"},         {1, "00:01"},
      {59.99, "00:59"},    {3599.9, "59:59"},   {3600, "01:00:00"},   {3725.9, "01:02:05"},
      {360000, "100:00:00"}, {std::nan(""), "--:--"}, {1e300, "--:--"},
  };
  for (const auto& [seconds, text] : durations) EXPECT_EQ(pcv0930::durationText(seconds), text) << seconds;
}

TEST(ListingTexts, CoverDirectoryFollowsTheCacheFolder) {
  {
    ScopedEnv cache("XDG_CACHE_HOME", "/tmp/cachehome");
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(pcv0930::coverDirectory(), "/tmp/cachehome/tessaline/1002");
  }
  {
    ScopedEnv cache("XDG_CACHE_HOME", std::nullopt);
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(pcv0930::coverDirectory(), "/home/someone/.cache/tessaline/1002");
  }
  {
    ScopedEnv cache("XDG_CACHE_HOME", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    EXPECT_EQ(pcv0930::coverDirectory(), "./.cache/tessaline/1002");
  }
}

TEST(MainPcvPath, SegmentsMapToAnExistingMainFile) {
  TempFolder temp;
  for (const char* name : {"take.pcv", "take_1.pcv", "take_2.pcv", "lone_2.pcv", "take_3.txt", "take_.pcv",
                           "take_1x.pcv", "dir.pcv", "video_3_0.pcv"}) {
    writeText(temp / name, "x");
  }
  fs::create_directories(temp / "dir_1.pcv");
  const auto in = [&temp](const char* name) { return (temp / name).string(); };
  const std::vector<std::pair<std::string, std::string>> cases{
      {in("take_1.pcv"), in("take.pcv")},     {in("take_2.pcv"), in("take.pcv")},
      {in("take.pcv"), in("take.pcv")},       {in("take_9.pcv"), in("take_9.pcv")},
      {in("lone_2.pcv"), in("lone_2.pcv")},   {in("take_3.txt"), in("take_3.txt")},
      {in("dir_1.pcv"), in("dir_1.pcv")},     {in("take_x.pcv"), in("take_x.pcv")},
      {in("take_.pcv"), in("take_.pcv")},     {in("take_1x.pcv"), in("take_1x.pcv")},
      {in("video_3_0.pcv"), in("video_3_0.pcv")},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(normalizeMainPcvPath(path), expected) << path;
}

}  // namespace
