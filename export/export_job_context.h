#pragma once
// What one running export job shares between its common checks and its photo and video halves:
// the state file it reports to, the cancel file it watches and where its output is.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace media {

class ExportJobContext {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `clock` paces the running writes; tests pass their own.
  explicit ExportJobContext(const std::filesystem::path& jobPath, Clock clock = std::chrono::steady_clock::now);

  // The cancel file exists (a failed status query counts as not existing).
  bool cancelled() const;
  // Throws std::runtime_error("已取消") when cancelled.
  void throwIfCancelled() const;
  // Running state; skipped when the previous running write was less than 80 ms ago.
  void report(const std::string& stage, double progress);

  // Removed recursively when the job fails before its output is placed.
  void setStaging(const std::filesystem::path& staging);
  // From here on the output stays, and a failure state still names it.
  void setPlaced(const std::string& output);

  const std::filesystem::path& statePath() const { return statePath_; }
  const std::filesystem::path& cancelPath() const { return cancelPath_; }
  const std::filesystem::path& staging() const { return staging_; }
  const std::string& placedOutput() const { return placedOutput_; }
  bool placed() const { return placed_; }

 private:
  std::filesystem::path statePath_;
  std::filesystem::path cancelPath_;
  std::filesystem::path staging_;
  std::string placedOutput_;
  bool placed_ = false;
  Clock clock_;
  bool reportedBefore_ = false;
  std::chrono::steady_clock::time_point lastReport_{};
};

// Fields of the job document. A missing required field fails with "导出任务缺少字段：" + key, a
// value of the wrong type with "导出任务字段无效：" + key; an optional field set to null takes the
// fallback.
const nlohmann::json& jobField(const nlohmann::json& job, const std::string& key);
std::string jobString(const nlohmann::json& job, const std::string& key);
std::string jobString(const nlohmann::json& job, const std::string& key, const std::string& fallback);
int64_t jobInteger(const nlohmann::json& job, const std::string& key);
int64_t jobInteger(const nlohmann::json& job, const std::string& key, int64_t fallback);
bool jobBoolean(const nlohmann::json& job, const std::string& key);
bool jobBoolean(const nlohmann::json& job, const std::string& key, bool fallback);

// What a finished job puts into its success state.
struct ExportJobResult {
  std::string output;
  std::string version;
};

// The two halves of runExportJob, called after the common checks (size, note, directory, first
// stage). Each throws std::runtime_error with the failure text.
ExportJobResult runPhotoExportJob(ExportJobContext& context, const nlohmann::json& job);
ExportJobResult runVideoExportJob(ExportJobContext& context, const nlohmann::json& job);

}  // namespace media
