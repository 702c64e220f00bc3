#pragma once
#include <functional>
#include <string>
#include <vector>

namespace tessaline {

// Font files that hold the Chinese glyphs of the interface, most preferred first.
const std::vector<std::string>& fontCandidates();
// The first candidate that exists, or empty (the GUI library's built-in font then stays).
std::string chooseFont(const std::vector<std::string>& candidates,
                       const std::function<bool(const std::string&)>& exists);

}  // namespace tessaline
