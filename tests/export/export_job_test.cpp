// The export job's common part and its photo half, through the real program with no display, and
// the state-writing pieces in process.
#include <gtest/gtest.h>
#include <stb_image.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "export_job.h"
#include "export_job_context.h"
#include "export_job_support.h"
#include "pcp_writer.h"
#include "photo_document.h"

namespace {

namespace fs = std::filesystem;
using exportjobtest::fileNames;
using exportjobtest::JobOutcome;
using exportjobtest::readFile;
using exportjobtest::readJson;
using exportjobtest::writeFile;
using nlohmann::json;

const json kEditedParameters = {{"current_point_size", 3.0},
                                {"render_point_size", 4.0},
                                {"max_display_distance", 3.0},
                                {"sampling_ratio", 1.0},
                                {"grayscale_sliders",
                                 {{{"position", 0.0}, {"grayscale", 0.2}}, {{"position", 1.0}, {"grayscale", 1.0}}}}};

std::string photoMetadata() { return json{{"depth_width", 4}, {"depth_height", 3}, {"fov_half_deg", 20.0}}.dump(); }

std::vector<uint16_t> photoDepth() { return std::vector<uint16_t>(12, 1500); }

json failureState(const std::string& stage, bool canceled = false, const std::string& output = "") {
  return {{"progress", 0},     {"stage", stage},       {"finished", true},
          {"success", false},  {"canceled", canceled}, {"output", output}};
}

json successState(const fs::path& output, const std::string& version) {
  return {{"progress", 1.0}, {"stage", "完成"},          {"finished", true},
          {"success", true}, {"output", output.string()}, {"version", version}};
}

class PhotoJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp.path().empty());
    fs::create_directories(photos);
    fs::create_directories(out);
    pcpwrite::Photo photo{photoMetadata(), photoDepth(), {}};
    ASSERT_TRUE(pcpwrite::writePcp(source.string(), photo));
  }

  static std::string fingerprintOf(const fs::path& capture) {
    media::PhotoDocument document;
    EXPECT_TRUE(document.load(capture)) << document.error;
    return media::photoFingerprint(document);
  }

  json photoJob(int format = 0, int width = 64, int height = 48) const {
    return {{"source", source.string()}, {"photo", true},
            {"width", width},            {"height", height},
            {"format", format},          {"note", "第一版"},
            {"directory", out.string()}, {"fingerprint", fingerprintOf(source)},
            {"parameters", kEditedParameters}, {"version", ""}};
  }

  JobOutcome run(const json& job) const { return exportjobtest::runJob(exportjobtest::writeJob(temp.path(), job)); }

  testsupport::TempFolder temp;
  const fs::path photos = temp / "photos";
  const fs::path out = temp / "out";
  const fs::path source = photos / "take.pcp";
};

TEST_F(PhotoJobTest, JpegExportsAreNamedByVersionAndNeverReplaceAFile) {
  json job = photoJob();
  job["parameters"] = nullptr;  // the capture's own parameters: the unedited version
  job["note"] = "";
  writeFile(out / "take_original.jpg", "keep");

  JobOutcome outcome = run(job);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.log;
  const fs::path original = out / "take_original_export_2.jpg";
  EXPECT_EQ(outcome.state, successState(original, "原始版本"));
  EXPECT_EQ(readFile(out / "take_original.jpg"), "keep");
  int width = 0, height = 0, channels = 0;
  unsigned char* pixels = stbi_load(original.c_str(), &width, &height, &channels, 3);
  ASSERT_NE(pixels, nullptr) << stbi_failure_reason();
  stbi_image_free(pixels);
  EXPECT_EQ(width, 64);
  EXPECT_EQ(height, 48);
  json sidecar = readJson(photos / "take.json");
  EXPECT_EQ(sidecar["editor_media"]["original"],
            (json{{"schema_version", 1}, {"note", ""}, {"export_file", original.string()}}));
  EXPECT_FALSE(sidecar.contains("versions") && !sidecar["versions"].empty());

  // Edited parameters become version 1; the same edit and note of version 1 reuse it under free
  // names.
  const std::vector<std::string> expected{"take_1.jpg", "take_1_export_2.jpg", "take_1_export_3.jpg"};
  for (const std::string& name : expected) {
    job = photoJob();
    if (name != expected.front()) job["version"] = "1";
    outcome = run(job);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.log;
    EXPECT_EQ(outcome.state, successState(out / name, "1"));
  }
  sidecar = readJson(photos / "take.json");
  EXPECT_EQ(sidecar["render_count"], 1);
  EXPECT_EQ(sidecar["versions"]["1"]["editor_media"]["export_file"], (out / "take_1_export_3.jpg").string());
  EXPECT_EQ(sidecar["versions"]["1"]["editor_media"]["note"], "第一版");

  // A different note is a different version.
  job = photoJob();
  job["version"] = "1";
  job["note"] = "第二版";
  outcome = run(job);
  EXPECT_EQ(outcome.state, successState(out / "take_2.jpg", "2"));
  EXPECT_EQ(fileNames(out), (std::vector<std::string>{"take_1.jpg", "take_1_export_2.jpg", "take_1_export_3.jpg",
                                                    "take_2.jpg", "take_original.jpg",
                                                    "take_original_export_2.jpg"}));
}

TEST_F(PhotoJobTest, SvgCanvasesAreNotBoundByTheTextureLimit) {
  const JobOutcome outcome = run(photoJob(1, 20000, 10));
  ASSERT_EQ(outcome.exitCode, 0) << outcome.log;
  EXPECT_EQ(outcome.state, successState(out / "take_1.svg", "1"));
  const std::string svg = readFile(out / "take_1.svg");
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("width=\"20000\""), std::string::npos);
  EXPECT_EQ(readJson(photos / "take.json")["versions"]["1"]["editor_media"]["export_file"],
            (out / "take_1.svg").string());
  EXPECT_EQ(fileNames(out), std::vector<std::string>{"take_1.svg"});
}

TEST_F(PhotoJobTest, EveryFailedCheckEndsWithItsTextAndLeavesNoFiles) {
  struct Case {
    const char* what;
    std::function<void(json&)> change;
    std::string stage;
  };
  const std::string tooLong(1001, 'a');
  const std::vector<Case> cases{
      {"missing source", [](json& job) { job.erase("source"); }, "导出任务缺少字段：source"},
      {"missing width", [](json& job) { job.erase("width"); }, "导出任务缺少字段：width"},
      {"missing directory", [](json& job) { job.erase("directory"); }, "导出任务缺少字段：directory"},
      {"missing fingerprint", [](json& job) { job.erase("fingerprint"); }, "导出任务缺少字段：fingerprint"},
      {"missing parameters", [](json& job) { job.erase("parameters"); }, "导出任务缺少字段：parameters"},
      {"width as text", [](json& job) { job["width"] = "64"; }, "导出任务字段无效：width"},
      {"photo flag as number", [](json& job) { job["photo"] = 1; }, "导出任务字段无效：photo"},
      {"zero width", [](json& job) { job["width"] = 0; }, "分辨率超过本机支持范围"},
      {"JPG beyond any texture", [](json& job) { job["width"] = 100000; }, "分辨率超过本机支持范围"},
      {"SVG of zero height", [](json& job) { job["format"] = 1; job["height"] = 0; }, "分辨率超过本机支持范围"},
      {"SVG beyond int", [](json& job) { job["format"] = 1; job["width"] = 4294967296LL; }, "分辨率超过本机支持范围"},
      {"photo format 2", [](json& job) { job["format"] = 2; }, "照片导出格式无效"},
      {"note of 1001 characters", [&](json& job) { job["note"] = tooLong; }, "备注最多 1000 字符"},
      {"missing directory folder", [this](json& job) { job["directory"] = (temp / "nowhere").string(); },
       "输出目录不存在或不可写"},
      {"directory under a file", [this](json& job) { job["directory"] = (source / "out").string(); },
       "输出目录不存在或不可写"},
      {"directory is a file", [this](json& job) { job["directory"] = source.string(); }, "输出目录不存在或不可写"},
      {"changed source", [](json& job) { job["fingerprint"] = "0123456789abcdef"; },
       "照片源文件已改变，请重新加入任务"},
      {"one node", [](json& job) { job["parameters"]["grayscale_sliders"].erase(1); },
       "照片映射节点或参数无效（支持 2–32 个节点）"},
      {"node beyond 1", [](json& job) { job["parameters"]["grayscale_sliders"][1]["position"] = 1.2; },
       "照片映射节点或参数无效（支持 2–32 个节点）"},
      {"not an object", [](json& job) { job = json::array({1, 2}); }, "导出任务结构无效"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    json job = photoJob();
    c.change(job);
    const JobOutcome outcome = run(job);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.state, failureState(c.stage));
    EXPECT_TRUE(fileNames(out).empty());
  }
  EXPECT_FALSE(fs::exists(photos / "take.json"));
}

TEST_F(PhotoJobTest, FailuresOfTheFilesThemselvesCarryTheirReason) {
  {
    SCOPED_TRACE("not JSON");
    const fs::path jobPath = temp / "broken.json";
    writeFile(jobPath, "{\"source\": ");
    const JobOutcome outcome = exportjobtest::runJob(jobPath);
    EXPECT_EQ(outcome.exitCode, 1);
    ASSERT_TRUE(outcome.state.is_object());
    EXPECT_NE(outcome.state.value("stage", "").find("parse error"), std::string::npos) << outcome.state;
    EXPECT_EQ(outcome.state, failureState(outcome.state.value("stage", "")));
  }
  {
    // The state must still be written when the reason names a file that is not valid UTF-8.
    SCOPED_TRACE("missing job file with a byte-string name");
    const fs::path jobPath = temp / "\xff\xfe.json";
    const JobOutcome outcome = exportjobtest::runJob(jobPath);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.state.value("stage", "").rfind("无法读取 ", 0), 0u) << outcome.state;
    EXPECT_EQ(outcome.state.value("finished", false), true);
  }
  {
    SCOPED_TRACE("missing photo");
    json job = photoJob();
    job["source"] = (photos / "gone.pcp").string();
    const JobOutcome outcome = run(job);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_FALSE(outcome.state.value("stage", "").empty());
    EXPECT_EQ(outcome.state, failureState(outcome.state.value("stage", "")));
  }
}

TEST_F(PhotoJobTest, NotesAreCountedInCharactersNotBytes) {
  json job = photoJob();
  std::string note;
  for (int i = 0; i < 1000; ++i) note += "字";
  job["note"] = note;
  const JobOutcome outcome = run(job);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.state;
  EXPECT_EQ(readJson(photos / "take.json")["versions"]["1"]["editor_media"]["note"], note);
}

TEST_F(PhotoJobTest, UnwritableOutputFolderIsRefused) {
  if (geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
  fs::permissions(out, fs::perms::owner_read | fs::perms::owner_exec);
  const JobOutcome outcome = run(photoJob());
  fs::permissions(out, fs::perms::owner_all);
  EXPECT_EQ(outcome.state, failureState("输出目录不存在或不可写"));
}

TEST_F(PhotoJobTest, CancelFileBeforeTheStartCancelsAndWritesNothing) {
  const fs::path jobPath = exportjobtest::writeJob(temp.path(), photoJob());
  writeFile(exportjobtest::cancelPath(jobPath), "cancel");
  const JobOutcome outcome = exportjobtest::runJob(jobPath);
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.state, failureState("已取消", true));
  EXPECT_TRUE(fileNames(out).empty());
  EXPECT_FALSE(fs::exists(photos / "take.json"));
}

// A legacy capture whose colour picture is a pipe: the job blocks reading it after it has loaded
// the sidecar, which the test then changes, so the commit at the end meets a conflict.
TEST_F(PhotoJobTest, VersionThatCannotBeRecordedStillNamesThePlacedOutput) {
  const fs::path bin = photos / "pointcloud_7.bin";
  const fs::path sidecar = photos / "render_params_7.json";
  json meta = json::parse(photoMetadata());
  meta["color_mode"] = true;
  meta["high_res_texture"] = "texture.png";
  ASSERT_TRUE(pcpwrite::writeLegacy(bin.string(), sidecar.string(), meta.dump(), photoDepth()));
  ASSERT_EQ(mkfifo((photos / "texture.png").c_str(), 0600), 0);
  json job = photoJob();
  job["source"] = bin.string();
  job["fingerprint"] = fingerprintOf(bin);
  job["parameters"] = nullptr;
  job["note"] = "";
  const fs::path jobPath = exportjobtest::writeJob(temp.path(), job);

  exportjobtest::JobProcess process(jobPath);
  ASSERT_TRUE(process.started());
  int pipe = -1;
  while (pipe < 0 && process.running()) {
    pipe = open((photos / "texture.png").c_str(), O_WRONLY | O_NONBLOCK);
    if (pipe < 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GE(pipe, 0) << readFile(exportjobtest::statePath(jobPath));
  meta["edited_elsewhere"] = true;
  writeFile(sidecar, meta.dump());
  fcntl(pipe, F_SETFL, 0);
  const std::vector<uint8_t> picture = pcpwrite::encodePng(std::vector<uint8_t>(4 * 3 * 3, 200), 4, 3);
  EXPECT_EQ(write(pipe, picture.data(), picture.size()), static_cast<ssize_t>(picture.size()));
  close(pipe);
  EXPECT_EQ(process.wait(), 1);

  const json state = readJson(exportjobtest::statePath(jobPath));
  const fs::path placed = out / "pointcloud_capture_7_original.jpg";
  const std::string prefix = "照片已导出，版本保存失败：";
  EXPECT_EQ(state.value("stage", "").rfind(prefix, 0), 0u) << state;
  EXPECT_GT(state.value("stage", "").size(), prefix.size());
  EXPECT_EQ(state, failureState(state.value("stage", ""), false, placed.string()));
  EXPECT_EQ(fileNames(out), std::vector<std::string>{placed.filename().string()});
  EXPECT_EQ(readJson(sidecar), meta);
}

TEST_F(PhotoJobTest, RunningStatesPrecedeOneFinalState) {
  const fs::path jobPath = exportjobtest::writeJob(temp.path(), photoJob(1, 4000, 3000));
  exportjobtest::JobProcess process(jobPath);
  ASSERT_TRUE(process.started());
  const std::vector<json> states = exportjobtest::watchStates(jobPath, process);
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), successState(out / "take_1.svg", "1"));
  const std::vector<std::string> stages{"检查素材与版本", "读取照片与颜色", "生成 SVG 矢量图"};
  double progress = 0.0;
  for (size_t i = 0; i + 1 < states.size(); ++i) {
    SCOPED_TRACE(states[i].dump());
    EXPECT_EQ(states[i].size(), 3u);
    EXPECT_EQ(states[i]["finished"], false);
    EXPECT_NE(std::find(stages.begin(), stages.end(), states[i]["stage"]), stages.end());
    EXPECT_GE(states[i]["progress"].get<double>(), progress);
    progress = states[i]["progress"].get<double>();
    EXPECT_LE(progress, 0.95);
  }
}

// Running writes in process, paced by a clock the test moves.
TEST(ExportJobContextTest, RunningWritesAreAtLeast80MillisecondsApart) {
  testsupport::TempFolder temp;
  const fs::path job = temp / "job.json";
  std::chrono::steady_clock::time_point now{};
  media::ExportJobContext context(job, [&] { return now; });
  EXPECT_EQ(context.statePath(), temp / "job.json.state");
  EXPECT_EQ(context.cancelPath(), temp / "job.json.cancel");
  struct Step {
    int atMilliseconds;
    const char* stage;
    const char* stateAfter;
  };
  const std::vector<Step> steps{{0, "a", "a"},   {50, "b", "a"},   {79, "c", "a"},
                                {80, "d", "d"},  {159, "e", "d"},  {160, "f", "f"}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.atMilliseconds);
    now = std::chrono::steady_clock::time_point{} + std::chrono::milliseconds(step.atMilliseconds);
    context.report(step.stage, 0.5);
    EXPECT_EQ(readJson(context.statePath()), (json{{"progress", 0.5}, {"stage", step.stateAfter}, {"finished", false}}));
  }
  EXPECT_FALSE(context.cancelled());
  writeFile(context.cancelPath(), "");
  EXPECT_TRUE(context.cancelled());
  EXPECT_THROW(context.throwIfCancelled(), std::runtime_error);
}

TEST(AtomicJsonTest, ReplacesTheFileWholeOrThrows) {
  testsupport::TempFolder temp;
  const fs::path target = temp / "state";
  writeFile(target, "old");
  media::atomicJson(target, {{"b", 1}, {"a", "文字"}});
  EXPECT_EQ(readFile(target), R"({"a":"文字","b":1})");
  EXPECT_FALSE(fs::exists(temp / "state.tmp"));

  try {
    media::atomicJson(temp / "missing" / "state", json::object());
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "无法写入任务状态");
  }

  // A folder in the way makes the rename fail; the temporary file goes.
  fs::create_directories(temp / "busy" / "inside");
  EXPECT_THROW(media::atomicJson(temp / "busy", json::object()), std::runtime_error);
  EXPECT_FALSE(fs::exists(temp / "busy.tmp"));
  EXPECT_TRUE(fs::is_directory(temp / "busy" / "inside"));
}

}  // namespace
