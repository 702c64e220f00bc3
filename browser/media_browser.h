#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "media_event.h"
#include "media_item.h"
#include "worker.h"

struct ImVec2;

namespace pcv0930 {

class PreviewCache;
struct PreviewSource;

// One entry of the browser's texture table.
struct PreviewTexture {
  uint64_t lastUse = 0;  // request counter at the last request
  std::string params;    // parameter text the preview was made for
  unsigned int texture = 0;  // GL texture name, 0 when none
  int width = 0;
  int height = 0;
  std::string frameTime;
  std::string message;  // why no preview can be shown
  std::string summaryError;
  std::string lastTime;
  std::string firstTime;
  uint64_t frameCount = 0;
  double seconds = -1.0;
  bool requested = false;
  bool summaryRequested = false;
};

// The media browser screen and its previews. Listings and previews run on background workers;
// everything that touches GL (uploads, GPU renders, deletions) runs in poll, trimTextures and
// clearTextures on the main thread.
class MediaBrowser {
 public:
  using PreviewSource = pcv0930::PreviewSource;
  static constexpr uint64_t kDefaultTextureBudget = 201326592;  // 192 MiB

  MediaBrowser();
  ~MediaBrowser();
  MediaBrowser(const MediaBrowser&) = delete;
  MediaBrowser& operator=(const MediaBrowser&) = delete;

  // Starts listing dir; the browser is busy (loading) until the listing arrives in poll().
  void navigate(const std::string& dir, bool remember);
  // Applies worker results: listings, summaries and at most one preview per call.
  void poll();
  // Draws the whole screen; returns the path of the capture the user opened, or "".
  std::string draw(const ImVec2& pos, const ImVec2& size, const std::vector<std::string>& recent,
                   const std::string& status);

  static std::string key(const MediaItem& item, const std::string& variant);
  // Makes sure a preview of (item, variant) exists or is on its way; cheap when nothing needs doing.
  // An empty variant (the grid) always goes to the front of the queue, a version only with front.
  void request(const MediaItem& item, const std::string& variant, const nlohmann::json& params, bool front);
  // Makes sure the frame count and duration of a previewed video are known.
  void requestDuration(const MediaItem& item, const std::string& variant);
  // Evicts least recently used textures until the table fits the budget.
  void trimTextures();
  // all: drop everything (shutdown). Otherwise keep what succeeded and let failures retry.
  void clearTextures(bool all);
  void drawThumbnail(const PreviewTexture& entry, const ImVec2& position, const ImVec2& size) const;

  const std::vector<std::string>& history() const { return history_; }
  const std::map<std::string, PreviewTexture>& textures() const { return textures_; }
  const std::map<std::string, MediaEvent>& summaries() const { return summaries_; }
  std::shared_ptr<PreviewCache> cache() const { return cache_; }
  // Runs listings and preview jobs one at a time, in queue order.
  Worker<MediaEvent>& listingWorker() { return listingWorker_; }

  std::string currentPath;
  Directory directory;
  std::string error;  // listing error, or the error of a background job that failed
  bool loading = false;
  std::map<std::string, bool> marked;
  std::vector<MediaItem> exportItems;
  bool addMarkedRequest = false;
  bool clearQueueRequest = false;
  bool batchRunning = false;
  uint64_t textureBudget = kDefaultTextureBudget;

 private:
  void goBack();
  void applySummary(MediaEvent&& summary);
  // False when the result has no entry (any more) to apply to.
  bool applyPreview(MediaEvent&& result);
  static void deleteTexture(PreviewTexture& entry);

  std::vector<std::string> history_;
  std::shared_ptr<PreviewSource> previewSource_;
  std::shared_ptr<PreviewCache> cache_;
  uint64_t requestCounter_ = 0;
  std::map<std::string, PreviewTexture> textures_;
  std::map<std::string, MediaEvent> summaries_;
  std::set<std::string> pendingSummaries_;
  // Last, so that they stop before anything their jobs could reach goes away.
  Worker<MediaEvent> listingWorker_;
  Worker<MediaEvent> summaryWorker_;
  Worker<MediaEvent> cacheWriter_;
};

}  // namespace pcv0930
