#pragma once
#include <string>

namespace platform {

// "$XDG_CONFIG_HOME/tessaline/1002", else "$HOME/.config/tessaline/1002"; empty when neither
// variable is set. Nothing is created here.
std::string settingsFolder();
// "$XDG_CACHE_HOME/tessaline/1002", else "$HOME/.cache/tessaline/1002"; empty when neither is set.
std::string cacheFolder();
// The home folder from HOME; empty when unset.
std::string homeFolder();
// The running executable's path (readlink of /proc/self/exe into a 1024-byte buffer); empty on failure.
std::string executablePath();

}  // namespace platform
