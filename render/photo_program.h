#pragma once
// The GPU program that draws photo points, and the node and sampling rules every photo picture
// (raster render, SVG export) shares with it.
#include <epoxy/gl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "depth_mapping.h"
#include "pcp_capture.h"

namespace pcp {

// The program's uniform arrays hold this many nodes.
constexpr size_t kMaxPhotoNodes = 32;

struct ShaderSources {
  std::string vertex;
  std::string fragment;
};

// GLSL 120 sources of the photo point program: attributes aPosition (0) and aColor (1).
const ShaderSources& photoPointSources();

// Compiles and links `sources` with the photo attribute locations. Returns the program, or 0 with
// error set ("OpenGL shader compilation failed: " or "OpenGL program link failed: " plus the log);
// nothing created is left behind on failure.
GLuint buildPhotoPointProgram(const ShaderSources& sources, std::string& error);

// The nodes a photo is drawn with: a copy sorted by position, cut to the first 32.
std::vector<SliderPoint> photoMappingNodes(const std::vector<SliderPoint>& nodes);

// Whether point `pointIndex` of `capture` survives sampling at `threshold` (from
// point_sampling::keepThreshold). The point's source depth pixel decides; captures without one
// pixel index per point use the point's own position in the list.
bool keepsPhotoPoint(const CaptureData& capture, uint32_t threshold, size_t pointIndex);

// The metadata asks for colour ("color_mode" true); colour is used only when the capture also has
// one colour per point.
bool photoColorMode(const CaptureData& capture);

}  // namespace pcp
