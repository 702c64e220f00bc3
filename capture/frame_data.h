#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One decoded video frame. The defaults are those used wherever the metadata says nothing.
struct FrameData {
  std::string kind;  // "FRM1", "FRM2" or "FRM3"
  std::string metaJson;
  std::vector<uint16_t> depth;  // width * height millimetres, row-major, top row first; 0 = no measurement
  std::vector<uint8_t> rgbJpeg;
  uint32_t width = 640;
  uint32_t height = 576;
  float fx = 500.0f;
  float fy = 500.0f;
  float cx = 320.0f;
  float cy = 288.0f;
};
