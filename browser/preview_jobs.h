#pragma once
// The background jobs of the media browser and the GPU steps the main thread applies to their
// results. Jobs run on worker threads and never touch GL; the render* functions need the main
// thread's current OpenGL context.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "frame_data.h"
#include "media_event.h"
#include "media_item.h"
#include "pcv_reader.h"
#include "preview_cache.h"
#include "video_renderer.h"

namespace pcv0930 {

using JobCancelled = std::function<bool()>;

// The recording the last preview job opened, kept open so that previews of several versions of
// one recording decode each distinct frame once. Used only by the listing worker's thread.
struct PreviewSource {
  static constexpr size_t kMaxFrames = 4;

  std::string key;  // main path + "|" + fingerprint
  std::string baseMeta;
  std::string endClock;
  PcvReader reader;
  uint64_t frameCount = 0;
  std::map<uint64_t, FrameData> frames;
};

struct PreviewRequest {
  MediaItem item;
  std::string textureKey;
  std::string cacheKey;
  std::string variant;
  nlohmann::json params;
};

inline constexpr const char* kPreviewUnavailable = "预览不可用";
inline constexpr const char* kInvalidPhotoParams = "照片映射参数无效";
inline constexpr int kPlainPreviewWidth = 800;
inline constexpr int kPlainPreviewHeight = 480;

// Texture key of (item, variant).
std::string previewKey(const MediaItem& item, const std::string& variant);
// What a texture entry remembers of the parameters it was made for.
std::string parameterText(bool plain, const nlohmann::json& params);
bool usesSpatialSampling(const nlohmann::json& params);
std::string previewCacheKey(const MediaItem& item, const std::string& variant, const nlohmann::json& params);
std::string summaryCacheKey(const std::string& summaryKey);

// Kind 0: the folder's items and subfolders.
MediaEvent runListingJob(const std::string& path, const JobCancelled& cancelled);
// Kinds 1, 2 and 4. Failures, thrown ones included, come back as the event's error under its key.
MediaEvent runPreviewJob(const PreviewRequest& request, PreviewCache& cache, PreviewSource& source,
                         const JobCancelled& cancelled);
// Kind 3: frame count, duration and last clock text of a recording.
MediaEvent runSummaryJob(const MediaItem& item, const std::string& summaryKey, const PreviewCache& cache,
                         const JobCancelled& cancelled);

// The cache entry a finished preview or summary is stored as.
CachedPreview previewCacheEntry(const MediaEvent& event);
CachedPreview summaryCacheEntry(const MediaEvent& event);

// Kind 4 on the GPU at 1600 x 960; empty with error set when the renderer fails.
ImageRGB renderPhotoPreview(const MediaEvent& event, std::string& error);
// Kind 2 on the GPU at the event's render size with its version's tracks.
ImageRGB renderVersionPreview(const MediaEvent& event);

}  // namespace pcv0930
