#include "export_job_context.h"

#include <limits>
#include <stdexcept>
#include <system_error>

#include "export_job.h"

namespace media {

namespace fs = std::filesystem;

ExportJobContext::ExportJobContext(const fs::path& jobPath, Clock clock)
    : statePath_(jobPath.string() + ".state"), cancelPath_(jobPath.string() + ".cancel"), clock_(std::move(clock)) {}

bool ExportJobContext::cancelled() const {
  std::error_code error;
  return fs::exists(cancelPath_, error) && !error;
}

void ExportJobContext::throwIfCancelled() const {
  if (cancelled()) throw std::runtime_error("已取消");
}

void ExportJobContext::report(const std::string& stage, double progress) {
  const auto now = clock_();
  if (reportedBefore_ && now - lastReport_ < std::chrono::milliseconds(80)) return;
  atomicJson(statePath_, {{"progress", progress}, {"stage", stage}, {"finished", false}});
  reportedBefore_ = true;
  lastReport_ = now;
}

void ExportJobContext::setStaging(const fs::path& staging) { staging_ = staging; }

void ExportJobContext::setPlaced(const std::string& output) {
  placedOutput_ = output;
  placed_ = true;
}

namespace {

// An optional field set to null counts as left out.
const nlohmann::json* presentField(const nlohmann::json& job, const std::string& key) {
  const auto found = job.find(key);
  return found == job.end() || found->is_null() ? nullptr : &*found;
}

[[noreturn]] void invalidField(const std::string& key) { throw std::runtime_error("导出任务字段无效：" + key); }

std::string stringValue(const nlohmann::json& value, const std::string& key) {
  if (!value.is_string()) invalidField(key);
  return value.get<std::string>();
}

int64_t integerValue(const nlohmann::json& value, const std::string& key) {
  if (!value.is_number_integer()) invalidField(key);
  // Beyond the signed range is out of every range the job checks; clamping keeps it that way.
  if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    return std::numeric_limits<int64_t>::max();
  return value.get<int64_t>();
}

bool booleanValue(const nlohmann::json& value, const std::string& key) {
  if (!value.is_boolean()) invalidField(key);
  return value.get<bool>();
}

}  // namespace

const nlohmann::json& jobField(const nlohmann::json& job, const std::string& key) {
  const auto found = job.find(key);
  if (found == job.end()) throw std::runtime_error("导出任务缺少字段：" + key);
  return *found;
}

std::string jobString(const nlohmann::json& job, const std::string& key) {
  return stringValue(jobField(job, key), key);
}

std::string jobString(const nlohmann::json& job, const std::string& key, const std::string& fallback) {
  const nlohmann::json* value = presentField(job, key);
  return value ? stringValue(*value, key) : fallback;
}

int64_t jobInteger(const nlohmann::json& job, const std::string& key) {
  return integerValue(jobField(job, key), key);
}

int64_t jobInteger(const nlohmann::json& job, const std::string& key, int64_t fallback) {
  const nlohmann::json* value = presentField(job, key);
  return value ? integerValue(*value, key) : fallback;
}

bool jobBoolean(const nlohmann::json& job, const std::string& key) { return booleanValue(jobField(job, key), key); }

bool jobBoolean(const nlohmann::json& job, const std::string& key, bool fallback) {
  const nlohmann::json* value = presentField(job, key);
  return value ? booleanValue(*value, key) : fallback;
}

}  // namespace media
