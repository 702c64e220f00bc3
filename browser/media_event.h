#pragma once
// The result of every background job of the media browser: folder listings, previews, summaries
// and cache writes.
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "frame_data.h"
#include "media_item.h"
#include "pcp_capture.h"
#include "photo_document.h"
#include "video_renderer.h"

namespace pcv0930 {

struct MediaEvent {
  // Kinds of event.
  static constexpr int kFailed = -1;
  static constexpr int kListing = 0;
  static constexpr int kPreview = 1;
  static constexpr int kVersionPreview = 2;
  static constexpr int kSummary = 3;
  static constexpr int kPhotoPreview = 4;

  uint64_t generation = 0;
  int kind = kFailed;
  std::string textureKey;
  std::string cacheKey;
  std::string error;
  std::string frameTime;
  std::string baseMeta;
  std::string lastTime;
  std::string firstTime;
  bool fromCache = false;
  bool plain = false;  // the request had an empty variant
  Directory directory;
  ImageRGB image;
  FrameData frame;  // kind 2: rendered on the GPU by the main thread
  nlohmann::json params;
  std::shared_ptr<pcp::CaptureData> capture;  // kind 4: rendered on the GPU by the main thread
  media::PhotoParams photoParams;
  uint64_t frameCount = 0;
  uint64_t frameIndex = 0;
  double seconds = -1.0;
  bool flipX = false;
  bool flipY = false;
  uint32_t renderWidth = 1600;
  uint32_t renderHeight = 960;
};

}  // namespace pcv0930
