#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "platform_paths.h"
#include "platform_test_support.h"

namespace {

using platform_test::ScopedEnv;
using Value = std::optional<std::string>;

struct PathCase {
  const char* name;
  Value home, xdgConfig, xdgCache;
  std::string settings, cache, homeFolder;
};

TEST(PlatformPaths, FollowXdgRulesWithHomeDefaults) {
  const std::vector<PathCase> cases = {
      {"xdg unset", "/home/u", std::nullopt, std::nullopt,
       "/home/u/.config/tessaline/1002", "/home/u/.cache/tessaline/1002", "/home/u"},
      {"xdg set", "/home/u", "/cfg", "/var/cache/u",
       "/cfg/tessaline/1002", "/var/cache/u/tessaline/1002", "/home/u"},
      {"xdg empty", "/home/u", "", "",
       "/home/u/.config/tessaline/1002", "/home/u/.cache/tessaline/1002", "/home/u"},
      {"xdg relative", "/home/u", "cfg", "./cache",
       "/home/u/.config/tessaline/1002", "/home/u/.cache/tessaline/1002", "/home/u"},
      {"trailing slashes", "/home/u/", "/cfg/", "/",
       "/cfg/tessaline/1002", "/tessaline/1002", "/home/u/"},
      {"home unset, xdg set", std::nullopt, "/cfg", "/c",
       "/cfg/tessaline/1002", "/c/tessaline/1002", ""},
      {"home unset, xdg unset", std::nullopt, std::nullopt, std::nullopt, "", "", ""},
      {"home empty, xdg relative", "", "cfg", "cache", "", "", ""},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv home("HOME", c.home);
    ScopedEnv config("XDG_CONFIG_HOME", c.xdgConfig);
    ScopedEnv cache("XDG_CACHE_HOME", c.xdgCache);
    EXPECT_EQ(platform::settingsFolder(), c.settings);
    EXPECT_EQ(platform::cacheFolder(), c.cache);
    EXPECT_EQ(platform::homeFolder(), c.homeFolder);
  }
}

TEST(PlatformPaths, ExecutablePathIsThisTestProgram) {
  const std::string path = platform::executablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(std::filesystem::path(path).filename(), "platform_tests");
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
}

}  // namespace
