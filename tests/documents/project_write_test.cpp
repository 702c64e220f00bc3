// The write protocol against real second processes: the conflict checks, and several writers
// saving into one project file at once.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "project_file.h"
#include "test_support.h"
#include "versioned_write.h"

namespace {

using doctest::folderEntries;
using doctest::readText;
using doctest::runHelper;
using doctest::TempFolder;
using doctest::writeText;
using nlohmann::json;

const std::string kOtherProgramText = R"({"edited": "elsewhere"})";

TEST(ProjectWrite, ChangeBetweenLoadAndWriteIsRefused) {
  TempFolder folder;
  writeText(folder / "take_projects.json", "{}");
  pcv0930::ProjectFile file;
  ASSERT_TRUE(file.load(folder / "take.pcv"));
  ASSERT_EQ(runHelper({"rewrite", (folder / "take_projects.json").string(), kOtherProgramText}), 0);

  file.root["take_1"] = {{"tracks", json::object()}};
  EXPECT_FALSE(file.write());
  EXPECT_EQ(file.error, "项目已被其他程序修改，请重新读取后保存");
  EXPECT_EQ(readText(folder / "take_projects.json"), kOtherProgramText);
  EXPECT_EQ(file.loadedText, "{}");
  EXPECT_FALSE(file.write());  // refused from now on
  EXPECT_EQ(folderEntries(folder.path()), (std::vector<std::string>{".take_projects.json.lock", "take_projects.json"}));
}

TEST(ProjectWrite, ChangeJustBeforeTheRenameIsRefused) {
  TempFolder folder;
  const auto target = folder / "take_projects.json";
  const auto temporary = folder / ("take_projects.json.0930-" + std::to_string(getpid()) + ".tmp");
  std::string error;
  std::string seenTemporary;
  ASSERT_TRUE(pcv0930::writeVersionedFile(target, "", "{\"a\": 1}", error, [&] { seenTemporary = readText(temporary); }))
      << error;
  EXPECT_EQ(seenTemporary, "{\"a\": 1}");
  EXPECT_EQ(readText(target), "{\"a\": 1}");

  // A program that knows nothing of the lock writes while the temporary file is complete.
  EXPECT_FALSE(pcv0930::writeVersionedFile(target, "{\"a\": 1}", "{\"a\": 2}", error, [&] {
    EXPECT_EQ(runHelper({"rewrite", target.string(), kOtherProgramText}), 0);
  }));
  EXPECT_EQ(error, "项目已被其他程序修改，未覆盖原文件");
  EXPECT_EQ(readText(target), kOtherProgramText);
  EXPECT_EQ(folderEntries(folder.path()), (std::vector<std::string>{".take_projects.json.lock", "take_projects.json"}));

  // A file that appears where there was none is a change as well.
  const auto fresh = folder / "fresh.json";
  EXPECT_FALSE(pcv0930::writeVersionedFile(fresh, "", "{}", error, [&] { writeText(fresh, "x"); }));
  EXPECT_EQ(error, "项目已被其他程序修改，未覆盖原文件");
  EXPECT_EQ(readText(fresh), "x");
}

TEST(ProjectWrite, UnwritableFolderFailsCleanly) {
  TempFolder folder;
  std::string error;
  EXPECT_FALSE(pcv0930::writeVersionedFile(folder / "missing" / "take_projects.json", "", "{}", error));
  EXPECT_EQ(error, "无法写入项目，请检查目录权限与剩余空间");
  EXPECT_TRUE(folderEntries(folder.path()).empty());
}

// Four processes save versions into one project file as fast as they can. Every save either
// succeeds and is in the final file, or reports the conflict; readers never see a broken file.
TEST(ProjectWrite, ConcurrentSavesLoseNothing) {
  TempFolder folder;
  const auto pcv = folder / "take.pcv";
  const auto projectPath = folder / "take_projects.json";
  constexpr int kWorkers = 4;

  std::atomic<bool> running{true};
  std::atomic<int> reads{0};
  std::vector<std::string> brokenTexts;
  std::thread reader([&] {
    while (running) {
      std::string text;
      if (pcv0930::readWholeFile(projectPath, text) != pcv0930::ReadStatus::Ok) continue;
      ++reads;
      if (json::parse(text, nullptr, false).is_discarded() && brokenTexts.size() < 3) brokenTexts.push_back(text);
    }
  });
  std::vector<pid_t> children;
  for (int worker = 0; worker < kWorkers; ++worker) {
    children.push_back(doctest::startHelper({"stress", pcv.string(), std::to_string(worker), "3"},
                                            (folder / ("worker" + std::to_string(worker) + ".log")).string()));
    ASSERT_GT(children.back(), 0);
  }
  for (const pid_t child : children) EXPECT_EQ(doctest::waitForHelper(child), 0);
  running = false;
  reader.join();
  EXPECT_TRUE(brokenTexts.empty()) << brokenTexts.front();
  EXPECT_GT(reads.load(), 0);

  const json root = json::parse(readText(projectPath));
  std::map<std::string, int> saved;  // version name -> the unique value its worker keyed
  int conflicts = 0;
  for (int worker = 0; worker < kWorkers; ++worker) {
    std::istringstream log(readText(folder / ("worker" + std::to_string(worker) + ".log")));
    std::string line;
    while (std::getline(log, line)) {
      std::istringstream fields(line);
      std::string kind, name;
      int value = 0;
      fields >> kind;
      if (kind == "ok") {
        fields >> name >> value;
        EXPECT_TRUE(saved.emplace(name, value).second) << "two saves claimed " << name;
      } else {
        EXPECT_EQ(line, "error 项目已被其他程序修改，请重新读取后保存");
        ++conflicts;
      }
    }
  }
  ASSERT_GT(saved.size(), static_cast<size_t>(kWorkers));
  EXPECT_EQ(root.size(), saved.size());
  for (const auto& [name, value] : saved) {
    ASSERT_TRUE(root.contains(name)) << name << " was reported saved but is lost";
    ProjectTracks tracks;
    jsonToTracks(root[name]["tracks"], tracks);
    EXPECT_EQ(tracks.pointSize.evaluate(0, -1.0f), static_cast<float>(value)) << name;
  }
  pcv0930::ProjectFile file;
  ASSERT_TRUE(file.load(pcv));
  const std::vector<std::string> versions = file.versions();
  EXPECT_EQ(versions.front(), "take_" + std::to_string(saved.size()));  // numbers are never reused
  std::set<std::string> leftovers;
  for (const std::string& entry : folderEntries(folder.path())) {
    if (entry.find(".tmp") != std::string::npos) leftovers.insert(entry);
  }
  EXPECT_TRUE(leftovers.empty()) << *leftovers.begin();
  RecordProperty("saves", static_cast<int>(saved.size()));
  RecordProperty("conflicts", conflicts);
}

}  // namespace
