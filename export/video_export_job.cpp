// The video half of an export job: a recording rendered frame by frame into a PNG sequence or
// through ffmpeg into an MP4 or MOV (plus the RGB track), placed as a new folder and recorded as
// a version in the recording's project file.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "clock_index.h"
#include "directory_listing.h"
#include "export_job_context.h"
#include "ffmpeg.h"
#include "pcv_reader.h"
#include "project_file.h"
#include "tracks.h"
#include "video_export_pipeline.h"
#include "video_renderer.h"

namespace media {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

enum VideoFormat : int { kPngSequence = 0, kMp4 = 1, kMov = 2 };

const char* const kProjectSaveFailed = "影像已导出，版本保存失败：";
// Frame indices reach the renderer as int.
constexpr int64_t kMaxFrameCount = std::numeric_limits<int>::max();
constexpr int64_t kMinBitrate = 1;
constexpr int64_t kMaxBitrate = 1000;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

int64_t secondsSince1970() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t microsecondsSince1970() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

const char* formatName(int format) {
  switch (format) {
    case kPngSequence:
      return "png_sequence";
    case kMp4:
      return "mp4";
    default:
      return "mov";
  }
}

std::string pngFrameName(int64_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "frame_%08lld.png", static_cast<long long>(index));
  return name;
}

// rename(2) replaces an empty directory of the same name; the output must never replace anything.
// Folders that cannot refuse to replace (some network and FUSE file systems) get a plain rename
// when the name is free: the name is unique by time and process id.
void renameWithoutReplacing(const fs::path& from, const fs::path& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  int error = errno;
  if (error == EINVAL || error == ENOSYS) {
    std::error_code status;
    if (fs::symlink_status(to, status).type() != fs::file_type::not_found) {
      error = EEXIST;
    } else if (std::rename(from.c_str(), to.c_str()) == 0) {
      return;
    } else {
      error = errno;
    }
  }
  throw fs::filesystem_error("rename", from, to, std::error_code(error, std::generic_category()));
}

// Everything the job document says about one video export, read and checked.
struct VideoJob {
  std::string source;
  int width = 0;
  int height = 0;
  std::string note;
  fs::path directory;
  std::string fingerprint;
  json parameters;
  std::string version;
  bool rgb = false;
  bool flipX = false;
  bool flipY = false;
  bool rgbFlipX = false;
  bool rgbFlipY = false;
  int bitrate = 100;

  // The common checks bounded width and height to the texture limit.
  explicit VideoJob(const json& job)
      : source(jobString(job, "source")),
        width(static_cast<int>(jobInteger(job, "width"))),
        height(static_cast<int>(jobInteger(job, "height"))),
        note(jobString(job, "note", "")),
        directory(jobString(job, "directory")),
        fingerprint(jobString(job, "fingerprint")),
        parameters(job.value("parameters", json())),
        version(jobString(job, "version", "")),
        rgb(jobBoolean(job, "rgb", false)),
        flipX(jobBoolean(job, "flip_x", false)),
        flipY(jobBoolean(job, "flip_y", false)),
        rgbFlipX(jobBoolean(job, "rgb_flip_x", false)),
        rgbFlipY(jobBoolean(job, "rgb_flip_y", false)),
        bitrate(static_cast<int>(std::clamp(jobInteger(job, "bitrate", 100), kMinBitrate, kMaxBitrate))) {}
};

// Opens the recording and builds its clock index, reporting both stages.
void openRecording(ExportJobContext& context, const std::string& source, PcvReader& reader,
                   pcv0930::ClockIndex& clock) {
  const bool opened = reader.open(source, [&context](uint64_t done, uint64_t total, size_t, size_t) {
    const double part = total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
    context.report("建立帧索引", 0.01 + 0.14 * part);
    return !context.cancelled();
  });
  if (!opened) {
    context.throwIfCancelled();
    fail(reader.error());
  }
  if (reader.frameCount() == 0 || reader.frameCount() > static_cast<size_t>(kMaxFrameCount)) fail("视频帧数无效");

  const bool built = clock.build(reader, [&context](size_t done, size_t total) {
    const double part = total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
    context.report("读取时间码与 RGB", 0.15 + 0.15 * part);
    return !context.cancelled();
  });
  if (!built) {
    context.throwIfCancelled();
    fail("视频时间索引读取失败");
  }
}

// The source's fingerprint as the folder listing sees it now; fails when it is not the job's.
std::string checkedFingerprint(ExportJobContext& context, const VideoJob& job) {
  const pcv0930::Directory listing =
      pcv0930::listDirectory(fs::path(job.source).parent_path().string(), [&context] { return context.cancelled(); });
  context.throwIfCancelled();
  for (const pcv0930::MediaItem& item : listing.items) {
    if (item.photo || item.path != job.source) continue;
    if (item.fingerprint != job.fingerprint) break;
    return item.fingerprint;
  }
  fail("视频源文件已改变，请重新加入任务");
}

// The encoders (or the PNG folder) a video export writes to, used from the writer thread only
// while frames flow.
class FrameOutput {
 public:
  FrameOutput(int format, const fs::path& staging, const std::string& prefix, const VideoJob& job)
      : format_(format), staging_(staging) {
    if (format_ == kPngSequence) return;
    const std::string log = (staging / "ffmpeg.log").string();
    const std::string video = (staging / (prefix + (format_ == kMp4 ? ".mp4" : ".mov"))).string();
    rgbCommand_ = jobRgbCommand(job.rgbFlipX, job.rgbFlipY, (staging / (prefix + "_rgb.mp4")).string(), log);
    if (!video_.open(jobVideoCommand(format_, job.width, job.height, job.bitrate, video, log))) {
      fail("无法启动视频编码器");
    }
  }

  std::string write(const RenderedFrame& frame) {
    if (format_ == kPngSequence) {
      if (!savePng((staging_ / pngFrameName(frame.index)).string(), frame.image)) return "PNG 序列写入失败";
    } else if (!video_.write(frame.image.pixels.data(), frame.image.pixels.size())) {
      return "视频编码失败";
    }
    if (frame.rgbJpeg.empty()) return {};
    // Started at the first picture, so a range without pictures never starts it.
    if (!rgb_.opened() && !rgb_.open(rgbCommand_)) return "无法启动 RGB 编码器";
    if (!rgb_.write(frame.rgbJpeg.data(), frame.rgbJpeg.size())) return "RGB 导出失败";
    return {};
  }

  // Both encoders closed; true when each that ran ended with status 0.
  bool closeEncoders() {
    const int videoStatus = video_.close();
    const int rgbStatus = rgb_.close();
    return videoStatus == 0 && rgbStatus == 0;
  }

 private:
  int format_;
  fs::path staging_;
  std::string rgbCommand_;
  PipeStream video_;
  PipeStream rgb_;
};

struct FrameRange {
  int64_t start = 0;
  int64_t end = 0;
  int64_t count() const { return end - start + 1; }
};

FrameRange checkedRange(const json& job, int64_t frameCount) {
  FrameRange range;
  range.start = jobInteger(job, "start", 0);
  range.end = jobInteger(job, "end", frameCount - 1);
  if (range.end < 0) range.end = frameCount - 1;
  if (range.start < 0 || range.start > range.end || range.end >= frameCount) fail("导出区间超出素材范围");
  return range;
}

// Renders every frame of the range on this thread and hands it to the writer thread, with its RGB
// picture when there is an RGB track.
void exportFrames(ExportJobContext& context, const VideoJob& job, const FrameRange& range, PcvReader& reader,
                  const ProjectTracks& tracks, FrameOutput& output, bool rgbTrack) {
  FrameWriterThread writer([&output](RenderedFrame& frame) { return output.write(frame); });
  FrameData frame;
  for (int64_t i = range.start; i <= range.end; ++i) {
    // A frame the writer already failed on stops the export before anything of a later frame.
    if (const std::string failure = writer.error(); !failure.empty()) fail(failure);
    context.throwIfCancelled();
    if (!reader.readFrame(static_cast<size_t>(i), frame, rgbTrack)) fail("读取第 " + std::to_string(i) + " 帧失败");
    RenderParams params = paramsForFrameIndex(static_cast<int>(i), frame, reader.baseMetaJson(), tracks);
    params.point_size = params.render_point_size;
    RenderedFrame rendered;
    rendered.index = i;
    rendered.image = renderGpuFrameToImage(frame, params, job.width, job.height, job.flipX, job.flipY);
    if (!rendered.image.complete()) fail("渲染结果为空");
    rendered.rgbJpeg = std::move(frame.rgbJpeg);
    if (!writer.push(std::move(rendered))) fail(writer.error());
    const int64_t done = i - range.start + 1;
    context.report("导出 " + std::to_string(done) + " / " + std::to_string(range.count()) + " 帧",
                   0.30 + 0.65 * static_cast<double>(done) / static_cast<double>(range.count()));
  }
  const std::string failure = writer.finish();
  if (!failure.empty()) fail(failure);
  context.report("完成编码", 0.96);
}

// The export record of a finished export, as the version entry keeps it.
json exportRecord(const VideoJob& job, const FrameRange& range, const pcv0930::ClockIndex& clock, int format,
                  const std::string& fingerprint, bool rgbTrack, const std::string& output) {
  return json{{"start_frame", range.start},
              {"end_frame", range.end},
              {"frame_index_base", 0},
              {"range_inclusive", true},
              {"start_time", clock.text(range.start)},
              {"end_time", clock.text(range.end)},
              {"start_is_timecode", clock.isTC(range.start)},
              {"end_is_timecode", clock.isTC(range.end)},
              {"format", formatName(format)},
              {"source_fingerprint", fingerprint},
              {"width", job.width},
              {"height", job.height},
              {"flip_x", job.flipX},
              {"flip_y", job.flipY},
              {"rgb", rgbTrack},
              {"rgb_flip_x", job.rgbFlipX},
              {"rgb_flip_y", job.rgbFlipY},
              {"completed_at", secondsSince1970()},
              {"output", output}};
}

// Records the export in the project file; returns the version name.
std::string recordVersion(const VideoJob& job, const std::string& prefix, int64_t frameCount, json record,
                          int64_t coverFrame) {
  pcv0930::ProjectFile project;
  if (!project.load(job.source)) fail("影像已导出，项目文件读取失败：" + project.error);

  std::string name = matchingProjectVersion(project, job.parameters, job.version, job.note);
  if (name.empty()) {
    const uint64_t largest = largestVersionNumber(project.root, prefix);
    if (largest == std::numeric_limits<uint64_t>::max()) fail(std::string(kProjectSaveFailed) + kVersionNumbersExhausted);
    name = prefix + "_" + std::to_string(largest + 1);
    json entry = job.parameters;
    entry["timestamp"] = secondsSince1970();
    project.root[name] = std::move(entry);
  } else if (!project.root.contains(name)) {
    project.root[name] = job.parameters;  // the first record of "原始版本"
  }

  json& entry = project.root[name];
  entry["fps"] = 24;
  entry["total_frames"] = frameCount;
  json& editor = entry["editor_0930"];
  if (!editor.is_object()) editor = json::object();
  editor["schema_version"] = 1;
  editor["note"] = job.note;
  editor["note_updated_at"] = secondsSince1970();
  editor["last_successful_export"] = std::move(record);
  editor["cover"] = {{"frame_index", coverFrame}, {"source", "export"}, {"renderer_version", 2}};
  if (!project.write()) fail(kProjectSaveFailed + project.error);
  return name;
}

}  // namespace

ExportJobResult runVideoExportJob(ExportJobContext& context, const json& document) {
  const VideoJob job(document);

  PcvReader reader;
  pcv0930::ClockIndex clock;
  openRecording(context, job.source, reader, clock);
  const int64_t frameCount = static_cast<int64_t>(reader.frameCount());
  const std::string fingerprint = checkedFingerprint(context, job);
  const FrameRange range = checkedRange(document, frameCount);

  const int64_t requestedFormat = jobInteger(document, "format", kMp4);
  if (requestedFormat != kPngSequence && requestedFormat != kMp4 && requestedFormat != kMov) fail("导出格式无效");
  const int format = static_cast<int>(requestedFormat);
  if (format != kPngSequence) {
    if (job.width % 2 != 0 || job.height % 2 != 0) fail("视频编码的宽度和高度必须为偶数");
    if (ffmpegPath().empty()) fail("视频导出组件不可用");
  }

  if (!pcv0930::validVersion(job.parameters)) fail("视频版本参数无效");
  ProjectTracks tracks;
  jsonToTracks(job.parameters.value("tracks", json()), tracks);

  const std::string prefix = buildProjectPrefixFromPcv(job.source);
  const fs::path finalPath = job.directory / (prefix + "_" + std::to_string(microsecondsSince1970()) + "_" +
                                              std::to_string(static_cast<long long>(getpid())));
  fs::path staging = finalPath;
  staging += ".partial";
  std::error_code createError;
  if (!fs::create_directory(staging, createError)) fail("无法建立导出目录");
  context.setStaging(staging);

  const bool rgbTrack = job.rgb && format != kPngSequence && clock.rgbCount(range.start, range.end) > 0;
  {
    FrameOutput output(format, staging, prefix, job);
    exportFrames(context, job, range, reader, tracks, output, rgbTrack);
    if (!output.closeEncoders()) fail("视频编码器未成功结束");
  }

  context.throwIfCancelled();
  renameWithoutReplacing(staging, finalPath);
  context.setPlaced(finalPath.string());

  const json record = exportRecord(job, range, clock, format, fingerprint, rgbTrack, finalPath.string());
  return {finalPath.string(), recordVersion(job, prefix, frameCount, record, range.start)};
}

}  // namespace media
