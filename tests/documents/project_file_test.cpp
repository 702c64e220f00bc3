#include "project_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>

#include "test_support.h"

namespace {

using doctest::expectedFingerprint;
using doctest::readText;
using doctest::TempFolder;
using doctest::writeText;
using nlohmann::json;

json keyedTracks(const char* trackName, float value) {
  ProjectTracks tracks;
  findTrack(tracks, trackName)->keys[3] = {value, 0};
  return tracksToJson(tracks);
}

json version(json tracks) { return json{{"tracks", std::move(tracks)}, {"fps", 24}, {"total_frames", 100}}; }

TEST(ProjectFile, LocationAndMissingFile) {
  TempFolder folder;
  EXPECT_EQ(buildProjectPrefixFromPcv("/a/b/take.v2.pcv"), "take.v2");
  EXPECT_EQ(buildProjectPrefixFromPcv("take.pcv"), "take");

  pcv0930::ProjectFile file;
  ASSERT_TRUE(file.load(folder / "take.pcv"));  // the recording itself need not exist
  EXPECT_EQ(file.path, folder / "take_projects.json");
  EXPECT_EQ(file.root, json::object());
  EXPECT_TRUE(file.loadedText.empty());
  EXPECT_TRUE(file.versions().empty());

  std::vector<std::string> list;
  EXPECT_TRUE(scanProjectVersions(list, folder / "take.pcv"));
  EXPECT_EQ(list, std::vector<std::string>{"原始版本"});
  EXPECT_EQ(projectErrorText(), "");
}

TEST(ProjectFile, WriteIsByteExact) {
  TempFolder folder;
  pcv0930::ProjectFile file;
  ASSERT_TRUE(file.load(folder / "take.pcv"));
  file.root["b"] = {{"z", 1}, {"a", "版本 é"}, {"m", 2.5}};
  file.root["a"] = json::array({1, true});
  file.root["B"] = json::object();
  ASSERT_TRUE(file.write()) << file.error;
  const std::string expected =
      "{\n"
      "    \"B\": {},\n"
      "    \"a\": [\n"
      "        1,\n"
      "        true\n"
      "    ],\n"
      "    \"b\": {\n"
      "        \"a\": \"版本 é\",\n"
      "        \"m\": 2.5,\n"
      "        \"z\": 1\n"
      "    }\n"
      "}";
  EXPECT_EQ(readText(file.path), expected);
  EXPECT_EQ(file.loadedText, expected);

  file.root["c"] = 3;  // a second write compares against the text just written
  ASSERT_TRUE(file.write()) << file.error;
  pcv0930::ProjectFile reread;
  ASSERT_TRUE(reread.load(folder / "take.pcv"));
  EXPECT_EQ(reread.root, file.root);
  EXPECT_EQ(doctest::folderEntries(folder.path()),
            (std::vector<std::string>{".take_projects.json.lock", "take_projects.json"}));

  const std::string written = file.loadedText;
  file.root["d"] = std::string("\xff\xfe");  // not UTF-8: cannot be stored, nothing is written
  EXPECT_FALSE(file.write());
  EXPECT_EQ(file.error, "无法写入项目，请检查目录权限与剩余空间");
  EXPECT_EQ(readText(file.path), written);
}

TEST(ProjectFile, LoadFailures) {
  TempFolder folder;
  struct Case {
    const char* stem;
    const char* content;  // nullptr: a folder in place of the file
    const char* error;    // nullptr: the JSON library's message
  };
  const Case cases[] = {
      {"text", "not json", nullptr},
      {"array", "[1, 2]", "项目结构无效"},
      {"folder", nullptr, "项目读取失败"},
  };
  for (const Case& c : cases) {
    const auto projectPath = folder / (std::string(c.stem) + "_projects.json");
    if (c.content) {
      writeText(projectPath, c.content);
    } else {
      std::filesystem::create_directory(projectPath);
    }
    pcv0930::ProjectFile file;
    EXPECT_FALSE(file.load(folder / (std::string(c.stem) + ".pcv"))) << c.stem;
    if (c.error) {
      EXPECT_EQ(file.error, c.error);
    } else {
      EXPECT_NE(file.error.find("parse error"), std::string::npos) << file.error;
    }
    EXPECT_TRUE(file.versions().empty());
    file.root["x"] = version(json::object());
    const std::string before = file.error;
    EXPECT_FALSE(file.write());
    EXPECT_EQ(file.error, before);
    if (c.content) {
      EXPECT_EQ(readText(projectPath), c.content);
    }

    std::vector<std::string> list;
    EXPECT_FALSE(scanProjectVersions(list, folder / (std::string(c.stem) + ".pcv")));
    EXPECT_EQ(list, std::vector<std::string>{"原始版本"});
    EXPECT_EQ(projectErrorText(), file.error);
  }
  if (geteuid() != 0) {  // permissions do not stop root
    const auto projectPath = folder / "locked_projects.json";
    writeText(projectPath, "{}");
    chmod(projectPath.c_str(), 0);
    pcv0930::ProjectFile file;
    EXPECT_FALSE(file.load(folder / "locked.pcv"));
    EXPECT_EQ(file.error, "无法读取项目文件");
  }
}

TEST(ProjectFile, Validity) {
  struct Case {
    const char* entry;
    bool valid;
  };
  const Case cases[] = {
      {R"({"tracks": {}})", true},
      {R"({"tracks": {"fov": {"0": {"v": 1, "m": 4}, "2147483647": {"v": -1.5}}}, "fps": 24, "total_frames": 0})", true},
      {R"({"tracks": {"anything": {}}, "other": "kept"})", true},
      {R"({"tracks": {}, "fps": 24.0})", false},
      {R"({"tracks": {}, "total_frames": "9"})", false},
      {R"({"fps": 24})", false},
      {R"({"tracks": []})", false},
      {R"([])", false},
      {R"({"tracks": {"fov": []}})", false},
      {R"({"tracks": {"fov": {"-1": {"v": 1}}}})", false},
      {R"({"tracks": {"fov": {"7a": {"v": 1}}}})", false},
      {R"({"tracks": {"fov": {" 7": {"v": 1}}}})", false},
      {R"({"tracks": {"fov": {"2147483648": {"v": 1}}}})", false},
      {R"({"tracks": {"fov": {"1": 5}}})", false},
      {R"({"tracks": {"fov": {"1": {"m": 0}}}})", false},
      {R"({"tracks": {"fov": {"1": {"v": "1"}}}})", false},
      {R"({"tracks": {"fov": {"1": {"v": 1, "m": 5}}}})", false},
      {R"({"tracks": {"fov": {"1": {"v": 1, "m": -1}}}})", false},
      {R"({"tracks": {"fov": {"1": {"v": 1, "m": "0"}}}})", false},
  };
  for (const Case& c : cases) EXPECT_EQ(pcv0930::validVersion(json::parse(c.entry)), c.valid) << c.entry;
}

TEST(ProjectFile, ListingOrderTitlesAndNotes) {
  TempFolder folder;
  const json valid = version(json::object());
  json root = {{"take_2", valid},         {"take_10", valid}, {"take_3_5-90", valid}, {"take_3", valid},
               {"原始版本", valid},       {"notes", valid},   {"take_x", valid},      {"take_4", {{"fps", 24}}},
               {"take_1", {{"tracks", {}}, {"fps", 24.0}}}};
  root["take_2"]["editor_0930"] = {{"note", "第二"}};
  root["take_3"]["editor_0930"] = {{"note", 5}};
  writeText(folder / "take_projects.json", root.dump());
  pcv0930::ProjectFile file;
  ASSERT_TRUE(file.load(folder / "take.pcv"));
  EXPECT_EQ(file.versions(),
            (std::vector<std::string>{"take_10", "take_3_5-90", "take_3", "take_2", "take_x", "notes"}));
  EXPECT_EQ(file.note("take_2"), "第二");
  EXPECT_EQ(file.note("take_3"), "");
  EXPECT_EQ(file.note("take_10"), "");
  EXPECT_EQ(file.note("missing"), "");

  struct Title {
    const char* name;
    const char* title;
  };
  const Title titles[] = {{"take_12_0-99", "版本 12"}, {"take_3", "版本 3"}, {"take_007", "版本 7"},
                          {"notes", "notes"},          {"take_x1", "take_x1"}, {"原始版本", "原始版本"},
                          {"other_4", "other_4"},       {"take", "take"}};
  for (const Title& t : titles) EXPECT_EQ(pcv0930::versionTitle(t.name, "take"), t.title);
}

TEST(ProjectFile, SavedCalendarTime) {
  const char* oldZone = getenv("TZ");
  const std::string saved = oldZone ? oldZone : "";
  setenv("TZ", "XST-8", 1);  // eight hours east of UTC, no time zone data needed
  tzset();
  struct Case {
    const char* entry;
    const char* shown;
  };
  const Case cases[] = {
      {R"({"timestamp": 0, "editor_0930": {"last_successful_export": {"completed_at": "2024-05-01T08:00:00Z"}}})",
       "2024-05-01 16:00:00"},
      {R"({"timestamp": 1714550400.9})", "2024-05-01 16:00:00"},
      {R"({"timestamp": 0.5, "editor_0930": {"last_successful_export": {"completed_at": 1714550400}}})",
       "2024-05-01 16:00:00"},
      {R"({"timestamp": 253402300800, "editor_0930": {"last_successful_export": {"completed_at": 60}}})",
       "1970-01-01 08:01:00"},
      {R"({"timestamp": "2024-05-01T08:00:00Z"})", "2024-05-01 16:00:00"},
      {R"({"timestamp": "2024-05-01T08:00:00Zx"})", "保存时间未记录"},
      {R"({"timestamp": "2024-05-01 08:00:00"})", "保存时间未记录"},
      {R"({"timestamp": -5, "editor_0930": {"last_successful_export": 3}})", "保存时间未记录"},
      {R"({"timestamp": true})", "保存时间未记录"},
      {R"({})", "保存时间未记录"},
      {R"([])", "保存时间未记录"},
  };
  for (const Case& c : cases) EXPECT_EQ(pcv0930::savedCalendarTime(json::parse(c.entry)), c.shown) << c.entry;
  if (oldZone) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(ProjectFile, Fingerprint) {
  TempFolder folder;
  EXPECT_EQ(pcv0930::fingerprint({}), "14650fb0739d0383");
  const std::string first = (folder / "take.pcv").string();
  const std::string second = (folder / "take_1.pcv").string();
  writeText(first, "0123456789");
  writeText(second, "abc");
  const std::vector<std::string> files = {first, (folder.path() / "." / "take_1.pcv").string()};
  const std::string original = pcv0930::fingerprint(files);
  EXPECT_EQ(original, expectedFingerprint({first, second}));
  EXPECT_EQ(pcv0930::fingerprint({first}), expectedFingerprint({first}));
  EXPECT_NE(pcv0930::fingerprint({second, first}), original);

  struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, second.c_str(), times, 0), 0);
  const std::string touched = pcv0930::fingerprint(files);
  EXPECT_NE(touched, original);
  EXPECT_EQ(touched, expectedFingerprint({first, second}));

  writeText(second, "abcd");
  ASSERT_EQ(utimensat(AT_FDCWD, second.c_str(), times, 0), 0);
  EXPECT_NE(pcv0930::fingerprint(files), touched);  // resized only

  std::filesystem::rename(second, folder / "take_2.pcv");
  EXPECT_NE(pcv0930::fingerprint({first, (folder / "take_2.pcv").string()}), touched);
  EXPECT_FALSE(pcv0930::fingerprint({second}).empty());  // a missing file still hashes
}

json entryWithExport(const json& record) { return json{{"tracks", {}}, {"editor_0930", {{"last_successful_export", record}}}}; }

TEST(ProjectFile, ExportRecordAndRestoredRange) {
  pcv0930::MediaItem item;
  item.fingerprint = "abc123";
  const json good = {{"start_frame", 10}, {"end_frame", 20}, {"frame_index_base", 0},
                     {"range_inclusive", true}, {"source_fingerprint", "abc123"}};
  json record;
  EXPECT_TRUE(pcv0930::exportRecord(entryWithExport(good), item, record));
  EXPECT_EQ(record, good);

  struct Case {
    const char* member;
    json value;  // null: member removed
  };
  const Case spoiled[] = {
      {"start_frame", nullptr}, {"start_frame", -1},      {"start_frame", 21},       {"end_frame", "20"},
      {"frame_index_base", nullptr}, {"frame_index_base", 1}, {"range_inclusive", nullptr},
      {"range_inclusive", false}, {"range_inclusive", 1}, {"source_fingerprint", "abc124"},
      {"source_fingerprint", nullptr},
  };
  for (const Case& c : spoiled) {
    json changed = good;
    if (c.value.is_null()) {
      changed.erase(c.member);
    } else {
      changed[c.member] = c.value;
    }
    EXPECT_FALSE(pcv0930::exportRecord(entryWithExport(changed), item, record)) << c.member << " " << c.value;
  }
  EXPECT_FALSE(pcv0930::exportRecord(json{{"editor_0930", 5}}, item, record));
  EXPECT_FALSE(pcv0930::exportRecord(json::array(), item, record));

  int start = -1, end = -1;
  EXPECT_TRUE(pcv0930::restoreExportSelection(entryWithExport(good), item, 100, start, end));
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(10, 20));
  EXPECT_FALSE(pcv0930::restoreExportSelection(entryWithExport(good), item, 20, start, end));  // end beyond
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(0, 19));
  EXPECT_FALSE(pcv0930::restoreExportSelection(entryWithExport(good), item, 0, start, end));
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(0, 0));
  json whole = good;
  whole["start_frame"] = 0;
  EXPECT_FALSE(pcv0930::restoreExportSelection(entryWithExport(whole), item, 21, start, end));
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(0, 20));
  item.fingerprint = "changed";  // segment files changed since the export
  EXPECT_FALSE(pcv0930::restoreExportSelection(entryWithExport(good), item, 100, start, end));
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(0, 99));
}

TEST(ProjectFile, CanonicalFormAndMatching) {
  const json canonical = projectParametersForComparison(json{{"tracks", {{"fov", {{"1", {{"v", 2}}}}}, {"extra", {{"1", {}}}}}},
                                                              {"fps", 30}, {"total_frames", 9}, {"timestamp", 5}});
  ASSERT_EQ(canonical["tracks"].size(), kTrackCount);
  EXPECT_EQ(canonical["fps"], 24);
  EXPECT_EQ(canonical["tracks"]["fov"], (json{{"1", {{"v", 2}}}}));
  EXPECT_EQ(canonical["tracks"]["cam_x"], json::object());
  EXPECT_FALSE(canonical["tracks"].contains("extra"));
  EXPECT_EQ(projectParametersForComparison(json{{"tracks", {{"fov", {{"1", {{"v", 2.0}}}}}}}}), canonical);

  json allOnes = version(keyedTracks("fov", 2.0f));
  allOnes["tracks"]["sampling_ratio"] = {{"0", {{"v", 1}, {"m", 3}}}, {"8", {{"v", 1.0}}}};
  json notOne = allOnes;
  notOne["tracks"]["sampling_ratio"]["9"] = {{"v", 0.5}};
  EXPECT_EQ(projectParametersForComparison(allOnes), projectParametersForComparison(version(keyedTracks("fov", 2.0f))));
  EXPECT_NE(projectParametersForComparison(notOne), projectParametersForComparison(allOnes));

  TempFolder folder;
  json root = {{"take_1", version(keyedTracks("fov", 2.0f))},
               {"take_2", version(keyedTracks("fov", 2.0f))},
               {"take_3", version(keyedTracks("cam_x", 1.0f))},
               {"原始版本", version(json::object())}};
  root["take_2"]["editor_0930"] = {{"note", "好"}};
  root["原始版本"]["editor_0930"] = {{"note", "原"}};
  writeText(folder / "take_projects.json", root.dump());
  pcv0930::ProjectFile file;
  ASSERT_TRUE(file.load(folder / "take.pcv"));

  const json fov2 = version(keyedTracks("fov", 2.0f));
  EXPECT_EQ(matchingProjectVersion(file, allOnes, "", std::nullopt), "take_1");  // first in key order
  EXPECT_EQ(matchingProjectVersion(file, fov2, "take_2", std::nullopt), "take_2");
  EXPECT_EQ(matchingProjectVersion(file, fov2, "take_3", std::nullopt), "take_1");
  EXPECT_EQ(matchingProjectVersion(file, fov2, "", std::string("好")), "");  // preferred's note differs
  EXPECT_EQ(matchingProjectVersion(file, fov2, "take_2", std::string("好")), "take_2");
  EXPECT_EQ(matchingProjectVersion(file, fov2, "take_3", std::string("")), "take_1");
  EXPECT_EQ(matchingProjectVersion(file, version(keyedTracks("fov", 3.0f)), "", std::nullopt), "");

  const json noKeys = version(tracksToJson(ProjectTracks{}));
  EXPECT_EQ(matchingProjectVersion(file, noKeys, "take_1", std::nullopt), "原始版本");
  EXPECT_EQ(matchingProjectVersion(file, json{{"tracks", {}}}, "", std::nullopt), "原始版本");
  EXPECT_EQ(matchingProjectVersion(file, noKeys, "", std::string("")), "");
  EXPECT_EQ(matchingProjectVersion(file, noKeys, "原始版本", std::string("原")), "原始版本");
}

class SaveProjectVersion : public ::testing::Test {
 protected:
  SaveProjectResult save(const ProjectTracks& tracks, const std::string& suffix = "",
                         const std::optional<std::string>& note = std::nullopt, const std::string& preferred = "") {
    return saveProjectVersion(pcv, "take", tracks, "/out/video", "/out/png", 240, parametersText, versionName, suffix,
                              preferred, note);
  }
  json fileRoot() const { return json::parse(readText(folder / "take_projects.json")); }

  TempFolder folder;
  std::filesystem::path pcv = folder / "take.pcv";
  std::string parametersText;
  std::string versionName = "stale";
};

TEST_F(SaveProjectVersion, FirstSaveThenUnchanged) {
  ProjectTracks tracks;
  tracks.fov.keys[5] = {30.0f, kInterpolationEaseIn};
  const auto before = std::time(nullptr);
  ASSERT_EQ(save(tracks), kSaveWritten) << projectErrorText();
  EXPECT_EQ(versionName, "take_1");
  const json root = fileRoot();
  ASSERT_EQ(root.size(), 1u);
  const json& entry = root["take_1"];
  EXPECT_EQ(entry["total_frames"], 240);
  EXPECT_EQ(entry["fps"], 24);
  EXPECT_EQ(entry["export_video_dir"], "/out/video");
  EXPECT_EQ(entry["export_png_dir"], "/out/png");
  EXPECT_EQ(entry["tracks"], tracksToJson(tracks));
  EXPECT_GE(entry["timestamp"].get<int64_t>(), before);
  EXPECT_FALSE(entry.contains("editor_0930"));
  EXPECT_EQ(json::parse(parametersText), entry);

  const std::string bytes = readText(folder / "take_projects.json");
  EXPECT_EQ(save(tracks), kSaveUnchanged);
  EXPECT_EQ(versionName, "take_1");
  EXPECT_EQ(readText(folder / "take_projects.json"), bytes);

  ProjectTracks empty;
  EXPECT_EQ(save(empty), kSaveUnchanged);
  EXPECT_EQ(versionName, "原始版本");
}

TEST_F(SaveProjectVersion, UnchangedFromLoadedParameters) {
  ProjectTracks tracks;
  tracks.camZ.keys[0] = {4.0f, 0};
  parametersText = version(tracksToJson(tracks)).dump();  // the edit as loaded, its version since deleted
  EXPECT_EQ(save(tracks), kSaveUnchanged);
  EXPECT_EQ(versionName, "");
  EXPECT_FALSE(std::filesystem::exists(folder / "take_projects.json"));

  parametersText = "{broken";
  EXPECT_EQ(save(tracks), kSaveWritten);
  EXPECT_EQ(versionName, "take_1");
}

TEST_F(SaveProjectVersion, NumberingSuffixAndNote) {
  const json valid = version(keyedTracks("fov", 1.0f));
  writeText(folder / "take_projects.json",
            json{{"take_2", valid}, {"take_10", valid}, {"take_3_5-90", valid}, {"take_x", valid}, {"take_40x", 1}}
                .dump());
  ProjectTracks tracks;
  tracks.camX.keys[1] = {0.5f, 0};
  ASSERT_EQ(save(tracks), kSaveWritten);
  EXPECT_EQ(versionName, "take_41");  // invalid entries keep their numbers too

  tracks.camX.keys[2] = {0.7f, 0};
  ASSERT_EQ(save(tracks, "_3-9"), kSaveWritten);
  EXPECT_EQ(versionName, "take_42_3-9");

  tracks.camX.keys[1] = {0.5f, 0};
  ASSERT_EQ(save(tracks, "", std::string("夜景 \"quoted\""), "take_2"), kSaveWritten);
  EXPECT_EQ(versionName, "take_43");
  const json root = fileRoot();
  const json& editor = root["take_43"]["editor_0930"];
  EXPECT_EQ(editor["schema_version"], 1);
  EXPECT_EQ(editor["note"], "夜景 \"quoted\"");
  EXPECT_EQ(editor["note_updated_at"], root["take_43"]["timestamp"]);
  EXPECT_NE(readText(folder / "take_projects.json").find("夜景"), std::string::npos);  // UTF-8, not escaped

  pcv0930::ProjectFile file;
  ASSERT_TRUE(file.load(pcv));
  EXPECT_EQ(file.versions().front(), "take_43");
  EXPECT_EQ(file.root["take_40x"], 1);  // untouched
}

TEST_F(SaveProjectVersion, Failures) {
  writeText(folder / "take_projects.json", "[]");
  ProjectTracks tracks;
  tracks.camX.keys[1] = {0.5f, 0};
  EXPECT_EQ(save(tracks), kSaveFailed);
  EXPECT_EQ(projectErrorText(), "项目结构无效");
  EXPECT_EQ(versionName, "");

  writeText(folder / "take_projects.json", json{{"take_18446744073709551615", 1}}.dump());
  EXPECT_EQ(save(tracks), kSaveFailed);
  EXPECT_EQ(projectErrorText(), "版本编号已用尽");

  std::filesystem::remove(folder / "take_projects.json");
  std::filesystem::create_directory(folder / ("take_projects.json.0930-" + std::to_string(getpid()) + ".tmp"));
  EXPECT_EQ(save(tracks), kSaveFailed);  // the temporary file cannot be created
  EXPECT_EQ(projectErrorText(), "无法写入项目，请检查目录权限与剩余空间");
  EXPECT_EQ(versionName, "");
  EXPECT_FALSE(std::filesystem::exists(folder / "take_projects.json"));
}

}  // namespace
