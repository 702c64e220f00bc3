#include "export_job.h"

#include <epoxy/gl.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

#include "export_job_context.h"
#include "photo_document.h"

namespace media {

namespace fs = std::filesystem;

void atomicJson(const fs::path& path, const nlohmann::json& document) {
  // Messages may carry file names that are not valid UTF-8; they must not stop the write.
  const std::string text = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const fs::path temporary = path.string() + ".tmp";
  std::error_code ignored;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      out.close();
      fs::remove(temporary, ignored);
      throw std::runtime_error("无法写入任务状态");
    }
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  if (error) {
    fs::remove(temporary, ignored);
    throw std::runtime_error("无法写入任务状态：" + error.message());
  }
}

namespace {

constexpr size_t kMaxNoteCharacters = 1000;

size_t codePointCount(const std::string& text) {
  size_t count = 0;
  for (const char byte : text) {
    if ((static_cast<unsigned char>(byte) & 0xC0) != 0x80) ++count;
  }
  return count;
}

int64_t maxTextureSize() {
  GLint size = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &size);
  return size;
}

void checkOutputSize(const nlohmann::json& job) {
  const bool photo = jobBoolean(job, "photo");
  const int64_t width = jobInteger(job, "width");
  const int64_t height = jobInteger(job, "height");
  const int64_t format = jobInteger(job, "format", 0);
  if (photo && format != 0 && format != 1) throw std::runtime_error("照片导出格式无效");
  // An SVG canvas has no texture behind it, but the writer still counts in int.
  const bool svgCanvas = photo && format == 1;
  const int64_t limit = svgCanvas ? std::numeric_limits<int>::max() : maxTextureSize();
  if (width < 1 || height < 1 || width > limit || height > limit)
    throw std::runtime_error("分辨率超过本机支持范围");
}

void checkOutputDirectory(const std::string& directory) {
  std::error_code error;
  const bool isDirectory = fs::is_directory(directory, error) && !error;
  if (!isDirectory || access(directory.c_str(), W_OK | X_OK) != 0)
    throw std::runtime_error("输出目录不存在或不可写");
}

// Steps shared by both job kinds before any source is read.
void checkCommonFields(const nlohmann::json& job) {
  if (!job.is_object()) throw std::runtime_error("导出任务结构无效");
  jobString(job, "source");
  checkOutputSize(job);
  if (codePointCount(jobString(job, "note", "")) > kMaxNoteCharacters) throw std::runtime_error("备注最多 1000 字符");
  checkOutputDirectory(jobString(job, "directory"));
}

void writeFailureState(const ExportJobContext& context, const std::string& message) {
  try {
    atomicJson(context.statePath(), {{"progress", 0},
                                     {"stage", message},
                                     {"finished", true},
                                     {"success", false},
                                     {"canceled", context.cancelled()},
                                     {"output", context.placed() ? context.placedOutput() : std::string()}});
  } catch (const std::exception& error) {
    // The parent then sees a job that ended without a final state; the log keeps the reason.
    std::fprintf(stderr, "--media-export-job: %s: %s\n", error.what(), message.c_str());
  }
}

}  // namespace

int runExportJob(const std::string& jobPath) {
  ExportJobContext context(jobPath);
  try {
    const nlohmann::json job = nlohmann::json::parse(readText(jobPath));
    checkCommonFields(job);
    context.report("检查素材与版本", 0.01);
    context.throwIfCancelled();
    const ExportJobResult result =
        jobBoolean(job, "photo") ? runPhotoExportJob(context, job) : runVideoExportJob(context, job);
    atomicJson(context.statePath(), {{"progress", 1.0},
                                     {"stage", "完成"},
                                     {"finished", true},
                                     {"success", true},
                                     {"output", result.output},
                                     {"version", result.version}});
    return 0;
  } catch (const std::exception& error) {
    if (!context.placed() && !context.staging().empty()) {
      std::error_code ignored;
      fs::remove_all(context.staging(), ignored);
    }
    writeFailureState(context, error.what());
    return 1;
  }
}

}  // namespace media
