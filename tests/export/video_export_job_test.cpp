// Video export jobs through the real program (no display), real ffmpeg checked with ffprobe, and
// the project file the jobs record their versions in.
#include <gtest/gtest.h>
#include <stb_image.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "directory_listing.h"
#include "export_job_support.h"
#include "pcv_writer.h"
#include "sample_scene.h"
#include "video_export_pipeline.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using exportjobtest::fileNames;
using exportjobtest::JobOutcome;
using exportjobtest::JobProcess;
using exportjobtest::readFile;
using exportjobtest::readJson;
using exportjobtest::runJob;
using exportjobtest::TempFolder;
using exportjobtest::writeFile;

constexpr int kFrameCount = 6;
constexpr uint32_t kDepthWidth = 64;
constexpr uint32_t kDepthHeight = 48;
constexpr uint32_t kPictureWidth = 32;
constexpr uint32_t kPictureHeight = 24;

// A picture whose top half is white and bottom half black, so a vertical flip shows.
std::vector<uint8_t> topLitPicture() {
  std::vector<uint8_t> rgb(kPictureWidth * kPictureHeight * 3, 0);
  std::fill(rgb.begin(), rgb.begin() + static_cast<long>(rgb.size() / 2), 255);
  return samples::encodeJpeg(rgb, kPictureWidth, kPictureHeight, 95);
}

// frameCount frames of a tilted plane 1 to 2 m away; every frame for which hasPicture is true
// carries an RGB picture. Timecodes start at 01:00:00:00.
std::string writeRecording(const fs::path& folder, int frameCount, const std::function<bool(int)>& hasPicture) {
  std::vector<pcvwrite::Frame> frames;
  const std::vector<uint8_t> picture = topLitPicture();
  for (int i = 0; i < frameCount; ++i) {
    pcvwrite::Frame frame;
    const bool withPicture = hasPicture(i);
    frame.kind = withPicture ? pcvwrite::FrameKind::Frm3 : pcvwrite::FrameKind::Frm1;
    char timecode[32];
    std::snprintf(timecode, sizeof timecode, "01:00:%02d:%02d", i / 24 % 60, i % 24);
    frame.metaJson = json{{"capture_index", i}, {"timecode", timecode}, {"depth_width", kDepthWidth},
                          {"depth_height", kDepthHeight}, {"fx", 40.0}, {"fy", 40.0}, {"cx", 32.0}, {"cy", 24.0}}
                         .dump();
    frame.depth.resize(kDepthWidth * kDepthHeight);
    for (size_t k = 0; k < frame.depth.size(); ++k) frame.depth[k] = static_cast<uint16_t>(1000 + (k % kDepthWidth) * 15);
    if (withPicture) frame.rgbJpeg = picture;
    frames.push_back(std::move(frame));
  }
  const std::string base = (folder / "take").string();
  EXPECT_TRUE(pcvwrite::writeRecording(base, frames, 0, pcvwrite::IndexStyle::None));
  return base + ".pcv";
}

std::string listedFingerprint(const std::string& source) {
  const pcv0930::Directory listing = pcv0930::listDirectory(fs::path(source).parent_path().string(), [] { return false; });
  for (const pcv0930::MediaItem& item : listing.items) {
    if (item.path == source) return item.fingerprint;
  }
  ADD_FAILURE() << "the listing does not show " << source;
  return {};
}

// One recording with its output folder and a job document to vary.
struct VideoJobFixture {
  TempFolder folder;
  std::string source;
  fs::path output;
  json job;

  explicit VideoJobFixture(int frameCount = kFrameCount, const std::function<bool(int)>& hasPicture =
                                                             [](int i) { return i % 2 == 0; }) {
    fs::create_directory(folder / "source");
    output = folder / "out";
    fs::create_directory(output);
    source = writeRecording(folder / "source", frameCount, hasPicture);
    job = {{"source", source},  {"photo", false},       {"width", 64},
           {"height", 48},      {"format", 1},          {"directory", output.string()},
           {"note", "第一版"},  {"fingerprint", listedFingerprint(source)},
           {"parameters", {{"tracks", {{"fov", {{"0", {{"v", 30.0}}}}}}}}}};
  }

  fs::path jobPath(const std::string& name = "job.json") const { return folder / name; }
  fs::path write(const std::string& name = "job.json") const {
    writeFile(jobPath(name), job.dump());
    return jobPath(name);
  }
  json project() const { return json::parse(readFile(folder / "source" / "take_projects.json")); }
  std::vector<fs::path> outputEntries() const {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(output)) entries.push_back(entry.path());
    return entries;
  }
};

void expectFinishedFailure(const JobOutcome& outcome) {
  EXPECT_EQ(outcome.exitCode, 1) << outcome.log;
  EXPECT_EQ(outcome.state.value("finished", false), true);
  EXPECT_EQ(outcome.state.value("success", true), false);
  EXPECT_EQ(outcome.state.value("progress", 1.0), 0.0);
  EXPECT_TRUE(outcome.state.contains("canceled"));
  EXPECT_TRUE(outcome.state.contains("output"));
  EXPECT_FALSE(outcome.state.contains("version"));
}

void expectFailure(const JobOutcome& outcome, const std::string& stage) {
  expectFinishedFailure(outcome);
  EXPECT_EQ(outcome.state.value("stage", ""), stage) << outcome.state.dump();
}

void expectSuccess(const JobOutcome& outcome) {
  ASSERT_EQ(outcome.exitCode, 0) << outcome.state.dump() << outcome.log;
  EXPECT_EQ(outcome.state.value("stage", ""), "完成");
  EXPECT_EQ(outcome.state.value("finished", false), true);
  EXPECT_EQ(outcome.state.value("success", false), true);
  EXPECT_EQ(outcome.state.value("progress", 0.0), 1.0);
  EXPECT_TRUE(fs::is_directory(outcome.state.value("output", "")));
}

std::string ffprobe(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {platform::findOnPath("ffprobe"), "-v", "error"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::string output;
  EXPECT_TRUE(platform::runForOutput(command, output)) << arguments.back();
  while (!output.empty() && (output.back() == '\n' || output.back() == ',')) output.pop_back();
  return output;
}

// codec_name, profile, width, height and the decoded frame count of the first video stream.
std::string describeVideo(const fs::path& file) {
  return ffprobe({"-count_frames", "-select_streams", "v:0", "-show_entries",
                  "stream=codec_name,profile,width,height,nb_read_frames", "-of", "csv=p=0", file.string()});
}

TEST(VideoExportJob, PngSequenceNamesFramesBySourceIndexAndRecordsTheExport) {
  VideoJobFixture fixture;
  fixture.job["format"] = 0;
  fixture.job["width"] = 65;  // odd sizes are fine without an encoder
  fixture.job["start"] = 2;
  fixture.job["end"] = 4;
  fixture.job["rgb"] = true;  // no RGB track for a PNG sequence
  const JobOutcome outcome = runJob(fixture.write());
  expectSuccess(outcome);

  const fs::path folder = outcome.state["output"].get<std::string>();
  EXPECT_EQ(folder.parent_path(), fixture.output);
  EXPECT_EQ(folder.filename().string().rfind("take_", 0), 0u);
  EXPECT_EQ(fileNames(folder), (std::vector<std::string>{"frame_00000002.png", "frame_00000003.png", "frame_00000004.png"}));
  int width = 0, height = 0, channels = 0;
  ASSERT_TRUE(stbi_info((folder / "frame_00000003.png").c_str(), &width, &height, &channels));
  EXPECT_EQ(width, 65);
  EXPECT_EQ(height, 48);

  const json project = fixture.project();
  const std::string version = outcome.state.value("version", "");
  EXPECT_EQ(version, "take_1");
  ASSERT_TRUE(project.contains(version)) << project.dump();
  const json& entry = project[version];
  EXPECT_EQ(entry["tracks"], fixture.job["parameters"]["tracks"]);
  EXPECT_EQ(entry["fps"], 24);
  EXPECT_EQ(entry["total_frames"], kFrameCount);
  EXPECT_TRUE(entry["timestamp"].is_number_integer());
  const json& editor = entry["editor_0930"];
  EXPECT_EQ(editor["schema_version"], 1);
  EXPECT_EQ(editor["note"], "第一版");
  EXPECT_TRUE(editor["note_updated_at"].is_number_integer());
  EXPECT_EQ(editor["cover"], (json{{"frame_index", 2}, {"source", "export"}, {"renderer_version", 2}}));
  json record = editor["last_successful_export"];
  ASSERT_EQ(record.size(), 19u) << record.dump();
  EXPECT_TRUE(record["completed_at"].is_number_integer());
  record.erase("completed_at");
  const json expected = {{"start_frame", 2},          {"end_frame", 4},
                         {"frame_index_base", 0},     {"range_inclusive", true},
                         {"start_time", "01:00:00:02"}, {"end_time", "01:00:00:04"},
                         {"start_is_timecode", true}, {"end_is_timecode", true},
                         {"format", "png_sequence"},  {"source_fingerprint", fixture.job["fingerprint"]},
                         {"width", 65},               {"height", 48},
                         {"flip_x", false},           {"flip_y", false},
                         {"rgb", false},              {"rgb_flip_x", false},
                         {"rgb_flip_y", false},       {"output", folder.string()}};
  EXPECT_EQ(record, expected);

  // The same parameters and note from that version again: it gets the new record.
  fixture.job["version"] = "take_1";
  fixture.job["start"] = 0;
  fixture.job["end"] = -1;
  const JobOutcome again = runJob(fixture.write("again.json"));
  expectSuccess(again);
  EXPECT_EQ(again.state.value("version", ""), "take_1");
  EXPECT_EQ(fileNames(again.state["output"].get<std::string>()).size(), static_cast<size_t>(kFrameCount));
  EXPECT_EQ(fixture.project()["take_1"]["editor_0930"]["last_successful_export"]["end_frame"], kFrameCount - 1);
}

TEST(VideoExportJob, Mp4WithFlippedRgbTrack) {
  VideoJobFixture fixture;
  fixture.job["start"] = 1;
  fixture.job["end"] = 5;  // pictures on frames 2 and 4
  fixture.job["rgb"] = true;
  fixture.job["rgb_flip_y"] = true;
  fixture.job["bitrate"] = 0;
  const JobOutcome outcome = runJob(fixture.write());
  expectSuccess(outcome);
  const fs::path folder = outcome.state["output"].get<std::string>();
  EXPECT_EQ(fileNames(folder), (std::vector<std::string>{"ffmpeg.log", "take.mp4", "take_rgb.mp4"}));
  EXPECT_EQ(describeVideo(folder / "take.mp4"), "hevc,Main,64,48,5");
  EXPECT_EQ(describeVideo(folder / "take_rgb.mp4"), "h264,High,32,24,2");
  EXPECT_EQ(fixture.project()[outcome.state.value("version", "")]["editor_0930"]["last_successful_export"]["rgb"], true);

  // The flipped track has its lit half at the bottom.
  const fs::path still = fixture.folder / "rgb.png";
  std::string ignored;
  ASSERT_TRUE(platform::runForOutput({platform::findOnPath("ffmpeg"), "-v", "error", "-i", (folder / "take_rgb.mp4").string(),
                                      "-frames:v", "1", still.string()},
                                     ignored));
  int width = 0, height = 0, channels = 0;
  unsigned char* pixels = stbi_load(still.c_str(), &width, &height, &channels, 1);
  ASSERT_NE(pixels, nullptr);
  EXPECT_LT(pixels[2 * width + width / 2], 60);
  EXPECT_GT(pixels[(height - 3) * width + width / 2], 200);
  stbi_image_free(pixels);
}

TEST(VideoExportJob, MovProResHqAndARangeWithoutPicturesMakesNoRgbTrack) {
  VideoJobFixture fixture;
  fixture.job["format"] = 2;
  fixture.job["start"] = 3;
  fixture.job["end"] = 3;  // a frame without a picture
  fixture.job["rgb"] = true;
  const JobOutcome outcome = runJob(fixture.write());
  expectSuccess(outcome);
  const fs::path folder = outcome.state["output"].get<std::string>();
  EXPECT_EQ(fileNames(folder), (std::vector<std::string>{"ffmpeg.log", "take.mov"}));
  EXPECT_EQ(describeVideo(folder / "take.mov"), "prores,HQ,64,48,1");
  const json record = fixture.project()[outcome.state.value("version", "")]["editor_0930"]["last_successful_export"];
  EXPECT_EQ(record["format"], "mov");
  EXPECT_EQ(record["rgb"], false);
}

TEST(VideoExportJob, RefusedJobsNameTheReasonAndLeaveNothingBehind) {
  struct Case {
    const char* name;
    std::function<void(VideoJobFixture&)> change;
    const char* stage;
  };
  const std::vector<Case> cases = {
      {"odd width", [](VideoJobFixture& f) { f.job["width"] = 63; }, "视频编码的宽度和高度必须为偶数"},
      {"odd height", [](VideoJobFixture& f) { f.job["format"] = 2; f.job["height"] = 47; }, "视频编码的宽度和高度必须为偶数"},
      {"end at the frame count", [](VideoJobFixture& f) { f.job["end"] = kFrameCount; }, "导出区间超出素材范围"},
      {"start after end", [](VideoJobFixture& f) { f.job["start"] = 3; f.job["end"] = 2; }, "导出区间超出素材范围"},
      {"negative start", [](VideoJobFixture& f) { f.job["start"] = -1; }, "导出区间超出素材范围"},
      {"end beyond every integer", [](VideoJobFixture& f) { f.job["end"] = 18446744073709551615ULL; },
       "导出区间超出素材范围"},
      {"unknown format", [](VideoJobFixture& f) { f.job["format"] = 3; }, "导出格式无效"},
      {"format that wraps to MP4", [](VideoJobFixture& f) { f.job["format"] = 4294967297LL; }, "导出格式无效"},
      {"bad parameters", [](VideoJobFixture& f) { f.job["parameters"] = {{"tracks", {{"fov", {{"x", 1}}}}}}; },
       "视频版本参数无效"},
      {"source touched after the job was made",
       [](VideoJobFixture& f) {
         fs::last_write_time(f.source, fs::last_write_time(f.source) + std::chrono::seconds(10));
       },
       "视频源文件已改变，请重新加入任务"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VideoJobFixture fixture;
    c.change(fixture);
    const JobOutcome outcome = runJob(fixture.write());
    expectFailure(outcome, c.stage);
    EXPECT_EQ(outcome.state.value("output", "?"), "");
    EXPECT_EQ(outcome.state.value("canceled", true), false);
    EXPECT_TRUE(fixture.outputEntries().empty());
    EXPECT_FALSE(fs::exists(fixture.folder / "source" / "take_projects.json"));
  }
}

bool privateMountsAvailable() {
  std::string ignored;
  return platform::runForOutput({platform::findOnPath("unshare"), "-rm", "true"}, ignored);
}

// The job in a private mount namespace (as root there, which changes nothing outside it) after
// `mounts`, a shell command that may use "$2".
JobOutcome runJobAfterMounts(const fs::path& jobPath, const std::string& mounts, const std::string& argument = "") {
  const std::vector<std::string> command = {
      "/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", platform::findOnPath("unshare"), "-rm", "sh", "-c",
      mounts + " && exec \"$0\" --media-export-job \"$1\" >\"$1.log\" 2>&1", TESSALINE_EXECUTABLE,
      jobPath.string(), argument};
  JobOutcome outcome;
  std::string ignored;
  outcome.exitCode = platform::runForOutput(command, ignored) ? 0 : 1;
  outcome.state = readJson(exportjobtest::statePath(jobPath));
  outcome.log = readFile(exportjobtest::logPath(jobPath));
  return outcome;
}

// With /usr/bin/ffmpeg replaced by /dev/null no candidate qualifies.
const char* const kHideFfmpeg = "mount --bind /dev/null /usr/bin/ffmpeg";

TEST(VideoExportJob, WithoutFfmpegOnlyPngSequencesExport) {
  if (!privateMountsAvailable()) GTEST_SKIP() << "no user namespaces here";
  VideoJobFixture fixture;
  expectFailure(runJobAfterMounts(fixture.write(), kHideFfmpeg), "视频导出组件不可用");
  EXPECT_TRUE(fixture.outputEntries().empty());
  fixture.job["format"] = 0;
  expectSuccess(runJobAfterMounts(fixture.write("png.json"), kHideFfmpeg));
}

TEST(VideoExportJob, CancelDuringTheFramesRemovesTheStagingFolder) {
  VideoJobFixture fixture(240, [](int) { return false; });
  fixture.job["format"] = 0;
  fixture.job["width"] = 640;
  fixture.job["height"] = 480;
  const fs::path jobPath = fixture.write();
  JobProcess process(jobPath);
  ASSERT_TRUE(process.started());

  // Running states as they come: stages in order, progress never falling back.
  std::vector<std::string> stages;
  double lastProgress = 0.0;
  bool cancelled = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!cancelled && process.running() && std::chrono::steady_clock::now() < deadline) {
    const json state = readJson(exportjobtest::statePath(jobPath));
    if (state.is_object() && !state.value("finished", false)) {
      EXPECT_FALSE(state.contains("success"));
      const double progress = state.value("progress", 0.0);
      EXPECT_GE(progress, lastProgress);
      lastProgress = progress;
      const std::string stage = state.value("stage", "");
      if (stages.empty() || stages.back() != stage) stages.push_back(stage);
      int done = 0;
      if (std::sscanf(stage.c_str(), "导出 %d / 240 帧", &done) == 1) {
        EXPECT_EQ(stage, "导出 " + std::to_string(done) + " / 240 帧");
        EXPECT_GE(done, 1);
        EXPECT_NEAR(progress, 0.30 + 0.65 * done / 240.0, 1e-9);
      }
      if (stage.rfind("导出 ", 0) == 0 && stage != "导出 1 / 240 帧") {
        writeFile(exportjobtest::cancelPath(jobPath), "");
        cancelled = true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(cancelled) << "the job never reported a frame";
  EXPECT_EQ(process.wait(), 1);
  ASSERT_GE(stages.size(), 2u);
  EXPECT_EQ(stages.front(), "检查素材与版本");
  const json state = readJson(exportjobtest::statePath(jobPath));
  EXPECT_EQ(state["stage"], "已取消");
  EXPECT_EQ(state["canceled"], true);
  EXPECT_EQ(state["success"], false);
  EXPECT_EQ(state["output"], "");
  EXPECT_TRUE(fixture.outputEntries().empty());
  EXPECT_FALSE(fs::exists(fixture.folder / "source" / "take_projects.json"));
}

void expectPlacedButNotRecorded(const JobOutcome& outcome, const std::string& stagePrefix) {
  expectFinishedFailure(outcome);
  const std::string stage = outcome.state.value("stage", "");
  EXPECT_EQ(stage.rfind(stagePrefix, 0), 0u) << outcome.state.dump();
  EXPECT_GT(stage.size(), stagePrefix.size());
  EXPECT_EQ(outcome.state.value("canceled", true), false);
  const std::string output = outcome.state.value("output", "");
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(fileNames(output).size(), static_cast<size_t>(kFrameCount));
}

TEST(VideoExportJob, AVersionThatCannotBeRecordedStillNamesThePlacedOutput) {
  {
    SCOPED_TRACE("unreadable project file");
    VideoJobFixture fixture;
    fixture.job["format"] = 0;
    writeFile(fixture.folder / "source" / "take_projects.json", "[]");
    expectPlacedButNotRecorded(runJob(fixture.write()), "影像已导出，项目文件读取失败：");
  }
  if (!privateMountsAvailable()) GTEST_SKIP() << "no user namespaces here";
  {
    SCOPED_TRACE("read-only source folder");
    VideoJobFixture fixture;
    fixture.job["format"] = 0;
    const JobOutcome outcome = runJobAfterMounts(
        fixture.write(), "mount --bind \"$2\" \"$2\" && mount -o remount,bind,ro \"$2\"",
        (fixture.folder / "source").string());
    expectPlacedButNotRecorded(outcome, "影像已导出，版本保存失败：");
    EXPECT_FALSE(fs::exists(fixture.folder / "source" / "take_projects.json"));
  }
}

// Jobs of one recording racing to record their versions (the executor would run them one at a time).
TEST(VideoExportJob, ConcurrentJobsEitherRecordTheirVersionOrSayWhyNot) {
  constexpr int kJobs = 4;
  VideoJobFixture fixture;
  fixture.job["format"] = 0;
  std::vector<fs::path> jobs;
  for (int k = 0; k < kJobs; ++k) {
    fixture.job["note"] = "job " + std::to_string(k);
    jobs.push_back(fixture.write("job" + std::to_string(k) + ".json"));
  }
  {
    std::vector<std::unique_ptr<JobProcess>> processes;
    for (const fs::path& job : jobs) processes.push_back(std::make_unique<JobProcess>(job));
    for (auto& process : processes) EXPECT_GE(process->wait(), 0);
  }

  const json project = fixture.project();
  std::set<std::string> outputs;
  int succeeded = 0;
  for (int k = 0; k < kJobs; ++k) {
    SCOPED_TRACE(k);
    const json state = json::parse(readFile(jobs[static_cast<size_t>(k)].string() + ".state"));
    const std::string output = state.value("output", "");
    EXPECT_TRUE(fs::is_directory(output));
    outputs.insert(output);
    if (state.value("success", false)) {
      ++succeeded;
      const std::string version = state.value("version", "");
      ASSERT_TRUE(project.contains(version)) << version;
      EXPECT_EQ(project[version]["editor_0930"]["note"], "job " + std::to_string(k));
      EXPECT_EQ(project[version]["editor_0930"]["last_successful_export"]["output"], output);
    } else {
      const std::string stage = state.value("stage", "");
      EXPECT_EQ(stage.rfind("影像已导出，版本保存失败：", 0), 0u) << stage;
      EXPECT_GT(stage.size(), std::string("影像已导出，版本保存失败：").size());
    }
  }
  EXPECT_GE(succeeded, 1);
  EXPECT_EQ(outputs.size(), static_cast<size_t>(kJobs));
  for (const fs::path& folder : {fixture.folder / "source", fixture.output, fixture.folder.path()}) {
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
      EXPECT_EQ(name.find(".partial"), std::string::npos) << name;
    }
  }
}

TEST(FrameWriterThread, WritesInOrderAndStopsAtTheFirstFailure) {
  std::vector<int64_t> seen;
  media::FrameWriterThread writer([&seen](media::RenderedFrame& frame) -> std::string {
    seen.push_back(frame.index);
    return frame.index == 5 ? "写入失败" : "";
  });
  int64_t pushed = 0;
  for (int64_t i = 0; i < 100 && writer.push(media::RenderedFrame{i, {}, {}}); ++i) pushed = i + 1;
  EXPECT_EQ(writer.finish(), "写入失败");
  EXPECT_LE(pushed, 5 + 1 + 2 + 1);  // the failing frame, two waiting, one being handed over
  EXPECT_EQ(seen, (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_FALSE(writer.push(media::RenderedFrame{}));
}

}  // namespace
