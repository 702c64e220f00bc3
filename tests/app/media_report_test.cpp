// "--inspect-media" through the real executable: no window, no display, exact output.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common_test_support.h"
#include "directory_listing.h"
#include "pcp_writer.h"
#include "pcv_writer.h"
#include "photo_document.h"
#include "project_file.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::TempFolder;

struct Inspection {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The environment of this process without any display, and with home and XDG folders in home.
std::vector<std::string> headlessEnvironment(const fs::path& home) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    const std::string variable = *entry;
    const std::string name = variable.substr(0, variable.find('='));
    if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "HOME" || name.rfind("XDG_", 0) == 0) continue;
    variables.push_back(variable);
  }
  variables.push_back("HOME=" + home.string());
  return variables;
}

Inspection inspect(const std::string& argument, const fs::path& workingFolder, const fs::path& home,
                   const std::string& outputDevice = "") {
  const fs::path outFile = outputDevice.empty() ? home.parent_path() / "stdout.txt" : fs::path(outputDevice);
  const fs::path errFile = home.parent_path() / "stderr.txt";
  std::vector<std::string> arguments = {TESSALINE_EXECUTABLE, "--inspect-media", argument};
  std::vector<std::string> environment = headlessEnvironment(home);
  std::vector<char*> argv;
  for (std::string& text : arguments) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& text : environment) envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
  pid_t pid = -1;
  const int started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  Inspection run;
  if (started != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(started);
    return run;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // A device such as /dev/full is written to, never read back.
  if (outputDevice.empty()) run.out = readText(outFile);
  run.err = readText(errFile);
  return run;
}

pcvwrite::Frame frame(const json& meta, bool rgb) {
  pcvwrite::Frame made;
  made.kind = rgb ? pcvwrite::FrameKind::Frm3 : pcvwrite::FrameKind::Frm1;
  made.metaJson = meta.dump();
  made.depth = {1000, 1100, 1200, 1300};
  if (rgb) made.rgbJpeg = {0xff, 0xd8, 0xff, 0xd9};
  return made;
}

json frameMeta(int captureIndex, const char* timecode) {
  json meta = {{"depth_width", 2}, {"depth_height", 2}, {"capture_index", captureIndex}, {"名称", "测试"}};
  if (timecode) meta["timecode"] = timecode;
  return meta;
}

// The item the browser would list for path, to compare fingerprints and errors with.
pcv0930::MediaItem listedItem(const fs::path& path) {
  pcv0930::Directory directory = pcv0930::listDirectory(path.parent_path().string(), [] { return false; });
  media::appendPhotos(directory, path.parent_path().string(), [] { return false; });
  for (const pcv0930::MediaItem& item : directory.items)
    if (item.path == path.string()) return item;
  ADD_FAILURE() << path << " is not listed";
  return {};
}

std::string recordingOutput(const fs::path& path, size_t frames, const std::string& first, const std::string& last,
                            uint64_t rgbFrames) {
  const pcv0930::MediaItem item = listedItem(path);
  const json expected = {{"error", item.error},
                         {"fingerprint", item.fingerprint},
                         {"first_time", first},
                         {"frames", frames},
                         {"last_time", last},
                         {"parameters", {{"tracks", json::object()}}},
                         {"photo", false},
                         {"rgb_frames", rgbFrames},
                         {"source", path.string()}};
  return expected.dump(2, ' ', false) + "\n";
}

class InspectMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home);
    fs::create_directories(captures / "sub");
  }
  void TearDown() override {
    // The inspection must leave the home folder as it found it (no settings or cache folders).
    EXPECT_TRUE(fs::is_empty(home));
  }

  Inspection run(const std::string& argument, const fs::path& workingFolder) {
    return inspect(argument, workingFolder, home);
  }

  TempFolder temp;
  fs::path home = temp / "home";
  fs::path captures = temp / "captures";
};

TEST_F(InspectMedia, RecordingsPrintTheirSummary) {
  // Timecodes and RGB pictures over two segments, and a camera recording with no main file.
  const std::vector<pcvwrite::Frame> timed = {frame(frameMeta(7, "10:00:00:22"), true),
                                              frame(frameMeta(8, "10:00:00:23"), false),
                                              frame(frameMeta(9, "10:00:01:00"), true)};
  ASSERT_TRUE(pcvwrite::writeRecording((captures / "take").string(), timed, 2, pcvwrite::IndexStyle::Embedded));
  const std::vector<pcvwrite::Frame> untimed = {frame(frameMeta(0, nullptr), false),
                                                frame(frameMeta(1, nullptr), false),
                                                frame(frameMeta(2, nullptr), false)};
  ASSERT_TRUE(pcvwrite::writeRecording((captures / "plain").string(), untimed, 0, pcvwrite::IndexStyle::None));
  for (size_t s = 0; s < untimed.size(); ++s) {
    pcvwrite::Segment segment;
    segment.add(untimed[s]);
    segment.finish(pcvwrite::IndexStyle::None);
    ASSERT_TRUE(pcvwrite::writeFile((captures / ("video_5_" + std::to_string(s) + ".pcv")).string(), segment.bytes));
  }

  struct Case {
    std::string argument;
    fs::path workingFolder;
    fs::path source;
    size_t frames;
    const char* first;
    const char* last;
    uint64_t rgb;
  };
  const std::vector<Case> cases = {
      {(captures / "take.pcv").string(), temp.path(), captures / "take.pcv", 3, "10:00:00:22", "10:00:01:00", 2},
      {"plain.pcv", captures, captures / "plain.pcv", 3, "00:00:00:00", "00:00:00:02", 0},
      {"./sub/../sub/./../take.pcv", captures, captures / "take.pcv", 3, "10:00:00:22", "10:00:01:00", 2},
      {"../video_5.pcv", captures / "sub", captures / "video_5.pcv", 3, "00:00:00:00", "00:00:00:02", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    const Inspection result = run(c.argument, c.workingFolder);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, recordingOutput(c.source, c.frames, c.first, c.last, c.rgb));
  }
  // Not escaped: the UTF-8 text of a name reaches the output as it is.
  fs::create_directories(captures / "录像");
  fs::copy_file(captures / "plain.pcv", captures / "录像" / "plain.pcv");
  const Inspection named = run("录像/plain.pcv", captures);
  EXPECT_NE(named.out.find("\"source\": \"" + (captures / "录像" / "plain.pcv").string() + "\""), std::string::npos)
      << named.out;
}

TEST_F(InspectMedia, FailuresPrintOneLineOnStandardError) {
  ASSERT_TRUE(pcvwrite::writeRecording((captures / "take").string(),
                                       {frame(frameMeta(0, nullptr), false), frame(frameMeta(1, nullptr), false)}, 1,
                                       pcvwrite::IndexStyle::None));
  ASSERT_TRUE(pcvwrite::writeRecording((captures / "broken").string(),
                                       {frame(frameMeta(0, nullptr), false), frame(frameMeta(1, nullptr), false)}, 0,
                                       pcvwrite::IndexStyle::None));
  fs::resize_file(captures / "broken.pcv", fs::file_size(captures / "broken.pcv") - 2);
  ASSERT_TRUE(pcvwrite::writeRecording((captures / "gap").string(),
                                       {frame(frameMeta(0, nullptr), false), frame(frameMeta(5, nullptr), false)}, 0,
                                       pcvwrite::IndexStyle::None));
  std::ofstream(captures / "notes.txt") << "text";

  const std::vector<std::pair<fs::path, std::string>> cases = {
      {captures / "take_1.pcv", "素材未找到"},
      {captures / "missing.pcv", "素材未找到"},
      {captures / "notes.txt", "素材未找到"},
      {"", "素材未找到"},  // the working folder itself, not a capture
      {captures / "broken.pcv", "帧数据损坏或录制尾部不完整：" + (captures / "broken.pcv").string()},
      {captures / "gap.pcv", "时间索引错误"},
  };
  for (const auto& [path, message] : cases) {
    SCOPED_TRACE(path);
    const Inspection result = run(path.string(), temp.path());
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, message + "\n");
  }

  // Output that cannot be written is a failure, not an exit code 0 with nothing printed.
  const Inspection full = inspect((captures / "take.pcv").string(), temp.path(), home, "/dev/full");
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_EQ(full.err, "无法写出结果\n");

  // A folder that cannot be listed reports the file system's description of it.
  const Inspection unlisted = run((captures / "nowhere" / "take.pcv").string(), temp.path());
  EXPECT_EQ(unlisted.exitCode, 1);
  EXPECT_EQ(unlisted.out, "");
  EXPECT_NE(unlisted.err.find((captures / "nowhere").string()), std::string::npos) << unlisted.err;
  EXPECT_EQ(std::count(unlisted.err.begin(), unlisted.err.end(), '\n'), 1);
  EXPECT_EQ(unlisted.err.back(), '\n');
}

TEST_F(InspectMedia, PhotoPrintsParametersAndVersionsNewestFirst) {
  pcpwrite::Photo photo;
  photo.metaJson = json{{"depth_width", 2}, {"depth_height", 2}, {"current_point_size", 4.0}}.dump();
  photo.depth = {1000, 1100, 1200, 1300};
  ASSERT_TRUE(pcpwrite::writePcp((captures / "shot.pcp").string(), photo));
  const json sliders = json::array({{{"position", 0.0}, {"grayscale", 0.0}}, {{"position", 1.0}, {"grayscale", 1.0}}});
  const json sidecar = {{"max_display_distance", 6.5},
                        {"versions",
                         {{"2", {{"grayscale_sliders", sliders}, {"current_point_size", 5.0}}},
                          {"10", {{"grayscale_sliders", sliders}}},
                          {"1", {{"grayscale_sliders", sliders}}}}}};
  std::ofstream(captures / "shot.json") << sidecar.dump();

  const Inspection result = run("shot.pcp", captures);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");
  ASSERT_FALSE(result.out.empty());
  EXPECT_EQ(result.out.back(), '\n');
  const json printed = json::parse(result.out);
  EXPECT_EQ(result.out, printed.dump(2, ' ', false) + "\n");
  const pcv0930::MediaItem item = listedItem(captures / "shot.pcp");
  EXPECT_EQ(printed["source"], (captures / "shot.pcp").string());
  EXPECT_EQ(printed["photo"], true);
  EXPECT_EQ(printed["fingerprint"], item.fingerprint);
  EXPECT_EQ(printed["error"], "");
  EXPECT_EQ(printed["versions"], json::array({"10", "2", "1"}));
  EXPECT_EQ(printed["parameters"]["max_display_distance"], 6.5);
  EXPECT_EQ(printed["parameters"]["current_point_size"], 4.0);
  EXPECT_EQ(printed.size(), 6u);
}

}  // namespace
