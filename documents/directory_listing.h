#pragma once
// One folder turned into the list the browser shows, and the small texts the browser and the
// editors use for sizes, durations and names.
#include <cstdint>
#include <functional>
#include <string>

#include "media_item.h"

namespace pcv0930 {

// Answers true when the caller has given up.
using CancelCheck = std::function<bool()>;

// Subfolders and video items of path (photos are added by media::appendPhotos). A cancelled
// listing is an entirely empty Directory; a failure leaves its description in error.
Directory listDirectory(const std::string& path, const CancelCheck& cancel);

// Natural file-name order: clip2 before clip10, case-insensitive, leading zeros ignored.
bool naturalLess(const std::string& a, const std::string& b);
// The listing order: newest first, then natural name order.
bool listedBefore(const MediaItem& a, const MediaItem& b);

std::string sizeText(uint64_t bytes);
std::string durationText(double seconds);

// Per-user cache folder (previews, exported cover pictures).
std::string coverDirectory();

}  // namespace pcv0930

// Maps a segment file of a recording ("take_2.pcv" beside "take.pcv") to the recording's main
// file; any other path comes back unchanged.
std::string normalizeMainPcvPath(const std::string& path);
