#include "ffmpeg.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "child_process.h"
#include "platform_paths.h"

namespace {

std::string& processFfmpegPath() {
  static std::string path;
  return path;
}

int closePipe(FILE*& file) {
  const int result = pclose(file);
  file = nullptr;
  return decodeExitStatus(result);
}

// Start of both job video command lines: raw RGB frames at 24 per second from standard input.
std::string rawRgbInput(int width, int height) {
  return shellQuote(ffmpegPath()) + " -nostdin -y -f rawvideo -pix_fmt rgb24 -s " + std::to_string(width) + "x" +
         std::to_string(height) + " -r 24 -i - ";
}

}  // namespace

std::vector<std::filesystem::path> ffmpegCandidates() {
  std::vector<std::filesystem::path> candidates;
  const std::string executable = platform::executablePath();
  if (!executable.empty()) candidates.push_back(std::filesystem::path(executable).parent_path() / "ffmpeg");
  for (const char* installed : {"/opt/homebrew/bin/ffmpeg", "/usr/local/bin/ffmpeg", "/usr/bin/ffmpeg"}) {
    candidates.emplace_back(installed);
  }
  return candidates;
}

std::string findFfmpegPath() { return findFfmpegPath(ffmpegCandidates()); }

std::string findFfmpegPath(const std::vector<std::filesystem::path>& candidates) {
  for (const std::filesystem::path& candidate : candidates) {
    if (isCompatibleFfmpeg(candidate)) return candidate.string();
  }
  return {};
}

bool isCompatibleFfmpeg(const std::filesystem::path& path) {
  // access() also refuses a missing path; a folder passes it but fails to run.
  if (access(path.c_str(), X_OK) != 0) return false;
  const std::string command = shellQuote(path.string()) + " -hide_banner -version >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

const std::string& ffmpegPath() { return processFfmpegPath(); }

void setFfmpegPath(const std::string& path) { processFfmpegPath() = path; }

bool hasFfmpeg() {
  std::string& path = processFfmpegPath();
  if (path.empty()) path = findFfmpegPath();
  if (path.empty()) return false;
  return isCompatibleFfmpeg(path);
}

int decodeExitStatus(int pcloseResult) {
  if (pcloseResult == -1) return -1;
  const int low = pcloseResult & 0x7F;
  if (low == 0x7F) return pcloseResult;
  if (low != 0) return low + 128;
  return (pcloseResult >> 8) & 0xFF;
}

PipeStream::~PipeStream() {
  if (file_ != nullptr) exitStatus_ = closePipe(file_);
}

bool PipeStream::open(const std::string& command) {
  if (file_ != nullptr) closePipe(file_);
  exitStatus_ = 0;
  std::signal(SIGPIPE, SIG_IGN);
  file_ = popen(command.c_str(), "w");
  opened_ = file_ != nullptr;
  return opened_;
}

bool PipeStream::write(const void* data, size_t length) {
  if (file_ == nullptr) return false;
  if (std::fwrite(data, 1, length, file_) == length) return true;
  exitStatus_ = closePipe(file_);
  return false;
}

int PipeStream::close() {
  if (file_ != nullptr) exitStatus_ = closePipe(file_);
  return exitStatus_;
}

VideoEncoderNames videoEncoderNamesFromListing(const std::string& listing) {
  // Each encoder line reads " V....D name   description": the name is the second word.
  std::vector<std::string> listed;
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string flags;
    std::string name;
    if (words >> flags >> name) listed.push_back(name);
  }
  const auto lists = [&](const char* name) { return std::find(listed.begin(), listed.end(), name) != listed.end(); };
  VideoEncoderNames names;
  if (lists("hevc_videotoolbox")) names.hevc = "hevc_videotoolbox";
  if (lists("prores_videotoolbox")) names.prores = "prores_videotoolbox";
  return names;
}

const VideoEncoderNames& videoEncoderNames() {
  static const VideoEncoderNames names = [] {
    std::string listing;
    if (!ffmpegPath().empty()) platform::runForOutput({ffmpegPath(), "-hide_banner", "-encoders"}, listing);
    return videoEncoderNamesFromListing(listing);
  }();
  return names;
}

std::string jobVideoCommand(int format, int width, int height, int bitrateMbps, const std::string& videoFile,
                            const std::string& logFile) {
  const VideoEncoderNames& encoders = videoEncoderNames();
  std::string encoding;
  if (format == 2) {
    encoding = "-vf format=yuv422p10le -c:v " + encoders.prores + " -profile:v 3 ";
  } else {
    encoding = "-vf format=gray -c:v " + encoders.hevc + " -b:v " + std::to_string(std::clamp(bitrateMbps, 1, 1000)) +
               "M -tag:v hvc1 -pix_fmt yuv420p ";
  }
  return rawRgbInput(width, height) + encoding + shellQuote(videoFile) + " 2> " + shellQuote(logFile);
}

std::string jobRgbCommand(bool flipX, bool flipY, const std::string& rgbFile, const std::string& logFile) {
  std::string filter = flipX ? "hflip" : "null";
  if (flipY) filter += ",vflip";
  return shellQuote(ffmpegPath()) + " -nostdin -y -f mjpeg -r 24 -i - -vf " + shellQuote(filter) +
         " -c:v libx264 -b:v 2M -pix_fmt yuv420p " + shellQuote(rgbFile) + " 2>> " + shellQuote(logFile);
}
