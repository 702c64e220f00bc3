#include <gtest/gtest.h>

#include <algorithm>

#include "settings.h"
#include "test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;

TEST(SettingsFolder, XdgConfigHomeThenHomeThenNone) {
  apptest::TempFolder home;
  apptest::TempFolder xdg;
  {
    apptest::EnvOverride homeVar("HOME", home.path());
    apptest::EnvOverride xdgVar("XDG_CONFIG_HOME", xdg.path());
    const std::string folder = prepareSettingsFolder();
    EXPECT_EQ(folder, xdg / "tessaline/1002");
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(layoutFilePath(folder), xdg / "tessaline/1002/imgui.ini");
  }
  {
    apptest::EnvOverride homeVar("HOME", home.path());
    apptest::EnvOverride xdgVar("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(prepareSettingsFolder(), home / ".config/tessaline/1002");
    EXPECT_TRUE(fs::is_directory(home / ".config/tessaline/1002"));
  }
  {
    apptest::EnvOverride homeVar("HOME", std::nullopt);
    apptest::EnvOverride xdgVar("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(prepareSettingsFolder(), "");
    EXPECT_EQ(layoutFilePath(""), "");
  }
}

TEST(SettingsFolder, UncreatableFolderMeansNoLayoutFile) {
  apptest::TempFolder temp;
  apptest::writeText(temp / "not-a-folder", "x");
  apptest::EnvOverride xdgVar("XDG_CONFIG_HOME", temp / "not-a-folder");
  EXPECT_EQ(prepareSettingsFolder(), "");
  // The recent files still get their path; writing there just fails later.
  EXPECT_EQ(recentFilesStorePath(), temp / "not-a-folder/tessaline/1002/recent.json");
}

TEST(RecentFilesLocation, SettingsFolderOrRelativeFallback) {
  apptest::TempFolder home;
  {
    apptest::EnvOverride homeVar("HOME", home.path());
    apptest::EnvOverride xdgVar("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(recentFilesStorePath(), home / ".config/tessaline/1002/recent.json");
    EXPECT_TRUE(fs::is_directory(home / ".config/tessaline/1002"));
    EXPECT_EQ(legacyRecentFilesPath(), home / ".pcv_editor_recent.json");
  }
  apptest::EnvOverride homeVar("HOME", std::nullopt);
  apptest::EnvOverride xdgVar("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(recentFilesStorePath(), ".pcv_editor_recent.json");
  EXPECT_EQ(legacyRecentFilesPath(), "");
}

TEST(RecentFiles, ReadKeepsNonEmptyStringsOfAnArray) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases{
      {R"(["/a.pcv", "", "/b.pcp", 3, null, ["/x"], "/c.pcv"])", {"/a.pcv", "/b.pcp", "/c.pcv"}},
      {R"({"recent": ["/a.pcv"]})", {}},
      {R"([1, 2, 3])", {}},
      {R"([])", {}},
      {R"(["/a.pcv", )", {}},
      {"", {}},
      {R"(["/中文/拍摄.pcv"])", {"/中文/拍摄.pcv"}},
  };
  apptest::TempFolder temp;
  for (const auto& [document, expected] : cases) {
    apptest::writeText(temp / "recent.json", document);
    RecentFiles recent(temp / "recent.json", "");
    recent.read();
    EXPECT_EQ(recent.entries(), expected) << document;
  }
}

TEST(RecentFiles, ReadAppliesNoLimit) {
  apptest::TempFolder temp;
  std::string document = "[";
  for (int i = 0; i < 20; ++i) document += (i ? ",\"/f" : "\"/f") + std::to_string(i) + "\"";
  apptest::writeText(temp / "recent.json", document + "]");
  RecentFiles recent(temp / "recent.json", "");
  recent.read();
  EXPECT_EQ(recent.entries().size(), 20u);
}

TEST(RecentFiles, LegacyFileIsReadOnlyWhenTheStoreCannotBeOpened) {
  apptest::TempFolder temp;
  const std::string store = temp / "recent.json";
  const std::string legacy = temp / ".pcv_editor_recent.json";
  apptest::writeText(legacy, R"(["/old.pcv"])");

  RecentFiles fromLegacy(store, legacy);
  fromLegacy.read();
  EXPECT_EQ(fromLegacy.entries(), std::vector<std::string>{"/old.pcv"});

  fromLegacy.remember("/new.pcv");
  EXPECT_EQ(apptest::readText(legacy), R"(["/old.pcv"])");
  RecentFiles fromStore(store, legacy);
  fromStore.read();
  EXPECT_EQ(fromStore.entries(), (std::vector<std::string>{"/new.pcv", "/old.pcv"}));

  // A store that opens but is malformed does not fall back.
  apptest::writeText(store, "{");
  fromStore.read();
  EXPECT_TRUE(fromStore.entries().empty());
}

TEST(RecentFiles, RememberMovesToFrontAndKeepsTwelve) {
  apptest::TempFolder temp;
  const std::string store = temp / "recent.json";
  RecentFiles recent(store, "");
  recent.remember("");
  EXPECT_FALSE(fs::exists(store));

  for (int i = 1; i <= 12; ++i) recent.remember("/f" + std::to_string(i));
  ASSERT_EQ(recent.entries().size(), 12u);
  recent.remember("/f5");
  EXPECT_EQ(recent.entries().size(), 12u);
  EXPECT_EQ(recent.entries()[0], "/f5");
  EXPECT_EQ(recent.entries()[1], "/f12");
  EXPECT_EQ(std::count(recent.entries().begin(), recent.entries().end(), "/f5"), 1);

  recent.remember("/f13");
  EXPECT_EQ(recent.entries().size(), 12u);
  EXPECT_EQ(recent.entries()[0], "/f13");
  EXPECT_EQ(recent.entries().back(), "/f2");  // "/f1", the oldest, is gone

  RecentFiles reread(store, "");
  reread.read();
  EXPECT_EQ(reread.entries(), recent.entries());
}

TEST(RecentFiles, WrittenAsIndentedUtf8) {
  apptest::TempFolder temp;
  const std::string store = temp / "recent.json";
  RecentFiles recent(store, "");
  recent.remember("/b.pcv");
  recent.remember("/素材/拍摄.pcv");
  EXPECT_EQ(apptest::readText(store), "[\n  \"/素材/拍摄.pcv\",\n  \"/b.pcv\"\n]");
}

TEST(RecentFiles, UnwritableStoreStillUpdatesTheList) {
  apptest::TempFolder temp;
  RecentFiles recent(temp / "missing-folder/recent.json", "");
  recent.remember("/a.pcv");
  recent.remember("/b.pcv");
  EXPECT_EQ(recent.entries(), (std::vector<std::string>{"/b.pcv", "/a.pcv"}));
  EXPECT_FALSE(fs::exists(temp / "missing-folder"));
}

TEST(RecentFiles, PathThatIsNotUtf8DoesNotBreakTheWriter) {
  apptest::TempFolder temp;
  const std::string store = temp / "recent.json";
  RecentFiles recent(store, "");
  recent.remember("/a.pcv");
  const std::string latin1 = "/caf\xe9.pcv";
  EXPECT_NO_THROW(recent.remember(latin1));
  EXPECT_EQ(recent.entries().front(), latin1);
  RecentFiles reread(store, "");
  reread.read();
  ASSERT_EQ(reread.entries().size(), 2u);
  EXPECT_EQ(reread.entries()[1], "/a.pcv");
}

}  // namespace
}  // namespace tessaline
