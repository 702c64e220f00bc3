#pragma once
// Temporary folders and child processes for the document tests.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common_test_support.h"

extern char** environ;

namespace doctest {

using testsupport::TempFolder;

inline std::string readText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeText(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// The fingerprint hashes written out independently: FNV-1a from the start value
// 0x14650fb0739d0383 over "realpath:size:mtime-ns" of each file, times read with stat.
inline std::string fnvHex(const std::string& text) {
  unsigned long long hash = 0x14650fb0739d0383ULL;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ULL;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%llx", hash);
  return hex;
}

inline std::string expectedFingerprint(const std::vector<std::string>& files) {
  std::string text;
  for (const std::string& file : files) {
    char resolved[PATH_MAX];
    struct stat info {};
    EXPECT_NE(realpath(file.c_str(), resolved), nullptr);
    EXPECT_EQ(stat(file.c_str(), &info), 0);
    const long long nanoseconds = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    text += std::string(resolved) + ":" + std::to_string(info.st_size) + ":" + std::to_string(nanoseconds);
  }
  return fnvHex(text);
}

inline std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Starts the helper executable; stdout goes to outputFile when one is given.
inline pid_t startHelper(const std::vector<std::string>& arguments, const std::string& outputFile = {}) {
  std::vector<std::string> all = {DOCUMENTS_TEST_HELPER};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!outputFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  pid_t pid = -1;
  const int result = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

// Exit status of the child, -1 when it did not exit normally.
inline int waitForHelper(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

inline int runHelper(const std::vector<std::string>& arguments) { return waitForHelper(startHelper(arguments)); }

}  // namespace doctest
