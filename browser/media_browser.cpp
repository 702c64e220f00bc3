#include "media_browser.h"

#include <epoxy/gl.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <utility>

#include "directory_listing.h"
#include "preview_cache.h"
#include "preview_jobs.h"

namespace fs = std::filesystem;

namespace pcv0930 {

namespace {

constexpr uint64_t kBytesPerTexel = 6;  // RGB plus its mipmap chain, rounded up

uint64_t textureCost(const PreviewTexture& entry) {
  return entry.texture == 0 ? 0
                            : static_cast<uint64_t>(entry.width) * static_cast<uint64_t>(entry.height) * kBytesPerTexel;
}

// A plain (grid) preview larger than the grid needs is stored at its width.
ImageRGB gridSized(ImageRGB image) {
  if (image.width <= kPlainPreviewWidth) return image;
  const int height = std::max(1, static_cast<int>(std::lround(static_cast<double>(image.height) *
                                                              kPlainPreviewWidth / image.width)));
  return shrinkImage(image, kPlainPreviewWidth, height, false);
}

void uploadWithMipmaps(PreviewTexture& entry, const ImageRGB& image) {
  GLuint texture = entry.texture;
  uploadTexture(texture, entry.width, entry.height, image);
  entry.texture = texture;
  if (texture == 0) return;
  glBindTexture(GL_TEXTURE_2D, texture);
  glGenerateMipmapEXT(GL_TEXTURE_2D);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
  glBindTexture(GL_TEXTURE_2D, 0);
}

}  // namespace

MediaBrowser::MediaBrowser()
    : previewSource_(std::make_shared<PreviewSource>()),
      cache_(std::make_shared<PreviewCache>(fs::path(coverDirectory()) / "previews-v3")) {}

MediaBrowser::~MediaBrowser() = default;

void MediaBrowser::navigate(const std::string& dir, bool remember) {
  if (remember && (history_.empty() || history_.back() != dir)) history_.push_back(dir);
  listingWorker_.cancel();
  clearTextures(false);
  Directory kept;
  kept.levelPath = std::move(directory.levelPath);
  kept.levelFolders = std::move(directory.levelFolders);
  directory = std::move(kept);
  currentPath = dir;
  error.clear();
  loading = true;
  listingWorker_.submit([dir](const Worker<MediaEvent>::CancelToken& cancelled) {
    return runListingJob(dir, cancelled);
  });
}

void MediaBrowser::goBack() {
  if (history_.size() < 2) return;
  history_.pop_back();
  navigate(history_.back(), false);
}

std::string MediaBrowser::key(const MediaItem& item, const std::string& variant) { return previewKey(item, variant); }

void MediaBrowser::request(const MediaItem& item, const std::string& variant, const nlohmann::json& params,
                           bool front) {
  const std::string textureKey = key(item, variant);
  PreviewTexture& entry = textures_[textureKey];
  entry.lastUse = ++requestCounter_;
  std::string text = parameterText(variant.empty(), params);
  if (entry.params != text) {
    deleteTexture(entry);
    entry.requested = false;
    entry.message.clear();
    entry.params = std::move(text);
  }
  if (entry.requested) return;
  entry.requested = true;
  if (!item.error.empty()) {
    entry.message = item.error;
    return;
  }
  PreviewRequest job{item, textureKey, previewCacheKey(item, variant, params), variant, params};
  listingWorker_.submit(
      [job = std::move(job), cache = cache_, source = previewSource_](const Worker<MediaEvent>::CancelToken& cancelled) {
        return runPreviewJob(job, *cache, *source, cancelled);
      },
      variant.empty() || front);
}

void MediaBrowser::requestDuration(const MediaItem& item, const std::string& variant) {
  if (item.photo) return;
  PreviewTexture& entry = textures_[key(item, variant)];
  if (entry.texture == 0 || !entry.requested || entry.summaryRequested || entry.frameCount != 0 ||
      !entry.message.empty()) {
    return;
  }
  entry.summaryRequested = true;
  const std::string summaryKey = key(item, "");
  const auto known = summaries_.find(summaryKey);
  if (known != summaries_.end()) {
    entry.frameCount = known->second.frameCount;
    entry.seconds = known->second.seconds;
    entry.lastTime = known->second.lastTime;
    entry.summaryError = known->second.error;
    return;
  }
  if (!pendingSummaries_.insert(summaryKey).second) return;
  summaryWorker_.submit([item, summaryKey, cache = cache_](const Worker<MediaEvent>::CancelToken& cancelled) {
    return runSummaryJob(item, summaryKey, *cache, cancelled);
  });
}

void MediaBrowser::poll() {
  MediaEvent result;
  while (cacheWriter_.poll(result)) {
  }
  while (summaryWorker_.poll(result)) applySummary(std::move(result));
  while (listingWorker_.poll(result)) {
    if (result.kind == MediaEvent::kListing || result.kind == MediaEvent::kFailed) {
      if (result.kind == MediaEvent::kListing) directory = std::move(result.directory);
      error = result.kind == MediaEvent::kListing ? directory.error : result.error;
      loading = false;
      continue;
    }
    // One preview per frame spreads uploads and mipmap generation over frames.
    if (applyPreview(std::move(result))) break;
  }
}

void MediaBrowser::applySummary(MediaEvent&& summary) {
  // Summary jobs keep their key even when they throw; an anonymous failure has no entry to go to.
  if (summary.textureKey.empty()) return;
  pendingSummaries_.erase(summary.textureKey);
  if (summary.error.empty() && summary.frameCount != 0) {
    const std::string cacheKey = summaryCacheKey(summary.textureKey);
    cacheWriter_.submit([cache = cache_, cacheKey, entry = summaryCacheEntry(summary)](
                            const Worker<MediaEvent>::CancelToken&) {
      cache->write(cacheKey, entry);
      return MediaEvent{};
    });
  }
  for (auto it = textures_.lower_bound(summary.textureKey);
       it != textures_.end() && it->first.compare(0, summary.textureKey.size(), summary.textureKey) == 0; ++it) {
    it->second.frameCount = summary.frameCount;
    it->second.seconds = summary.seconds;
    it->second.lastTime = summary.lastTime;
    it->second.summaryError = summary.error;
  }
  const std::string summaryKey = summary.textureKey;
  summaries_[summaryKey] = std::move(summary);
}

bool MediaBrowser::applyPreview(MediaEvent&& result) {
  const auto found = textures_.find(result.textureKey);
  if (found == textures_.end()) return false;
  PreviewTexture& entry = found->second;
  // A job for parameters the entry no longer has: its successor is on its way.
  if (entry.params != parameterText(result.plain, result.params)) return false;
  entry.message = result.error;
  if (result.kind == MediaEvent::kPhotoPreview && result.error.empty() && result.capture) {
    result.image = renderPhotoPreview(result, entry.message);
  }
  if (result.kind == MediaEvent::kVersionPreview && result.image.empty() && !result.frame.depth.empty()) {
    result.image = renderVersionPreview(result);
  }
  if (!result.image.empty()) {
    if (result.plain) result.image = gridSized(std::move(result.image));
    uploadWithMipmaps(entry, result.image);
    if (!result.fromCache) {
      cacheWriter_.submit([cache = cache_, cacheKey = result.cacheKey, preview = previewCacheEntry(result)](
                              const Worker<MediaEvent>::CancelToken&) {
        cache->write(cacheKey, preview);
        return MediaEvent{};
      });
    }
    trimTextures();
  }
  entry.firstTime = result.firstTime;
  entry.frameTime = result.frameTime;
  entry.lastTime = result.lastTime;
  entry.frameCount = result.frameCount;
  entry.seconds = result.seconds;
  const auto summary = summaries_.find(result.textureKey.substr(0, result.textureKey.rfind('|') + 1));
  if (summary != summaries_.end()) {
    entry.frameCount = summary->second.frameCount;
    entry.seconds = summary->second.seconds;
    entry.lastTime = summary->second.lastTime;
  }
  return true;
}

void MediaBrowser::deleteTexture(PreviewTexture& entry) {
  if (entry.texture != 0) {
    const GLuint texture = entry.texture;
    glDeleteTextures(1, &texture);
  }
  entry.texture = 0;
  entry.width = 0;
  entry.height = 0;
}

void MediaBrowser::trimTextures() {
  uint64_t total = 0;
  for (const auto& [textureKey, entry] : textures_) total += textureCost(entry);
  while (total > textureBudget) {
    PreviewTexture* oldest = nullptr;
    for (auto& [textureKey, entry] : textures_) {
      if (entry.texture != 0 && (oldest == nullptr || entry.lastUse < oldest->lastUse)) oldest = &entry;
    }
    if (oldest == nullptr) break;
    total -= textureCost(*oldest);
    deleteTexture(*oldest);
    oldest->requested = false;
  }
}

void MediaBrowser::clearTextures(bool all) {
  summaryWorker_.cancel();
  pendingSummaries_.clear();
  if (all) {
    for (auto& [textureKey, entry] : textures_) deleteTexture(entry);
    textures_.clear();
    summaries_.clear();
    return;
  }
  for (auto& [textureKey, entry] : textures_) {
    if (entry.texture == 0) {
      entry.requested = false;
      entry.message.clear();
    }
    entry.summaryRequested = false;
  }
  for (auto it = summaries_.begin(); it != summaries_.end();) {
    it = it->second.error.empty() ? std::next(it) : summaries_.erase(it);
  }
}

}  // namespace pcv0930
