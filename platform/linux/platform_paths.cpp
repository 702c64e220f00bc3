#include "platform_paths.h"

#include <unistd.h>

#include <cstdlib>

namespace platform {
namespace {

constexpr const char* kAppFolder = "/tessaline/1002";

// An environment value that is set and not empty; empty otherwise.
std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// `tail` starts with '/'; the base's own trailing slashes are dropped so none doubles.
std::string joined(std::string base, const std::string& tail) {
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + tail;
}

// XDG base folders count only when absolute; anything else falls back to the HOME default.
std::string xdgFolder(const char* variable, const char* homeDefault) {
  const std::string xdg = environmentValue(variable);
  if (!xdg.empty() && xdg.front() == '/') return joined(xdg, kAppFolder);
  const std::string home = homeFolder();
  if (home.empty()) return {};
  return joined(home, std::string(homeDefault) + kAppFolder);
}

}  // namespace

std::string settingsFolder() { return xdgFolder("XDG_CONFIG_HOME", "/.config"); }

std::string cacheFolder() { return xdgFolder("XDG_CACHE_HOME", "/.cache"); }

std::string homeFolder() { return environmentValue("HOME"); }

std::string executablePath() {
  char buffer[1024];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  // A full buffer may hold a cut-off path, so it counts as failure.
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

}  // namespace platform
