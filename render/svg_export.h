#pragma once
// SVG drawings of point clouds: every visible point a filled square, painted back to front.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "depth_mapping.h"
#include "pcp_capture.h"

namespace vector_export {

struct Point {
  double x = 0.0;  // centre, user units from the left edge
  double y = 0.0;  // centre, user units from the top edge
  float depth = 0.0f;  // normalised device depth, larger is farther
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  uint64_t index = 0;  // position in the source point list; breaks depth ties
};

// Receives a fraction 0..1; false cancels. Empty = no reporting.
using Progress = std::function<bool(float)>;

// Calls `progress` when set; a false answer sets error to "已取消" and yields false.
bool progress(const Progress& progress, float fraction, std::string& error);

// Sorts `points` in place (farther first, equal depths larger index first) and writes the file.
// True when the file is complete.
bool write(const std::string& path, int width, int height, double size, std::vector<Point>& points,
           std::string& error, const Progress& progress = {});

}  // namespace vector_export

namespace pcp {

// Projects a photo with the raster renderer's camera, curve, sampling and colours and writes it
// with vector_export::write; progress runs 0..0.4 while projecting and 0.4..1 while writing.
bool exportSvg(const CaptureData& capture, const std::vector<SliderPoint>& nodes, float maxDistance, float pointSize,
               int width, int height, const std::string& path, std::string& error,
               const vector_export::Progress& progress = {}, float samplingRatio = 1.0f);

}  // namespace pcp
