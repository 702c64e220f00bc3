#pragma once
#include "common_test_support.h"
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace platform_test {

using testsupport::ScopedEnv;

using testsupport::TempFolder;

// A private X server (Xvfb) in a child process; display() is empty when none could start.
class XvfbServer {
 public:
  XvfbServer() {
    int ends[2];
    if (pipe(ends) != 0) return;
    const std::string fd = std::to_string(ends[1]);
    std::vector<std::string> arguments{"/usr/bin/Xvfb", "-displayfd", fd, "-nolisten", "tcp", "-screen", "0", "1280x720x24"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (pid_ > 0) display_ = readDisplayNumber(ends[0]);
    close(ends[0]);
  }
  ~XvfbServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  const std::string& display() const { return display_; }

 private:
  // Xvfb writes its display number once it accepts clients.
  static std::string readDisplayNumber(int descriptor) {
    std::string number;
    pollfd ready{descriptor, POLLIN, 0};
    char c = 0;
    while (poll(&ready, 1, 20000) == 1 && read(descriptor, &c, 1) == 1 && c != '\n') number += c;
    return c == '\n' && !number.empty() ? ":" + number : std::string();
  }
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace platform_test
