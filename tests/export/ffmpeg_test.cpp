#include "ffmpeg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export_job_support.h"
#include "sample_scene.h"

namespace fs = std::filesystem;

namespace {

using exportjobtest::readFile;
using exportjobtest::writeScript;

constexpr const char* kSystemFfmpeg = "/usr/bin/ffmpeg";

// Standard output of a shell command; `status` gets its decoded exit status.
std::string shellOutput(const std::string& command, int* status = nullptr) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
  const int result = decodeExitStatus(pclose(pipe));
  if (status) *status = result;
  return output;
}

constexpr fs::perms kExecutable = fs::perms::owner_all;
constexpr fs::perms kNotExecutable = fs::perms::owner_read | fs::perms::owner_write;

// Restores the process-wide ffmpeg path after a test changed it.
class FfmpegPathTest : public ::testing::Test {
 protected:
  void TearDown() override { setFfmpegPath(saved_); }
  testsupport::TempFolder temp;

 private:
  std::string saved_ = ffmpegPath();
};

TEST(ShellQuote, QuotesForThePosixShell) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "''"},
      {"/tmp/clip.mp4", "'/tmp/clip.mp4'"},
      {"/Volumes/It's Here/x.mov", "'/Volumes/It'\\''s Here/x.mov'"},
      {"''", "''\\'''\\'''"},
      {"/素材/深度 视频.mov", "'/素材/深度 视频.mov'"},
  };
  for (const auto& [text, quoted] : cases) EXPECT_EQ(shellQuote(text), quoted) << text;
}

TEST(ShellQuote, TheShellGetsTheTextBack) {
  for (const std::string text : {"It's $HOME `id` \"x\" \\n; rm -rf /tmp/nothing &", "/照片/a'b\nc*?", "-n"}) {
    EXPECT_EQ(shellOutput("printf '%s' " + shellQuote(text)), text);
  }
}

TEST(DecodeExitStatus, DecodesEveryKindOfEnd) {
  struct Case {
    int raw;
    int decoded;
  };
  const Case cases[] = {
      {-1, -1},            // close failed
      {0, 0},              // success
      {1 << 8, 1},         // exit 1
      {255 << 8, 255},     // exit 255
      {9, 137},            // SIGKILL
      {15, 143},           // SIGTERM
      {9 | 0x80, 137},     // SIGKILL with a core dump
      {(19 << 8) | 0x7F, (19 << 8) | 0x7F},  // stopped: unchanged
  };
  for (const Case& c : cases) EXPECT_EQ(decodeExitStatus(c.raw), c.decoded) << c.raw;
}

TEST(DecodeExitStatus, RealShellResults) {
  EXPECT_EQ(decodeExitStatus(std::system("exit 3")), 3);
  EXPECT_EQ(decodeExitStatus(std::system("kill -9 $$")), 137);
}

TEST_F(FfmpegPathTest, CompatibilityOfCandidates) {
  const fs::path quoted = temp / "It's 工具";
  fs::create_directories(quoted);
  // A real ffmpeg is asked for its version with these exact options.
  writeScript(quoted / "working", "[ \"$1\" = -hide_banner ] && [ \"$2\" = -version ] && [ $# = 2 ]", kExecutable);
  writeScript(temp / "broken", "exit 1", kExecutable);
  writeScript(temp / "not-executable", "exit 0", kNotExecutable);
  fs::create_directories(temp / "folder");

  EXPECT_TRUE(isCompatibleFfmpeg(quoted / "working"));
  EXPECT_FALSE(isCompatibleFfmpeg(temp / "broken"));
  EXPECT_FALSE(isCompatibleFfmpeg(temp / "not-executable"));
  EXPECT_FALSE(isCompatibleFfmpeg(temp / "missing"));
  EXPECT_FALSE(isCompatibleFfmpeg(temp / "folder"));
  EXPECT_FALSE(isCompatibleFfmpeg(""));

  const std::vector<fs::path> candidates = {temp / "missing", temp / "not-executable", temp / "folder",
                                            temp / "broken", quoted / "working", kSystemFfmpeg};
  EXPECT_EQ(findFfmpegPath(candidates), (quoted / "working").string());
  EXPECT_EQ(findFfmpegPath({temp / "missing", temp / "broken", temp / "not-executable"}), "");
  EXPECT_EQ(findFfmpegPath({}), "");
}

TEST_F(FfmpegPathTest, TheInstalledFfmpegIsFoundAndAccepted) {
  const std::vector<fs::path> candidates = ffmpegCandidates();
  ASSERT_EQ(candidates.size(), 4u);
  EXPECT_EQ(candidates[0].filename(), "ffmpeg");
  EXPECT_EQ(candidates[1], "/opt/homebrew/bin/ffmpeg");
  EXPECT_EQ(candidates[2], "/usr/local/bin/ffmpeg");
  EXPECT_EQ(candidates[3], kSystemFfmpeg);

  EXPECT_TRUE(isCompatibleFfmpeg(kSystemFfmpeg));
  const std::string found = findFfmpegPath();
  ASSERT_FALSE(found.empty());
  EXPECT_TRUE(isCompatibleFfmpeg(found));
}

TEST_F(FfmpegPathTest, HasFfmpegFillsAnEmptyPathAndRetestsAStoredOne) {
  setFfmpegPath("");
  EXPECT_TRUE(hasFfmpeg());
  EXPECT_EQ(ffmpegPath(), findFfmpegPath());

  const fs::path vanishing = temp / "ffmpeg";
  writeScript(vanishing, "exit 0", kExecutable);
  setFfmpegPath(vanishing.string());
  EXPECT_TRUE(hasFfmpeg());
  fs::remove(vanishing);
  EXPECT_FALSE(hasFfmpeg());
  EXPECT_EQ(ffmpegPath(), vanishing.string());  // not cleared
}

TEST_F(FfmpegPathTest, PipeStreamDeliversEveryByteAndWaits) {
  const fs::path output = temp / "out 'piped'.bin";
  std::string payload(300000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);

  PipeStream pipe;
  EXPECT_FALSE(pipe.write("x", 1));  // nothing attached
  EXPECT_FALSE(pipe.opened());
  ASSERT_TRUE(pipe.open("cat > " + shellQuote(output.string())));
  EXPECT_TRUE(pipe.opened());
  EXPECT_TRUE(pipe.attached());
  EXPECT_TRUE(pipe.write(payload.data(), payload.size()));
  EXPECT_EQ(pipe.close(), 0);
  EXPECT_FALSE(pipe.attached());
  EXPECT_TRUE(pipe.opened());  // tells that an encoder was started
  EXPECT_EQ(readFile(output), payload);

  // The destructor closes and waits too.
  const fs::path second = temp / "second.bin";
  {
    PipeStream scoped;
    ASSERT_TRUE(scoped.open("sleep 0.2; cat > " + shellQuote(second.string())));
    ASSERT_TRUE(scoped.write("done", 4));
  }
  EXPECT_EQ(readFile(second), "done");
}

TEST_F(FfmpegPathTest, PipeStreamReportsHowTheEncoderEnded) {
  PipeStream killed;
  ASSERT_TRUE(killed.open("kill -9 $$"));
  EXPECT_EQ(killed.close(), 137);
  EXPECT_EQ(killed.exitStatus(), 137);

  // A write to an encoder that has gone fails, closes it and keeps its status.
  PipeStream gone;
  ASSERT_TRUE(gone.open("exit 3"));
  const std::vector<char> frame(4 << 20, 'x');
  EXPECT_FALSE(gone.write(frame.data(), frame.size()));
  EXPECT_FALSE(gone.attached());
  EXPECT_EQ(gone.exitStatus(), 3);
  EXPECT_FALSE(gone.write(frame.data(), 1));

  // Reopening drops the previous encoder's status unrecorded.
  PipeStream reused;
  ASSERT_TRUE(reused.open("exit 5"));
  ASSERT_TRUE(reused.open("exit 0"));
  EXPECT_EQ(reused.exitStatus(), 0);
  EXPECT_EQ(reused.close(), 0);
}

TEST(VideoEncoderNames, HardwareEncodersWhenListedElseSoftware) {
  const std::string hardware =
      "Encoders:\n V..... = Video\n ------\n V....D libx265              libx265 H.265 / HEVC\n"
      " V....D hevc_videotoolbox    VideoToolbox H.265 Encoder (codec hevc)\n"
      " VFS... prores_ks            Apple ProRes (iCodec Pro) (codec prores)\n"
      " V....D prores_videotoolbox  VideoToolbox ProRes Encoder (codec prores)\n";
  const VideoEncoderNames withHardware = videoEncoderNamesFromListing(hardware);
  EXPECT_EQ(withHardware.hevc, "hevc_videotoolbox");
  EXPECT_EQ(withHardware.prores, "prores_videotoolbox");

  // A name only mentioned in a description does not count.
  const VideoEncoderNames mentioned =
      videoEncoderNamesFromListing(" V....D libx265  not hevc_videotoolbox\n V....D hevc_videotoolbox_x  other\n");
  EXPECT_EQ(mentioned.hevc, "libx265");
  EXPECT_EQ(mentioned.prores, "prores_ks");
  EXPECT_EQ(videoEncoderNamesFromListing("").hevc, "libx265");

  const VideoEncoderNames installed =
      videoEncoderNamesFromListing(shellOutput(std::string(kSystemFfmpeg) + " -hide_banner -encoders"));
  EXPECT_EQ(installed.hevc, "libx265");
  EXPECT_EQ(installed.prores, "prores_ks");
}

TEST_F(FfmpegPathTest, JobCommandLines) {
  setFfmpegPath("/opt/It's/ffmpeg");
  const VideoEncoderNames& encoders = videoEncoderNames();
  const std::string head = "'/opt/It'\\''s/ffmpeg' -nostdin -y -f rawvideo -pix_fmt rgb24 -s 640x576 -r 24 -i - ";
  const std::string tail = "'/out/视频 1.mp4' 2> '/out/ffmpeg.log'";
  const auto mp4 = [&](const std::string& rate) {
    return head + "-vf format=gray -c:v " + encoders.hevc + " -b:v " + rate + "M -tag:v hvc1 -pix_fmt yuv420p " + tail;
  };
  EXPECT_EQ(jobVideoCommand(1, 640, 576, 100, "/out/视频 1.mp4", "/out/ffmpeg.log"), mp4("100"));
  EXPECT_EQ(jobVideoCommand(1, 640, 576, 0, "/out/视频 1.mp4", "/out/ffmpeg.log"), mp4("1"));
  EXPECT_EQ(jobVideoCommand(1, 640, 576, -7, "/out/视频 1.mp4", "/out/ffmpeg.log"), mp4("1"));
  EXPECT_EQ(jobVideoCommand(1, 640, 576, 5000, "/out/视频 1.mp4", "/out/ffmpeg.log"), mp4("1000"));
  EXPECT_EQ(jobVideoCommand(2, 640, 576, 5000, "/out/a.mov", "/out/ffmpeg.log"),
            head + "-vf format=yuv422p10le -c:v " + encoders.prores + " -profile:v 3 '/out/a.mov' 2> '/out/ffmpeg.log'");

  const std::string rgbHead = "'/opt/It'\\''s/ffmpeg' -nostdin -y -f mjpeg -r 24 -i - -vf ";
  const std::string rgbTail = " -c:v libx264 -b:v 2M -pix_fmt yuv420p '/out/rgb.mp4' 2>> '/out/ffmpeg.log'";
  struct Flip {
    bool x;
    bool y;
    const char* filter;
  };
  for (const Flip& flip : {Flip{false, false, "'null'"}, Flip{true, false, "'hflip'"},
                           Flip{false, true, "'null,vflip'"}, Flip{true, true, "'hflip,vflip'"}}) {
    EXPECT_EQ(jobRgbCommand(flip.x, flip.y, "/out/rgb.mp4", "/out/ffmpeg.log"), rgbHead + flip.filter + rgbTail);
  }
}

// What ffprobe says about the first video stream: "codec,width,height,frames".
std::string probe(const fs::path& file) {
  return shellOutput("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                     "stream=codec_name,width,height,nb_read_frames -of csv=p=0 " +
                     shellQuote(file.string()));
}

TEST_F(FfmpegPathTest, JobCommandsEncodeWithTheRealFfmpeg) {
  setFfmpegPath(kSystemFfmpeg);
  constexpr int kWidth = 64;
  constexpr int kHeight = 48;
  std::vector<uint8_t> frame(kWidth * kHeight * 3);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i % 251);
  const std::string log = (temp / "ffmpeg.log").string();

  struct Output {
    int format;
    const char* name;
    const char* expected;
  };
  for (const Output& output : {Output{1, "视频 'a'.mp4", "hevc,64,48,3"}, Output{2, "b.mov", "prores,64,48,3"}}) {
    const fs::path file = temp / output.name;
    PipeStream encoder;
    ASSERT_TRUE(encoder.open(jobVideoCommand(output.format, kWidth, kHeight, 2, file.string(), log)));
    for (int n = 0; n < 3; ++n) ASSERT_TRUE(encoder.write(frame.data(), frame.size()));
    EXPECT_EQ(encoder.close(), 0) << readFile(log);
    EXPECT_EQ(probe(file), std::string(output.expected) + "\n") << output.name;
  }

  // The RGB track takes JPEG pictures back to back and appends to the log.
  std::ofstream(log, std::ios::app) << "video log\n";
  const std::vector<uint8_t> jpeg = samples::encodeJpeg(frame, kWidth, kHeight, 90);
  ASSERT_FALSE(jpeg.empty());
  const fs::path rgb = temp / "rgb.mp4";
  PipeStream encoder;
  ASSERT_TRUE(encoder.open(jobRgbCommand(true, true, rgb.string(), log)));
  for (int n = 0; n < 2; ++n) ASSERT_TRUE(encoder.write(jpeg.data(), jpeg.size()));
  EXPECT_EQ(encoder.close(), 0) << readFile(log);
  EXPECT_EQ(probe(rgb), "h264,64,48,2\n");
  const std::string appended = readFile(log);
  const size_t mark = appended.find("video log\n");
  ASSERT_NE(mark, std::string::npos);
  EXPECT_GT(appended.size(), mark + 10);  // the RGB encoder wrote after it

  // A bad option makes the encoder fail; its diagnostics go to the log, not to our output.
  PipeStream failing;
  ASSERT_TRUE(failing.open(jobVideoCommand(1, 0, 0, 2, (temp / "bad.mp4").string(), log)));
  failing.write(frame.data(), frame.size());
  EXPECT_NE(failing.close(), 0);
  EXPECT_FALSE(readFile(log).empty());
}

}  // namespace
