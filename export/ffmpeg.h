#pragma once
// Finding a usable ffmpeg, quoting for the shell, the pipe that feeds an encoder, and the encoder
// command lines of the export job runner. Everything here is at global scope.
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// The places looked at, in order: "ffmpeg" beside the running executable (left out when the
// executable's path is unknown), then the usual install folders. PATH is not searched.
std::vector<std::filesystem::path> ffmpegCandidates();
// The first compatible candidate, or an empty string.
std::string findFfmpegPath();
std::string findFfmpegPath(const std::vector<std::filesystem::path>& candidates);
// An existing file, executable by this user, that runs "-hide_banner -version" with status 0.
// Starts a process on every call.
bool isCompatibleFfmpeg(const std::filesystem::path& path);
// The text in single quotes for the POSIX shell; bytes are copied unchanged.
std::string shellQuote(const std::string& text);

// The process-wide ffmpeg path, empty when no usable encoder was found.
const std::string& ffmpegPath();
void setFfmpegPath(const std::string& path);
// Fills the process-wide path when it is empty, then re-tests it.
bool hasFfmpeg();

// A pclose/system result as one number: the exit code, 128 + signal for a killed process, -1 when
// closing failed, and the raw value for a stopped process.
int decodeExitStatus(int pcloseResult);

// The write end of a pipe to one encoder process started through the shell.
class PipeStream {
 public:
  PipeStream() = default;
  PipeStream(const PipeStream&) = delete;
  PipeStream& operator=(const PipeStream&) = delete;
  // Closes an attached encoder and records its status.
  ~PipeStream();

  // Starts the command; an encoder still attached is closed first without recording its status.
  bool open(const std::string& command);
  // True when all bytes were written; otherwise the encoder is closed and its status recorded.
  bool write(const void* data, size_t length);
  // Closes the pipe, waits for the encoder and returns its decoded status (also kept in
  // exitStatus). Without an attached encoder it returns the status recorded before.
  int close();

  // Decoded status of the last encoder closed through this object, 0 until then.
  int exitStatus() const { return exitStatus_; }
  // An encoder has been started since the last open; stays true after it is closed.
  bool opened() const { return opened_; }
  bool attached() const { return file_ != nullptr; }

 private:
  FILE* file_ = nullptr;
  int exitStatus_ = 0;
  bool opened_ = false;
};

// The encoders the command lines use: the hardware ones when the ffmpeg lists them, otherwise
// the software encoders that take the same options.
struct VideoEncoderNames {
  std::string hevc = "libx265";
  std::string prores = "prores_ks";
};
// Picks the names from the text that "ffmpeg -encoders" prints.
VideoEncoderNames videoEncoderNamesFromListing(const std::string& listing);
// Probes the process-wide ffmpeg once per process, at the first call.
const VideoEncoderNames& videoEncoderNames();

// Job runner encoder for format 1 (MP4, H.265; the bit rate in Mbps is clamped to 1..1000) or
// 2 (MOV, ProRes 422 HQ; no bit rate). Reads W×H×3 RGB frames from standard input and truncates
// the log.
std::string jobVideoCommand(int format, int width, int height, int bitrateMbps, const std::string& videoFile,
                            const std::string& logFile);
// Job runner RGB track encoder: reads concatenated JPEG pictures and appends to the log.
std::string jobRgbCommand(bool flipX, bool flipY, const std::string& rgbFile, const std::string& logFile);
