#pragma once

#include <cmath>
#include <cstdint>

namespace point_sampling {

// Tileable blue-noise threshold matrix, indexed [y][x]: a permutation of 0..65535 in which the
// cells below any rank are spread evenly and nest as the rank grows.
extern const uint16_t spatialRanks[256][256];

// Threshold that keeps every point: the table is not consulted.
constexpr uint32_t kKeepAllThreshold = 65536;

// Threshold for a sampling ratio: non-finite ratios keep everything, others are clamped to
// [0.2, 1] and scaled to the table's 65536 ranks, truncated.
inline uint32_t keepThreshold(float ratio) {
    if (!std::isfinite(ratio)) return kKeepAllThreshold;
    float clamped = ratio < 0.2f ? 0.2f : (ratio > 1.0f ? 1.0f : ratio);
    return static_cast<uint32_t>(clamped * 65536.0f);
}

// Whether the point from depth pixel (x, y) survives sampling at `threshold`; the table tiles the
// image.
inline bool keeps(uint32_t threshold, uint32_t x, uint32_t y) {
    return threshold >= kKeepAllThreshold || spatialRanks[y & 255u][x & 255u] < threshold;
}

}  // namespace point_sampling
