#include "sample_library.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "pcp_capture.h"
#include "pcv_reader.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kFrames = 12;  // enough for three segments of four frames

fs::path freshFolder(const std::string& label) {
  std::string pattern = (fs::temp_directory_path() / ("tessaline-" + label + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

std::vector<uint8_t> fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string kindName(pcvwrite::FrameKind kind) {
  return kind == pcvwrite::FrameKind::Frm1 ? "FRM1" : kind == pcvwrite::FrameKind::Frm2 ? "FRM2" : "FRM3";
}

int64_t clockOf(const std::string& timecode) {
  if (timecode.size() != 11) return -1;
  return std::stoll(timecode.substr(0, 2)) * 86400 + std::stoll(timecode.substr(3, 2)) * 1440 +
         std::stoll(timecode.substr(6, 2)) * 24 + std::stoll(timecode.substr(9, 2));
}

class SampleLibrary : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new fs::path(freshFolder("samples"));
    samples::LibraryOptions options;
    options.maxFramesPerRecording = kFrames;
    std::vector<std::string> written;
    std::string error;
    written_ = samples::writeLibrary(folder_->string(), options, written, error);
    lines_ = new std::vector<std::string>(written);
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(*folder_, ignored);
    delete folder_;
    delete lines_;
  }
  static fs::path recordingPath(const samples::RecordingPlan& plan) { return *folder_ / (plan.name + ".pcv"); }

  static fs::path* folder_;
  static std::vector<std::string>* lines_;
  static bool written_;
};

fs::path* SampleLibrary::folder_ = nullptr;
std::vector<std::string>* SampleLibrary::lines_ = nullptr;
bool SampleLibrary::written_ = false;

TEST_F(SampleLibrary, PlanCoversEveryKindIndexStyleAndLayout) {
  std::set<std::string> kinds;
  std::set<int> indexStyles;
  bool segmented = false, fullSize = false;
  for (const samples::RecordingPlan& plan : samples::libraryPlan()) {
    kinds.insert(kindName(plan.kind));
    indexStyles.insert(static_cast<int>(plan.index));
    segmented |= plan.segmentCount >= 3;
    fullSize |= plan.width == 640 && plan.height == 576;
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"FRM1", "FRM2", "FRM3"}));
  EXPECT_EQ(indexStyles.size(), 3u);
  EXPECT_TRUE(segmented);
  EXPECT_TRUE(fullSize);
}

TEST_F(SampleLibrary, EveryRecordingOpensAndDecodesAsPlanned) {
  ASSERT_TRUE(written_);
  EXPECT_EQ(lines_->size(), samples::libraryPlan().size() + samples::photoPlan().size());
  for (const samples::RecordingPlan& plan : samples::libraryPlan()) {
    SCOPED_TRACE(plan.name);
    const fs::path path = recordingPath(plan);
    PcvReader reader;
    ASSERT_TRUE(reader.open(path.string())) << reader.error();
    EXPECT_EQ(reader.frameCount(), kFrames);
    EXPECT_EQ(reader.segmentCount(), plan.segmentCount);

    // The index style is visible only in the files: a sidecar, a KVIDX2 trailer, or neither.
    const std::vector<uint8_t> bytes = fileBytes(path);
    ASSERT_GE(bytes.size(), 24u);
    const bool trailer = std::string(bytes.end() - 24, bytes.end() - 18) == "KVIDX2";
    EXPECT_EQ(trailer, plan.index == pcvwrite::IndexStyle::Embedded);
    EXPECT_EQ(fs::exists(path.string() + ".idx"), plan.index == pcvwrite::IndexStyle::Sidecar);

    for (size_t index : {size_t{0}, kFrames - 1}) {
      SCOPED_TRACE(index);
      FrameData frame;
      ASSERT_TRUE(reader.readFrame(index, frame, true));
      EXPECT_EQ(frame.kind, kindName(plan.kind));
      EXPECT_EQ(frame.width, plan.width);
      EXPECT_EQ(frame.height, plan.height);
      ASSERT_EQ(frame.depth.size(), size_t{plan.width} * plan.height);
      EXPECT_NEAR(frame.fx, 504.2 * plan.width / 640, 1e-3);
      EXPECT_NEAR(frame.cy, 290.4 * plan.height / 576, 1e-3);

      const size_t holes = static_cast<size_t>(std::count(frame.depth.begin(), frame.depth.end(), 0));
      EXPECT_GT(holes, frame.depth.size() / 100);      // edges, far corridor, dropouts
      EXPECT_LT(holes, frame.depth.size() * 6 / 10);   // but mostly measured
      const auto implausible = std::find_if(frame.depth.begin(), frame.depth.end(),
                                            [](uint16_t sample) { return sample != 0 && (sample < 200 || sample > 5400); });
      EXPECT_TRUE(implausible == frame.depth.end()) << *implausible;

      EXPECT_EQ(reader.hasRgb(index), plan.kind == pcvwrite::FrameKind::Frm3);
      if (plan.kind != pcvwrite::FrameKind::Frm3) {
        EXPECT_TRUE(frame.rgbJpeg.empty());
        continue;
      }
      int width = 0, height = 0, channels = 0;
      stbi_uc* pixels = stbi_load_from_memory(frame.rgbJpeg.data(), static_cast<int>(frame.rgbJpeg.size()), &width,
                                              &height, &channels, 3);
      ASSERT_NE(pixels, nullptr) << stbi_failure_reason();
      EXPECT_EQ(width, 640);
      EXPECT_EQ(height, 360);
      EXPECT_EQ(channels, 3);
      stbi_image_free(pixels);
    }
  }
}

TEST_F(SampleLibrary, PhotoPlanHasColourPicturesAndALegacyPair) {
  size_t pcp = 0, legacy = 0, colour = 0;
  bool fullSizePicture = false;
  for (const samples::PhotoPlan& plan : samples::photoPlan()) {
    (plan.form == samples::PhotoForm::Pcp ? pcp : legacy) += 1;
    colour += plan.colorMode && plan.form == samples::PhotoForm::Pcp;
    fullSizePicture |= plan.width == 640 && plan.height == 576 && plan.pictureWidth == 1280 && plan.pictureHeight == 1152;
  }
  EXPECT_GE(pcp, 2u);
  EXPECT_EQ(legacy, 1u);
  EXPECT_GE(colour, 1u);
  EXPECT_TRUE(fullSizePicture);
}

TEST_F(SampleLibrary, EveryPhotoLoadsWithColouredPointsInRange) {
  ASSERT_TRUE(written_);
  for (const samples::PhotoPlan& plan : samples::photoPlan()) {
    SCOPED_TRACE(plan.name);
    const samples::PhotoFiles files = samples::photoFiles(folder_->string(), plan);
    pcp::CaptureData capture;
    const bool isPcp = plan.form == samples::PhotoForm::Pcp;
    ASSERT_TRUE(isPcp ? pcp::loadPcp(files.capture, "", capture) : pcp::loadLegacy(files.capture, files.json, capture))
        << capture.error;
    EXPECT_TRUE(capture.error.empty()) << capture.error;
    EXPECT_EQ(capture.isPcp, isPcp);
    EXPECT_EQ(capture.hasViewFov, isPcp);  // PCP samples use the newer camera model, legacy the older
    EXPECT_EQ(capture.depthWidth, plan.width);
    EXPECT_EQ(capture.depthHeight, plan.height);
    EXPECT_EQ(capture.metadata["color_mode"], plan.colorMode);
    EXPECT_NEAR(pcp::jsonFloat(capture.metadata, "fx", 0), 504.2 * plan.width / 640, 1e-3);

    const size_t pixels = size_t{plan.width} * plan.height;
    EXPECT_GT(capture.points.size(), pixels * 4 / 10);  // mostly measured, as the recordings are
    EXPECT_LT(capture.points.size(), pixels * 99 / 100);
    ASSERT_EQ(capture.pixelIndices.size(), capture.points.size());
    EXPECT_TRUE(std::is_sorted(capture.pixelIndices.begin(), capture.pixelIndices.end()));
    for (const pcp::Vec3& point : capture.points) {
      ASSERT_GE(point.z, 0.2f);
      ASSERT_LE(point.z, 5.4f);
      ASSERT_LT(std::fabs(point.x), point.z * 1.5f);  // inside the camera's field of view
      ASSERT_LT(std::fabs(point.y), point.z * 1.5f);
    }

    // The legacy texture is read only in colour mode; PCP pictures always give colours.
    if (!isPcp && !plan.colorMode) continue;
    ASSERT_EQ(capture.colors.size(), capture.points.size());
    double brightest = 0, darkest = 3;
    for (const pcp::Vec3& colour : capture.colors) {
      brightest = std::max<double>(brightest, colour.x + colour.y + colour.z);
      darkest = std::min<double>(darkest, colour.x + colour.y + colour.z);
    }
    EXPECT_GT(brightest - darkest, 0.5);  // a lit, shaded scene, not one flat colour
  }
}

// A loader refuses recordings whose frames disagree with frame 0; the samples must pass.
TEST_F(SampleLibrary, MetadataIsConsecutiveAndConsistentWithFrameZero) {
  ASSERT_TRUE(written_);
  for (const samples::RecordingPlan& plan : samples::libraryPlan()) {
    SCOPED_TRACE(plan.name);
    PcvReader reader;
    ASSERT_TRUE(reader.open(recordingPath(plan).string())) << reader.error();
    const nlohmann::json base = nlohmann::json::parse(reader.baseMetaJson(), nullptr, false);
    ASSERT_TRUE(base.is_object());
    EXPECT_EQ(base["recorded_fps"], 24);
    EXPECT_EQ(base["depth_width"], plan.width);
    EXPECT_EQ(base["depth_height"], plan.height);
    const int64_t firstClock = clockOf(base["timecode"].get<std::string>());
    EXPECT_EQ(firstClock, plan.startClock);
    for (size_t i = 0; i < reader.frameCount(); ++i) {
      SCOPED_TRACE(i);
      std::string text;
      ASSERT_TRUE(reader.readMeta(i, text));
      const nlohmann::json meta = nlohmann::json::parse(text, nullptr, false);
      ASSERT_TRUE(meta.is_object());
      EXPECT_EQ(meta["capture_index"].get<uint64_t>(), base["capture_index"].get<uint64_t>() + i);
      EXPECT_EQ(clockOf(meta["timecode"].get<std::string>()), firstClock + static_cast<int64_t>(i));
      for (const char* key : {"depth_width", "depth_height", "recorded_fps"}) EXPECT_EQ(meta[key], base[key]) << key;
    }
  }
}

// Also with another thread count: the split of frames between threads must not change a byte.
TEST_F(SampleLibrary, RepeatedRunsWriteIdenticalBytes) {
  ASSERT_TRUE(written_);
  const fs::path again = freshFolder("samples-again");
  samples::LibraryOptions options;
  options.maxFramesPerRecording = kFrames;
  options.threads = 1;
  std::vector<std::string> written;
  std::string error;
  ASSERT_TRUE(samples::writeLibrary(again.string(), options, written, error)) << error;
  EXPECT_EQ(written, *lines_);

  std::set<std::string> names, namesAgain;
  for (const fs::directory_entry& entry : fs::directory_iterator(*folder_)) names.insert(entry.path().filename());
  for (const fs::directory_entry& entry : fs::directory_iterator(again)) namesAgain.insert(entry.path().filename());
  EXPECT_EQ(names, namesAgain);
  for (const std::string& name : names) EXPECT_TRUE(fileBytes(*folder_ / name) == fileBytes(again / name)) << name;
  fs::remove_all(again);
}

struct RunResult {
  int status = -1;
  std::string output;
};

RunResult runSamplesTool(const std::vector<std::string>& arguments) {
  const char* buildDir = std::getenv("TESSALINE_BUILD_DIR");
  std::string command = std::string(buildDir ? buildDir : ".") + "/tools/tessaline-samples";
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  command += " 2>&1";
  RunResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(SamplesTool, RefusesBadOutputFoldersWithAMessage) {
  const fs::path scratch = freshFolder("samples-tool");
  std::ofstream(scratch / "notes.txt") << "keep me";

  const RunResult nonEmpty = runSamplesTool({scratch.string()});
  EXPECT_EQ(nonEmpty.status, 1);
  EXPECT_NE(nonEmpty.output.find("not empty"), std::string::npos) << nonEmpty.output;

  const RunResult underAFile = runSamplesTool({(scratch / "notes.txt" / "library").string()});
  EXPECT_EQ(underAFile.status, 1);
  EXPECT_NE(underAFile.output.find("Cannot create"), std::string::npos) << underAFile.output;

  EXPECT_EQ(runSamplesTool({}).status, 1);
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(scratch), fs::directory_iterator()).size(), 1u);
  fs::remove_all(scratch);
}

}  // namespace
