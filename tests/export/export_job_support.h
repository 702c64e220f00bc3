#pragma once
// Runs the real program in export-job mode, with no display, on job documents written into a temp
// folder, and reads back the state document it leaves beside the job file; plus the small file
// helpers every export test uses.
#include "common_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace exportjobtest {

namespace fs = std::filesystem;
using testsupport::TempFolder;

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline void writeScript(const fs::path& path, const std::string& body, fs::perms permissions = fs::perms::owner_all) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(path, permissions);
}

// The names of the entries of a folder, sorted.
inline std::vector<std::string> fileNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Null when the file is missing or not JSON.
inline nlohmann::json readJson(const fs::path& path) {
  nlohmann::json parsed = nlohmann::json::parse(readFile(path), nullptr, false);
  return parsed.is_discarded() ? nlohmann::json() : parsed;
}

// Writes the job document as folder/name and returns its path.
inline fs::path writeJob(const fs::path& folder, const nlohmann::json& job, const std::string& name = "job.json") {
  const fs::path path = folder / name;
  writeFile(path, job.dump());
  return path;
}

inline fs::path statePath(const fs::path& jobPath) { return jobPath.string() + ".state"; }
inline fs::path cancelPath(const fs::path& jobPath) { return jobPath.string() + ".cancel"; }
inline fs::path logPath(const fs::path& jobPath) { return jobPath.string() + ".log"; }

// `tessaline --media-export-job J` as a child process, with DISPLAY and WAYLAND_DISPLAY removed
// from its environment and its standard output and error in J + ".log", as the batch executor
// starts it. A child still running when the object goes is killed.
class JobProcess {
 public:
  explicit JobProcess(const fs::path& jobPath) {
    std::vector<std::string> argv{TESSALINE_EXECUTABLE, "--media-export-job", jobPath.string()};
    std::vector<char*> argPointers;
    for (std::string& argument : argv) argPointers.push_back(argument.data());
    argPointers.push_back(nullptr);
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
      const std::string text = *entry;
      const std::string name = text.substr(0, text.find('='));
      if (name != "DISPLAY" && name != "WAYLAND_DISPLAY") env.push_back(text);
    }
    std::vector<char*> envPointers;
    for (std::string& entry : env) envPointers.push_back(entry.data());
    envPointers.push_back(nullptr);
    const std::string log = logPath(jobPath).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    started_ = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, argPointers.data(), envPointers.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~JobProcess() {
    if (started_ && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  JobProcess(const JobProcess&) = delete;
  JobProcess& operator=(const JobProcess&) = delete;

  bool started() const { return started_; }
  bool running() {
    if (!started_ || exited_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    finish(status);
    return false;
  }
  // The exit code; -1 when the child did not start, was killed or outlived the timeout.
  int wait(std::chrono::seconds timeout = std::chrono::seconds(120)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return exited_ ? exitCode_ : -1;
  }

 private:
  void finish(int status) {
    exited_ = true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid_ = 0;
  bool started_ = false;
  bool exited_ = false;
  int exitCode_ = -1;
};

struct JobOutcome {
  int exitCode = -1;
  nlohmann::json state;  // the final state document, null when there is none
  std::string log;
};

inline JobOutcome runJob(const fs::path& jobPath) {
  JobOutcome outcome;
  JobProcess process(jobPath);
  if (process.started()) outcome.exitCode = process.wait();
  outcome.state = readJson(statePath(jobPath));
  outcome.log = readFile(logPath(jobPath));
  return outcome;
}

// Every distinct state document seen while the child ran (polled), then the final one. The child
// is left running after the timeout.
inline std::vector<nlohmann::json> watchStates(const fs::path& jobPath, JobProcess& process,
                                               std::chrono::seconds timeout = std::chrono::seconds(120)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<nlohmann::json> seen;
  const auto note = [&] {
    const nlohmann::json state = readJson(statePath(jobPath));
    if (!state.is_null() && (seen.empty() || seen.back() != state)) seen.push_back(state);
  };
  while (process.running() && std::chrono::steady_clock::now() < deadline) {
    note();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  note();
  return seen;
}

}  // namespace exportjobtest
