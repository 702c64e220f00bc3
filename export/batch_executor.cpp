#include "batch_executor.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace media {
namespace {

constexpr int kMaxConcurrency = 5;

bool stateFlag(const nlohmann::json& state, const char* key) {
  if (!state.is_object()) return false;
  const auto found = state.find(key);
  return found != state.end() && found->is_boolean() && found->get<bool>();
}

std::string stateStage(const nlohmann::json& state) {
  if (!state.is_object()) return {};
  const auto found = state.find("stage");
  return found != state.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::string jobFileName(uint64_t taskId) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch());
  return std::to_string(micros.count()) + "-" + std::to_string(getpid()) + "-" + std::to_string(taskId) + ".json";
}

class SpawnFileActions {
 public:
  SpawnFileActions() {
    const int error = posix_spawn_file_actions_init(&actions_);
    if (error != 0) throw std::runtime_error(std::strerror(error));
  }
  ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;

  // Standard output and standard error both go to the log, which only this user may read.
  void sendOutputTo(const std::string& logPath) {
    int error = posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, logPath.c_str(),
                                                 O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&actions_, STDOUT_FILENO, STDERR_FILENO);
    if (error != 0) throw std::runtime_error(std::strerror(error));
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

void BatchExecutor::poll() {
  if (!active) return;
  for (BatchProcess& process : processes) {
    if (process.pid != 0) reap(process);
  }
  if (!cancelling) launchWaiting();
  active = std::any_of(processes.begin(), processes.end(), [](const BatchProcess& process) {
    return process.status == BatchProcess::Waiting || process.pid != 0;
  });
}

void BatchExecutor::reap(BatchProcess& process) {
  int waitStatus = 0;
  const pid_t result = waitpid(process.pid, &waitStatus, WNOHANG);
  const bool stillRunning = result == 0 || (result < 0 && errno == EINTR);
  // Read after the wait, so an ended child's final state is the one seen.
  readState(process);
  if (stillRunning) return;
  process.pid = 0;
  const bool exitedCleanly = result > 0 && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
  if (exitedCleanly && stateFlag(process.state, "success")) {
    process.status = BatchProcess::Finished;
    process.progress = 1.0f;
    return;
  }
  process.status = stateFlag(process.state, "canceled") ? BatchProcess::Cancelled : BatchProcess::Failed;
  process.message = stateFlag(process.state, "finished") ? stateStage(process.state) : "导出进程异常结束";
}

void BatchExecutor::launchWaiting() {
  const size_t limit = static_cast<size_t>(std::clamp(concurrency, 1, kMaxConcurrency));
  size_t running = runningCount();
  for (BatchProcess& process : processes) {
    if (running >= limit) break;
    if (process.status != BatchProcess::Waiting) continue;
    const bool keyBusy = std::any_of(processes.begin(), processes.end(), [&](const BatchProcess& other) {
      return other.pid != 0 && other.documentKey == process.documentKey;
    });
    if (keyBusy) continue;
    launch(process);
    running = runningCount();
    peak = std::max(peak, static_cast<unsigned>(running));
  }
}

size_t BatchExecutor::runningCount() const {
  return static_cast<size_t>(std::count_if(processes.begin(), processes.end(),
                                           [](const BatchProcess& process) { return process.pid != 0; }));
}

void BatchExecutor::cancel() {
  if (!active) return;
  cancelling = true;
  for (BatchProcess& process : processes) {
    if (process.pid != 0) {
      std::ofstream(process.jobPath + ".cancel", std::ios::binary | std::ios::trunc) << "cancel";
    } else if (process.status == BatchProcess::Waiting) {
      process.status = BatchProcess::Cancelled;
      process.message = "未开始，已取消";
    }
  }
}

void BatchExecutor::launch(BatchProcess& process) {
  process.status = BatchProcess::Running;
  process.message = "启动导出…";
  try {
    std::filesystem::create_directories(jobFolder);
    std::string jobPath = (std::filesystem::path(jobFolder) / jobFileName(process.id)).string();
    {
      const std::string text = process.job.dump();
      std::ofstream file(jobPath, std::ios::binary | std::ios::trunc);
      file << text;
      file.flush();
      if (!file) throw std::runtime_error("无法写入导出任务");
    }
    process.jobPath = std::move(jobPath);

    SpawnFileActions actions;
    actions.sendOutputTo(process.jobPath + ".log");
    std::string mode = "--media-export-job";
    std::vector<char*> arguments = {executablePath.data(), mode.data(), process.jobPath.data(), nullptr};
    pid_t child = 0;
    const int error = posix_spawn(&child, executablePath.c_str(), actions.get(), nullptr, arguments.data(), environ);
    if (error != 0) throw std::runtime_error(std::string("无法启动导出进程：") + std::strerror(error));
    process.pid = child;
  } catch (const std::exception& failure) {
    process.status = BatchProcess::Failed;
    process.message = failure.what();
  }
}

void BatchExecutor::readState(BatchProcess& process) {
  std::ifstream file(process.jobPath + ".state", std::ios::binary);
  if (!file) return;
  nlohmann::json state = nlohmann::json::parse(file, nullptr, false);
  if (!state.is_object()) return;
  process.state = std::move(state);
  const auto progress = process.state.find("progress");
  if (progress == process.state.end()) {
    process.progress = 0.0f;
  } else if (progress->is_number()) {
    // Clamped before narrowing: a double beyond the float range has no float value.
    process.progress = static_cast<float>(std::clamp(progress->get<double>(), 0.0, 1.0));
  }
  const auto stage = process.state.find("stage");
  if (stage == process.state.end()) {
    process.message.clear();
  } else if (stage->is_string()) {
    process.message = stage->get<std::string>();
  }
}

}  // namespace media
