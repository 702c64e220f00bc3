#include <gtest/gtest.h>

#include <set>

#include "command_line.h"
#include "font.h"
#include "test_support.h"
#include "tool_path.h"
#include "widgets.h"

namespace tessaline {
namespace {

struct CommandLineCase {
  std::vector<std::string> arguments;
  RunMode mode;
  std::string modeArgument;
  std::string pendingOpenPath;
};

TEST(CommandLine, ModesNeedExactlyOneArgumentAfterTheFlag) {
  const std::vector<CommandLineCase> cases{
      {{}, RunMode::Interactive, "", ""},
      {{"--inspect-media", "/data/take.pcv"}, RunMode::InspectMedia, "/data/take.pcv", ""},
      {{"--media-export-job", "/jobs/1.json"}, RunMode::ExportJob, "/jobs/1.json", ""},
      {{"--inspect-media"}, RunMode::Interactive, "", "--inspect-media"},
      {{"--inspect-media", "a.pcv", "b.pcv"}, RunMode::Interactive, "", "--inspect-media"},
      {{"--media-export-job"}, RunMode::Interactive, "", "--media-export-job"},
      {{"--inspect-mediaX", "a.pcv"}, RunMode::Interactive, "", "--inspect-mediaX"},
      {{"--inspect", "a.pcv"}, RunMode::Interactive, "", "--inspect"},
      {{"/data/take.pcv", "ignored"}, RunMode::Interactive, "", "/data/take.pcv"},
      {{"-psn_0_12345"}, RunMode::Interactive, "", ""},
      {{"-psn_0_1", "/data/take.pcv"}, RunMode::Interactive, "", ""},
      {{"-ps"}, RunMode::Interactive, "", "-ps"},
  };
  for (const CommandLineCase& c : cases) {
    const CommandLine parsed = parseCommandLine(c.arguments);
    const std::string label = c.arguments.empty() ? "(none)" : c.arguments.front();
    EXPECT_EQ(parsed.mode, c.mode) << label;
    EXPECT_EQ(parsed.modeArgument, c.modeArgument) << label;
    EXPECT_EQ(parsed.pendingOpenPath, c.pendingOpenPath) << label;
  }
}

TEST(ToolSearchPath, AppendsMissingFoldersBySubstringTest) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"", "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin"},
      {"/usr/bin:/bin", "/usr/bin:/bin:/opt/homebrew/bin:/usr/local/bin"},
      {"/usr/local/bin/extra", "/usr/local/bin/extra:/opt/homebrew/bin:/usr/bin"},
      {"/home/u/bin", "/home/u/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin"},
      {"/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin", "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin"},
  };
  for (const auto& [current, expected] : cases) EXPECT_EQ(extendedToolSearchPath(current), expected) << current;
}

TEST(ToolSearchPath, AppliedToTheEnvironmentOncePerProcess) {
  {
    apptest::EnvOverride unsetPath("PATH", std::nullopt);
    extendToolSearchPathOnce();
    EXPECT_STREQ(std::getenv("PATH"), "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin");
  }
  apptest::EnvOverride path("PATH", std::string("/only/here"));
  extendToolSearchPathOnce();
  EXPECT_STREQ(std::getenv("PATH"), "/only/here");
}

TEST(Font, FirstExistingCandidateInOrder) {
  const std::vector<std::string>& candidates = fontCandidates();
  ASSERT_EQ(candidates.size(), 7u);
  EXPECT_EQ(candidates.front(), "/System/Library/Fonts/PingFang.ttc");
  const auto existing = [](std::set<std::string> files) {
    return [files](const std::string& path) { return files.count(path) > 0; };
  };
  EXPECT_EQ(chooseFont(candidates, existing({})), "");
  EXPECT_EQ(chooseFont(candidates, existing({"/System/Library/Fonts/Helvetica.ttc",
                                             "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"})),
            "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc");
  EXPECT_EQ(chooseFont(candidates, existing({"/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf",
                                             "/System/Library/Fonts/Hiragino Sans GB.ttc"})),
            "/System/Library/Fonts/Hiragino Sans GB.ttc");
  EXPECT_EQ(chooseFont(candidates, existing({"/System/Library/Fonts/Helvetica.ttc"})),
            "/System/Library/Fonts/Helvetica.ttc");
}

TEST(KeyboardNudge, ArrowsCountOnlyWithoutTextInputOrModifiers) {
  struct Case {
    mediaui::NudgeInput input;
    int expected;
  };
  const std::vector<Case> cases{
      {{false, false, true, false}, 1},  {{false, false, false, true}, -1}, {{false, false, true, true}, 0},
      {{false, false, false, false}, 0}, {{true, false, true, false}, 0},   {{false, true, false, true}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(mediaui::nudgeDirection(c.input), c.expected);
}

}  // namespace
}  // namespace tessaline
