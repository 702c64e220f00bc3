#include "font.h"

namespace tessaline {

const std::vector<std::string>& fontCandidates() {
  static const std::vector<std::string> candidates{
      "/System/Library/Fonts/PingFang.ttc",
      "/System/Library/Fonts/STHeiti Light.ttc",
      "/System/Library/Fonts/Hiragino Sans GB.ttc",
      "/System/Library/Fonts/Supplemental/Arial Unicode.ttf",
      "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
      "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf",
      "/System/Library/Fonts/Helvetica.ttc",
  };
  return candidates;
}

std::string chooseFont(const std::vector<std::string>& candidates,
                       const std::function<bool(const std::string&)>& exists) {
  for (const std::string& candidate : candidates) {
    if (exists(candidate)) return candidate;
  }
  return {};
}

}  // namespace tessaline
