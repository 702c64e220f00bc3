#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "macos_utils.h"
#include "platform_test_support.h"

namespace {

using platform_test::ScopedEnv;
using platform_test::TempFolder;

// A stand-in dialog tool on an otherwise empty PATH: it records its arguments, one a line, then
// prints the prepared answer and exits with the prepared status.
class FakeDialogTool {
 public:
  FakeDialogTool(const std::string& toolName, const std::string& answer, int exitStatus)
      : path_("PATH", folder_.path().string()) {
    writeFile(folder_.path() / "answer", answer);
    const std::filesystem::path script = folder_.path() / toolName;
    writeFile(script, "#!/bin/sh\n"
                      "printf '%s\\n' \"$@\" > \"${0%/*}/arguments\"\n"
                      "/bin/cat \"${0%/*}/answer\"\n"
                      "exit " + std::to_string(exitStatus) + "\n");
    chmod(script.c_str(), 0755);
  }

  std::vector<std::string> arguments() const {
    std::ifstream in(folder_.path() / "arguments");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string toolPath(const std::string& toolName) const { return (folder_.path() / toolName).string(); }

 private:
  static void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  TempFolder folder_;
  ScopedEnv path_;
};

const std::string kAwkwardStart = "/tmp/my \"captures\"/it's here";
const std::string kAwkwardAnswer = "/data/a 'b' \"c\"/拍摄 01.pcv";

TEST(Choosers, WithoutDialogToolAnswerEmpty) {
  TempFolder emptyFolder;
  ScopedEnv path("PATH", emptyFolder.path().string());
  EXPECT_FALSE(platform_has_dialog_tool());
  EXPECT_EQ(pcp::chooseFolder("/tmp"), "");
  EXPECT_EQ(macos_choose_media_file("/tmp"), "");
}

struct ChooserCase {
  const char* tool;
  bool folder;
  std::string start;
  std::vector<std::string> expectedArguments;
};

TEST(Choosers, PassTitleAndStartAndReturnTheAnswerExactly) {
  const std::vector<ChooserCase> cases = {
      {"zenity", true, kAwkwardStart,
       {"--file-selection", "--directory", "--title=选择文件夹", "--filename=" + kAwkwardStart + "/"}},
      {"zenity", true, "/tmp/", {"--file-selection", "--directory", "--title=选择文件夹", "--filename=/tmp/"}},
      {"zenity", false, kAwkwardStart,
       {"--file-selection", "--title=选择点云照片或视频", "--filename=" + kAwkwardStart + "/"}},
      {"zenity", false, "", {"--file-selection", "--title=选择点云照片或视频"}},
      {"kdialog", true, kAwkwardStart, {"--title", "选择文件夹", "--getexistingdirectory", kAwkwardStart}},
      {"kdialog", false, kAwkwardStart, {"--title", "选择点云照片或视频", "--getopenfilename", kAwkwardStart}},
  };
  for (const ChooserCase& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + (c.folder ? " folder " : " file ") + c.start);
    FakeDialogTool tool(c.tool, kAwkwardAnswer + "\n", 0);
    EXPECT_TRUE(platform_has_dialog_tool());
    const std::string answer = c.folder ? pcp::chooseFolder(c.start) : macos_choose_media_file(c.start);
    EXPECT_EQ(answer, kAwkwardAnswer);
    EXPECT_EQ(tool.arguments(), c.expectedArguments);
  }
}

TEST(Choosers, CancelGivesEmptyAnswer) {
  FakeDialogTool tool("zenity", "", 1);
  EXPECT_EQ(pcp::chooseFolder("/tmp"), "");
  EXPECT_EQ(macos_choose_media_file("/tmp"), "");
}

TEST(Choosers, FailingToolGivesEmptyAnswerEvenWithOutput) {
  FakeDialogTool tool("zenity", "/tmp/half-chosen\n", 5);
  EXPECT_EQ(pcp::chooseFolder("/tmp"), "");
}

TEST(Choosers, OnlyTheFinalNewlineIsStripped) {
  FakeDialogTool tool("zenity", " /tmp/ends in space \n\n", 0);
  EXPECT_EQ(pcp::chooseFolder("/tmp"), " /tmp/ends in space \n");
}

TEST(Choosers, ZenityIsPreferredOverKdialog) {
  FakeDialogTool tool("zenity", "/from/zenity\n", 0);
  // A kdialog in the same folder would answer differently if it were chosen.
  std::ofstream(std::filesystem::path(tool.toolPath("kdialog")), std::ios::binary) << "#!/bin/sh\necho /from/kdialog\n";
  chmod(tool.toolPath("kdialog").c_str(), 0755);
  EXPECT_EQ(pcp::chooseFolder(""), "/from/zenity");
}

TEST(Choosers, NonExecutableAndRelativePathEntriesAreIgnored) {
  TempFolder folder;
  std::ofstream(folder.path() / "zenity", std::ios::binary) << "#!/bin/sh\necho /chosen\n";
  chmod((folder.path() / "zenity").c_str(), 0644);
  ScopedEnv path("PATH", "relative/bin::" + folder.path().string());
  EXPECT_FALSE(platform_has_dialog_tool());
  EXPECT_EQ(pcp::chooseFolder("/tmp"), "");
}

TEST(OpenRequests, NothingPendingOnLinux) {
  macos_install_media_open_handler();
  EXPECT_EQ(macos_take_open_media(), "");
  EXPECT_EQ(macos_take_open_media(), "");
}

}  // namespace
