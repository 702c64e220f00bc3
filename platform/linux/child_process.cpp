#include "child_process.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

namespace platform {
namespace {

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

void closeIgnoringErrors(int descriptor) {
  if (descriptor >= 0) close(descriptor);
}

// Reads until end of file; false on a read error.
bool readAll(int descriptor, std::string& output) {
  char buffer[4096];
  for (;;) {
    const ssize_t count = read(descriptor, buffer, sizeof buffer);
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    output.append(buffer, static_cast<size_t>(count));
  }
}

bool waitForSuccess(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string findOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr || name.empty() || name.find('/') != std::string::npos) return {};
  const std::string folders = path;
  size_t begin = 0;
  while (begin <= folders.size()) {
    size_t end = folders.find(':', begin);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = folders.substr(begin, end - begin);
    if (!folder.empty() && folder.front() == '/') {
      const std::string candidate = folder.back() == '/' ? folder + name : folder + "/" + name;
      if (isExecutableFile(candidate)) return candidate;
    }
    begin = end + 1;
  }
  return {};
}

bool runForOutput(const std::vector<std::string>& arguments, std::string& output) {
  output.clear();
  if (arguments.empty()) return false;
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return false;
  const int readEnd = pipeEnds[0];
  const int writeEnd = pipeEnds[1];

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 clears close-on-exec on the copy, so only standard output reaches the child.
  posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawnResult = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  closeIgnoringErrors(writeEnd);
  if (spawnResult != 0) {
    closeIgnoringErrors(readEnd);
    return false;
  }
  const bool readOk = readAll(readEnd, output);
  closeIgnoringErrors(readEnd);
  const bool exitedOk = waitForSuccess(child);
  if (!readOk || !exitedOk) output.clear();
  return readOk && exitedOk;
}

}  // namespace platform
