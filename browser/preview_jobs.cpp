#include "preview_jobs.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include "camera_thumbnail.h"
#include "clock_index.h"
#include "photo_renderer.h"
#include "tracks.h"
#include "worker.h"

namespace pcv0930 {

namespace {

using json = nlohmann::json;

constexpr double kFramesPerSecond = 24.0;
constexpr int kVersionPreviewSide = 1600;

// Typed members of a JSON object that may be anything: the fallback for a missing member, a
// value of another type, or a non-object.
const json* member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::string stringOr(const json& object, const char* key, const std::string& fallback) {
  const json* value = member(object, key);
  return value != nullptr && value->is_string() ? value->get<std::string>() : fallback;
}

double numberOr(const json& object, const char* key, double fallback) {
  const json* value = member(object, key);
  return value != nullptr && value->is_number() ? value->get<double>() : fallback;
}

uint64_t countOr(const json& object, const char* key, uint64_t fallback) {
  const json* value = member(object, key);
  if (value == nullptr || !value->is_number()) return fallback;
  if (value->is_number_unsigned()) return value->get<uint64_t>();
  if (value->is_number_integer()) return value->get<int64_t>() < 0 ? fallback : value->get<uint64_t>();
  return fallback;
}

bool flagOr(const json& object, const char* key, bool fallback) {
  const json* value = member(object, key);
  return value != nullptr && value->is_boolean() ? value->get<bool>() : fallback;
}

bool isIntegerEqual(const json& object, const char* key, int64_t expected) {
  const json* value = member(object, key);
  return value != nullptr && value->is_number_integer() && value->get<int64_t>() == expected;
}

bool finiteBelowOne(const json& value) {
  if (!value.is_number()) return false;
  const double number = value.get<double>();
  return std::isfinite(number) && number < 1.0;
}

double secondsFor(uint64_t frameCount) { return static_cast<double>(frameCount) / kFramesPerSecond; }

// Clock text of the frame's timecode, or of its index when the frame carries none.
std::string frameClock(const std::string& meta, uint64_t index) {
  const int64_t clock = timecode(meta);
  return clockText(clock >= 0 ? clock : static_cast<int64_t>(index));
}

// Runs body on event; an exception becomes the event's error, so the result keeps its key and
// reaches its texture entry instead of turning into an anonymous failed job.
MediaEvent keepingKey(MediaEvent event, const std::function<void(MediaEvent&)>& body) {
  try {
    body(event);
  } catch (const std::exception& failure) {
    const std::string message = failure.what();
    event.error = message.empty() ? kBackgroundReadFailed : message;
  } catch (...) {
    event.error = kBackgroundReadFailed;
  }
  return event;
}

void applyCachedPreview(const CachedPreview& cached, MediaEvent& event) {
  event.fromCache = true;
  event.image.width = static_cast<int>(cached.width);
  event.image.height = static_cast<int>(cached.height);
  event.image.pixels = cached.pixels;
  event.firstTime = stringOr(cached.metadata, "firstTime", "");
  event.frameTime = stringOr(cached.metadata, "tc", "");
  event.lastTime = stringOr(cached.metadata, "lastTime", "");
  event.frameCount = countOr(cached.metadata, "count", 0);
  event.seconds = numberOr(cached.metadata, "seconds", -1.0);
}

void loadPhoto(const PreviewRequest& request, MediaEvent& event) {
  event.kind = MediaEvent::kPhotoPreview;
  media::PhotoDocument document;
  if (!document.load(request.item.path)) {
    event.error = document.error;
    return;
  }
  auto capture = std::make_shared<pcp::CaptureData>();
  if (!document.capture(*capture)) {
    event.error = capture->error;
    return;
  }
  event.photoParams = media::PhotoParams::read(document.json, request.params);
  if (!media::validPhotoParams(event.photoParams.json())) {
    event.error = kInvalidPhotoParams;
    return;
  }
  event.capture = std::move(capture);
}

// The exported range, flips and size of a version whose last export belongs to this recording.
void chooseVersionFrame(const PreviewRequest& request, MediaEvent& event) {
  const json* editor = member(request.params, "editor_0930");
  const json* record = editor != nullptr ? member(*editor, "last_successful_export") : nullptr;
  if (record == nullptr || !record->is_object()) return;
  if (stringOr(*record, "source_fingerprint", "") != request.item.fingerprint || request.item.fingerprint.empty() ||
      !flagOr(*record, "range_inclusive", false) || !isIntegerEqual(*record, "frame_index_base", 0)) {
    return;
  }
  const json* start = member(*record, "start_frame");
  const json* end = member(*record, "end_frame");
  if (start != nullptr && end != nullptr && start->is_number_integer() && end->is_number_integer() &&
      start->get<int64_t>() >= 0 && start->get<int64_t>() <= end->get<int64_t>()) {
    event.frameIndex = start->get<uint64_t>();
  }
  event.flipX = flagOr(*record, "flip_x", false);
  event.flipY = flagOr(*record, "flip_y", false);
  const auto side = [&](const char* key, double fallback) {
    const double value = numberOr(*record, key, fallback);
    return std::isfinite(value) ? std::clamp(value, 100.0, 8192.0) : fallback;
  };
  const double width = std::trunc(side("width", 4800));
  const double height = std::trunc(side("height", 2880));
  const double scale = kVersionPreviewSide / std::max(width, height);
  event.renderWidth = std::max<uint32_t>(1, static_cast<uint32_t>(width * scale));
  event.renderHeight = std::max<uint32_t>(1, static_cast<uint32_t>(height * scale));
}

// The frame of event.frameIndex from the source, decoding it when the source does not hold it.
bool sourceFrame(const PreviewRequest& request, PreviewSource& source, const JobCancelled& cancelled,
                 MediaEvent& event) {
  const std::string sourceKey = request.item.path + "|" + request.item.fingerprint;
  if (source.key != sourceKey) {
    source.reader.reset();
    source.frames.clear();
    source.key = sourceKey;
    source.frameCount = 0;
    source.baseMeta.clear();
    source.endClock.clear();
  }
  const auto held = source.frames.find(event.frameIndex);
  if (held != source.frames.end()) {
    event.frame = held->second;
    return true;
  }
  size_t totalFrames = 0;
  std::string lastMeta;
  const auto progress = [&cancelled](uint64_t, uint64_t, size_t, size_t) { return !cancelled(); };
  if (!source.reader.preview(request.item.path, static_cast<size_t>(event.frameIndex), event.frame, progress,
                             &totalFrames, &lastMeta)) {
    event.error = source.reader.error().empty() ? kPreviewUnavailable : source.reader.error();
    return false;
  }
  if (cancelled()) return false;
  source.frameCount = totalFrames;
  source.baseMeta = source.reader.baseMetaJson();
  if (source.frameCount != 0) source.endClock = frameClock(lastMeta, source.frameCount - 1);
  if (source.frames.size() >= PreviewSource::kMaxFrames) source.frames.erase(source.frames.begin());
  source.frames[event.frameIndex] = event.frame;
  return true;
}

void previewVideo(const PreviewRequest& request, PreviewSource& source, const JobCancelled& cancelled,
                  MediaEvent& event) {
  if (event.kind == MediaEvent::kVersionPreview) chooseVersionFrame(request, event);
  if (!sourceFrame(request, source, cancelled, event)) return;
  event.frameCount = source.frameCount;
  event.baseMeta = source.baseMeta;
  event.firstTime = clockText(std::max<int64_t>(timecode(source.baseMeta), 0));
  event.lastTime = source.endClock;
  const int64_t frameClockValue = timecode(event.frame.metaJson);
  if (frameClockValue >= 0) event.frameTime = clockText(frameClockValue);
  if (event.kind == MediaEvent::kPreview) {
    const ImageRGB thumbnail = cameraThumbnail(event.frame, cancelled);
    if (thumbnail.empty()) return;
    event.image = shrinkImage(thumbnail, kPlainPreviewWidth, kPlainPreviewHeight, true);
    event.frame = FrameData{};
  }
  if (event.frameCount != 0) event.seconds = secondsFor(event.frameCount);
}

}  // namespace

std::string previewKey(const MediaItem& item, const std::string& variant) {
  return item.path + "|" + item.fingerprint + item.sidecarFingerprint + "|" + variant;
}

std::string parameterText(bool plain, const json& params) { return plain ? std::string() : params.dump(); }

bool usesSpatialSampling(const json& params) {
  try {
    if (!params.is_object()) return false;
    if (const json* ratio = member(params, "sampling_ratio"); ratio != nullptr && finiteBelowOne(*ratio)) return true;
    const json* tracks = member(params, "tracks");
    const json* track = tracks != nullptr ? member(*tracks, "sampling_ratio") : nullptr;
    if (track == nullptr || !(track->is_array() || track->is_object())) return false;
    for (const json& keyframe : *track) {
      const json* value = member(keyframe, "v");
      if (value != nullptr && finiteBelowOne(*value)) return true;
    }
  } catch (...) {
  }
  return false;
}

std::string previewCacheKey(const MediaItem& item, const std::string& variant, const json& params) {
  std::string key = "preview-v3|" + previewKey(item, variant) + "|" + parameterText(variant.empty(), params);
  if (usesSpatialSampling(params)) key += "|spatial-sampling-v2";
  if (item.photo || !variant.empty()) key += "|mapping-range-0.1-15";
  return key;
}

std::string summaryCacheKey(const std::string& summaryKey) { return "summary-v3|" + summaryKey; }

MediaEvent runListingJob(const std::string& path, const JobCancelled& cancelled) {
  MediaEvent event;
  event.kind = MediaEvent::kListing;
  event.directory = listDirectory(path, cancelled);
  if (event.directory.error.empty()) {
    try {
      media::appendPhotos(event.directory, path, cancelled);
    } catch (const std::exception& failure) {
      event.directory.error = failure.what();
    }
  }
  return event;
}

MediaEvent runPreviewJob(const PreviewRequest& request, PreviewCache& cache, PreviewSource& source,
                         const JobCancelled& cancelled) {
  MediaEvent event;
  event.plain = request.variant.empty();
  event.kind = event.plain ? MediaEvent::kPreview : MediaEvent::kVersionPreview;
  event.textureKey = request.textureKey;
  event.cacheKey = request.cacheKey;
  event.params = request.params;
  return keepingKey(std::move(event), [&](MediaEvent& result) {
    CachedPreview cached;
    if (cache.read(request.cacheKey, cached)) {
      applyCachedPreview(cached, result);
    } else if (request.item.photo) {
      loadPhoto(request, result);
    } else {
      previewVideo(request, source, cancelled, result);
    }
  });
}

MediaEvent runSummaryJob(const MediaItem& item, const std::string& summaryKey, const PreviewCache& cache,
                         const JobCancelled& cancelled) {
  MediaEvent event;
  event.kind = MediaEvent::kSummary;
  event.textureKey = summaryKey;
  return keepingKey(std::move(event), [&](MediaEvent& result) {
    CachedPreview cached;
    if (cache.read(summaryCacheKey(summaryKey), cached)) {
      result.frameCount = countOr(cached.metadata, "count", 0);
      result.seconds = secondsFor(result.frameCount);
      result.lastTime = stringOr(cached.metadata, "lastTime", "");
      return;
    }
    PcvReader reader;
    const auto progress = [&cancelled](uint64_t, uint64_t, size_t, size_t) { return !cancelled(); };
    if (!reader.open(item.path, progress, PcvReader::kNoFrameLimit)) {
      result.error = reader.error();
      return;
    }
    result.frameCount = reader.frameCount();
    std::string meta;
    if (result.frameCount != 0 && reader.readMeta(result.frameCount - 1, meta)) {
      result.lastTime = frameClock(meta, result.frameCount - 1);
    }
    result.seconds = secondsFor(result.frameCount);
  });
}

CachedPreview previewCacheEntry(const MediaEvent& event) {
  CachedPreview entry;
  entry.width = static_cast<uint32_t>(std::max(event.image.width, 0));
  entry.height = static_cast<uint32_t>(std::max(event.image.height, 0));
  entry.pixels = event.image.pixels;
  entry.metadata = {{"count", event.frameCount},    {"firstTime", event.firstTime}, {"lastTime", event.lastTime},
                    {"seconds", event.seconds},     {"tc", event.frameTime}};
  return entry;
}

CachedPreview summaryCacheEntry(const MediaEvent& event) {
  CachedPreview entry;
  entry.width = 1;
  entry.height = 1;
  entry.pixels.assign(3, 0);
  entry.metadata = {{"count", event.frameCount}, {"lastTime", event.lastTime}};
  return entry;
}

ImageRGB renderPhotoPreview(const MediaEvent& event, std::string& error) {
  if (!event.capture) return {};
  const media::PhotoParams& params = event.photoParams;
  pcp::PointCloudRenderer renderer;
  std::vector<uint8_t> rgba;
  if (!renderer.initialize(error) || !renderer.upload(*event.capture, error) ||
      !renderer.renderToPixels(*event.capture, params.nodes, params.maxDisplayDistance, params.currentPointSize,
                               kThumbnailWidth, kThumbnailHeight, rgba, error, params.samplingRatio)) {
    return {};
  }
  const size_t pixelCount = static_cast<size_t>(kThumbnailWidth) * kThumbnailHeight;
  if (rgba.size() != pixelCount * 4) return {};
  ImageRGB image;
  image.width = kThumbnailWidth;
  image.height = kThumbnailHeight;
  image.pixels.resize(pixelCount * 3);
  for (size_t i = 0; i < pixelCount; ++i) std::copy_n(rgba.begin() + i * 4, 3, image.pixels.begin() + i * 3);
  return image;
}

ImageRGB renderVersionPreview(const MediaEvent& event) {
  ProjectTracks tracks;
  try {
    if (const json* trackJson = member(event.params, "tracks")) jsonToTracks(*trackJson, tracks);
  } catch (...) {
    clearTracks(tracks);
  }
  const RenderParams params =
      paramsForFrameIndex(static_cast<int>(event.frameIndex), event.frame, event.baseMeta, tracks);
  return renderGpuFrameToImage(event.frame, params, static_cast<int>(event.renderWidth),
                               static_cast<int>(event.renderHeight), event.flipX, event.flipY);
}

}  // namespace pcv0930
