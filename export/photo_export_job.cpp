// The photo half of the export job: render a PCP capture as JPG or SVG, place it beside earlier
// exports without overwriting any, and record the version in the photo's sidecar.
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "export_job_context.h"
#include "photo_document.h"
#include "photo_renderer.h"
#include "project_file.h"
#include "svg_export.h"

namespace media {

namespace fs = std::filesystem;

namespace {

constexpr int kSvgFormat = 1;

// The candidate names of one export: base + extension, then base + "_export_" + k for k = 2, 3, …
class OutputName {
 public:
  OutputName(fs::path directory, std::string base, std::string extension)
      : directory_(std::move(directory)), base_(std::move(base)), extension_(std::move(extension)) {}

  fs::path path() const {
    return directory_ / (attempt_ == 1 ? base_ + extension_
                                       : base_ + "_export_" + std::to_string(attempt_) + extension_);
  }
  void next() { ++attempt_; }

 private:
  fs::path directory_;
  std::string base_;
  std::string extension_;
  uint64_t attempt_ = 1;
};

bool nameTaken(const fs::path& path) {
  std::error_code error;
  // A dangling symbolic link still takes the name.
  return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

void renderSvg(ExportJobContext& context, const pcp::CaptureData& capture, const PhotoParams& params, int width,
               int height, const fs::path& staging) {
  const std::string stage = "生成 SVG 矢量图";
  context.report(stage, 0.25);
  std::string error;
  const auto progress = [&](float fraction) {
    context.report(stage, 0.25 + 0.7 * fraction);
    return !context.cancelled();
  };
  if (!pcp::exportSvg(capture, params.nodes, params.maxDisplayDistance, params.renderPointSize, width, height,
                      staging.string(), error, progress, params.samplingRatio))
    throw std::runtime_error(error);
}

void renderJpeg(ExportJobContext& context, const pcp::CaptureData& capture, const PhotoParams& params, int width,
                int height, const fs::path& staging) {
  pcp::PointCloudRenderer renderer;
  std::string error;
  if (!renderer.initialize(error) || !renderer.upload(capture, error)) throw std::runtime_error(error);
  context.report("渲染照片", 0.25);
  std::vector<uint8_t> pixels;
  if (!renderer.renderToPixels(capture, params.nodes, params.maxDisplayDistance, params.renderPointSize, width,
                               height, pixels, error, params.samplingRatio))
    throw std::runtime_error(error);
  context.throwIfCancelled();
  context.report("写入 JPG", 0.72);
  if (!pcp::writeJpegRgba(staging.string(), width, height, pixels, static_cast<size_t>(width) * 4, error))
    throw std::runtime_error(error);
}

// Hard-links the staged file under the first free name; a name that appears meanwhile is skipped,
// never replaced. Returns the placed path.
fs::path placeOutput(ExportJobContext& context, const fs::path& staging, OutputName& name) {
  while (link(staging.c_str(), name.path().c_str()) != 0) {
    if (errno != EEXIST) throw std::runtime_error(std::string("无法提交图片：") + std::strerror(errno));
    context.throwIfCancelled();
    name.next();
  }
  std::error_code ignored;
  fs::remove(staging, ignored);
  context.setPlaced(name.path().string());
  return name.path();
}

}  // namespace

ExportJobResult runPhotoExportJob(ExportJobContext& context, const nlohmann::json& job) {
  const std::string source = jobString(job, "source");
  PhotoDocument document;
  if (!document.load(source)) throw std::runtime_error(document.error);
  if (photoFingerprint(document) != jobString(job, "fingerprint"))
    throw std::runtime_error("照片源文件已改变，请重新加入任务");

  const PhotoParams params = PhotoParams::read(document.json, jobField(job, "parameters"));
  if (!validPhotoParams(params.json())) throw std::runtime_error("照片映射节点或参数无效（支持 2–32 个节点）");
  const std::string note = jobString(job, "note", "");
  std::string versionName = document.matchingVersion(params, jobString(job, "version", ""), note);
  if (versionName.empty()) versionName = std::to_string(document.nextVersion());

  context.report("读取照片与颜色", 0.08);
  pcp::CaptureData capture;
  if (!document.capture(capture)) throw std::runtime_error(capture.error);
  context.throwIfCancelled();

  // The common checks bounded both sizes to the int range.
  const int width = static_cast<int>(jobInteger(job, "width"));
  const int height = static_cast<int>(jobInteger(job, "height"));
  const bool svg = jobInteger(job, "format", 0) == kSvgFormat;
  OutputName name(jobString(job, "directory"),
                  document.exportPrefix() + "_" + (versionName == kOriginalVersionName ? "original" : versionName),
                  svg ? ".svg" : ".jpg");
  while (nameTaken(name.path())) {
    name.next();
    context.throwIfCancelled();
  }

  const fs::path staging = name.path().string() + ".partial-" + std::to_string(getpid());
  context.setStaging(staging);
  if (svg) {
    renderSvg(context, capture, params, width, height, staging);
  } else {
    renderJpeg(context, capture, params, width, height, staging);
  }
  context.throwIfCancelled();

  const fs::path output = placeOutput(context, staging, name);
  if (!document.commitVersion(versionName, params, note, output.string()))
    throw std::runtime_error("照片已导出，版本保存失败：" + document.error);
  return {output.string(), versionName};
}

}  // namespace media
