#pragma once
#include <map>
#include <string>
#include <vector>

#include "media_item.h"

struct ImVec2;

namespace pcv0930 {

// The media browser screen. This version lists folders synchronously inside poll(), so a listing
// "arrives" on the poll after navigate(), as it will once the listing runs on a worker.
class MediaBrowser {
 public:
  // Starts listing dir; the browser is busy (loading) until the listing arrives in poll().
  void navigate(const std::string& dir, bool remember);
  void poll();
  // Draws the whole screen; returns the path of the capture the user opened, or "".
  std::string draw(const ImVec2& pos, const ImVec2& size, const std::vector<std::string>& recent,
                   const std::string& status);
  // Drops preview textures; this listing makes none yet.
  void clearTextures(bool);
  const std::vector<std::string>& history() const { return history_; }

  std::string currentPath;
  Directory directory;
  bool loading = false;
  std::map<std::string, bool> marked;
  std::vector<MediaItem> exportItems;
  bool addMarkedRequest = false;
  bool clearQueueRequest = false;
  bool batchRunning = false;

 private:
  void goBack();

  std::vector<std::string> history_;
};

// Plain listing of one folder: subfolders, recordings (segments folded into their main file) and
// photos (".pcp" files), by name. No project files, fingerprints or previews yet.
Directory listFolderPlain(const std::string& path);

}  // namespace pcv0930
