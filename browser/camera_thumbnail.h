#pragma once
// The grid thumbnail of a video frame, drawn in software so that a worker thread without an
// OpenGL context can make it.
#include <functional>

#include "frame_data.h"
#include "video_renderer.h"

namespace pcv0930 {

inline constexpr int kThumbnailWidth = 1600;
inline constexpr int kThumbnailHeight = 960;

// The frame's points seen through the camera its metadata describes, as two-pixel splats whose
// gray follows the metadata's D1/D2/D3 nodes; oriented like renderGpuFrameToImage with both flips
// off. Black for unusable intrinsics; empty when cancelled() turns true (checked before each row).
ImageRGB cameraThumbnail(const FrameData& frame, const std::function<bool()>& cancelled);

}  // namespace pcv0930
