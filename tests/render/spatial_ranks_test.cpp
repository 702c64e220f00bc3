#include "spatial_ranks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

using point_sampling::keeps;
using point_sampling::keepThreshold;
using point_sampling::spatialRanks;

constexpr int kSide = 256;
constexpr int kCells = kSide * kSide;

uint16_t rankAt(int x, int y) { return spatialRanks[y & (kSide - 1)][x & (kSide - 1)]; }

// Smallest squared wrap-around distance between two cells ranked below `threshold`, searched up
// to `radius` cells away; radius * radius + 1 when no pair is that close.
int closestKeptPairSquared(uint32_t threshold, int radius) {
    int closest = radius * radius + 1;
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            if (rankAt(x, y) >= threshold) continue;
            for (int dy = 0; dy <= radius; ++dy) {
                for (int dx = -radius; dx <= radius; ++dx) {
                    if (dy == 0 && dx <= 0) continue;
                    int distance = dx * dx + dy * dy;
                    if (distance < closest && rankAt(x + dx, y + dy) < threshold) closest = distance;
                }
            }
        }
    }
    return closest;
}

int edgeNeighbourPairs(uint32_t threshold) {
    int pairs = 0;
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            if (rankAt(x, y) >= threshold) continue;
            pairs += rankAt(x + 1, y) < threshold;
            pairs += rankAt(x, y + 1) < threshold;
        }
    }
    return pairs;
}

struct BlockCountRange {
    int fewest = std::numeric_limits<int>::max();
    int most = 0;
};

BlockCountRange keptPerAlignedBlock(uint32_t threshold) {
    BlockCountRange range;
    for (int by = 0; by < kSide; by += 8) {
        for (int bx = 0; bx < kSide; bx += 8) {
            int kept = 0;
            for (int y = by; y < by + 8; ++y) {
                for (int x = bx; x < bx + 8; ++x) kept += rankAt(x, y) < threshold;
            }
            range.fewest = std::min(range.fewest, kept);
            range.most = std::max(range.most, kept);
        }
    }
    return range;
}

// Pearson correlation of every cell's rank with the rank `dx`, `dy` cells away (wrap-around).
double rankCorrelation(int dx, int dy) {
    const double mean = (kCells - 1) / 2.0;
    double product = 0.0;
    double square = 0.0;
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            double here = rankAt(x, y) - mean;
            product += here * (rankAt(x + dx, y + dy) - mean);
            square += here * here;
        }
    }
    return product / square;
}

std::string fixed3(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

TEST(SpatialRanks, IsAPermutationOfAllRanks) {
    std::vector<int> seen(kCells, 0);
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) ++seen[spatialRanks[y][x]];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kCells);
}

TEST(SpatialRanks, HoldsThePublishedCornerRanks) {
    const uint16_t published[4][8] = {
        {54959, 25481, 62992, 2026, 39865, 57923, 4362, 38962},
        {13150, 40465, 17883, 49118, 12265, 23877, 50285, 30928},
        {60920, 4995, 55965, 26690, 35417, 61312, 18158, 8878},
        {17390, 48298, 32613, 8148, 46483, 2551, 40278, 54755},
    };
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 8; ++x) EXPECT_EQ(spatialRanks[y][x], published[y][x]) << x << "," << y;
    }
}

TEST(SpatialRanks, SparseThresholdsKeepTheirSpacing) {
    struct Case {
        uint32_t threshold;  // 1 %, 5 %, 10 % of 65536, rounded
        int minDistanceSquared;
    };
    const Case cases[] = {{655, 36}, {3277, 10}, {6554, 5}};
    for (const Case& c : cases) {
        int closest = closestKeptPairSquared(c.threshold, 8);
        EXPECT_GE(closest, c.minDistanceSquared) << "threshold " << c.threshold;
        ::testing::Test::RecordProperty("closest_squared_below_" + std::to_string(c.threshold),
                                        closest);
    }
}

TEST(SpatialRanks, EdgeNeighboursAppearOnlyAboveOneFifth) {
    EXPECT_EQ(edgeNeighbourPairs(13107), 0);
    EXPECT_EQ(closestKeptPairSquared(13107, 1), 2) << "diagonal neighbours are expected at 20 %";
    EXPECT_GT(edgeNeighbourPairs(32768), 0);
    EXPECT_GT(edgeNeighbourPairs(49152), 0);
}

TEST(SpatialRanks, AlignedBlocksKeepCountsNearTheirShare) {
    struct Case {
        uint32_t threshold;
        int fewest;
        int most;
    };
    const Case cases[] = {{13107, 10, 16}, {32768, 29, 35}, {49152, 44, 52}};
    for (const Case& c : cases) {
        BlockCountRange range = keptPerAlignedBlock(c.threshold);
        EXPECT_GE(range.fewest, c.fewest) << "threshold " << c.threshold;
        EXPECT_LE(range.most, c.most) << "threshold " << c.threshold;
    }
}

TEST(SpatialRanks, NeighbourCorrelationsMatchBlueNoise) {
    constexpr double kTolerance = 0.05;
    struct Case {
        int dx;
        int dy;
        double expected;
    };
    const Case neighbours[] = {{1, 0, -0.46}, {0, 1, -0.46}, {1, 1, 0.09}, {1, -1, 0.09}};
    for (const Case& c : neighbours) {
        double correlation = rankCorrelation(c.dx, c.dy);
        EXPECT_NEAR(correlation, c.expected, kTolerance) << c.dx << "," << c.dy;
        ::testing::Test::RecordProperty(
            "correlation_" + std::to_string(c.dx) + "_" + std::to_string(c.dy), fixed3(correlation));
    }
    double farthestFromZero = 0.0;
    for (int dy = 0; dy <= 8; ++dy) {
        for (int dx = -8; dx <= 8; ++dx) {
            int distanceSquared = dx * dx + dy * dy;
            if (distanceSquared <= 9 || distanceSquared > 64) continue;
            double correlation = rankCorrelation(dx, dy);
            EXPECT_NEAR(correlation, 0.0, kTolerance) << dx << "," << dy;
            farthestFromZero = std::max(farthestFromZero, std::fabs(correlation));
        }
    }
    ::testing::Test::RecordProperty("largest_correlation_beyond_3", fixed3(farthestFromZero));
}

TEST(SamplingRule, ThresholdFromRatio) {
    struct Case {
        float ratio;
        uint32_t threshold;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {1.0f, 65536},  {std::nanf(""), 65536}, {inf, 65536},   {-inf, 65536},
        {2.5f, 65536},  {0.2f, 13107},          {0.05f, 13107}, {0.0f, 13107},
        {-1.0f, 13107}, {0.5f, 32768},          {0.75f, 49152}, {0.3f, 19660},
    };
    for (const Case& c : cases) EXPECT_EQ(keepThreshold(c.ratio), c.threshold) << c.ratio;
}

TEST(SamplingRule, FullThresholdKeepsEveryPixel) {
    const uint32_t all = keepThreshold(1.0f);
    for (uint32_t y = 0; y < 300; ++y) {
        for (uint32_t x = 0; x < 300; ++x) ASSERT_TRUE(keeps(all, x, y)) << x << "," << y;
    }
    EXPECT_TRUE(keeps(all, 0xffffffffu, 0xffffffffu));
}

// Any 256 x 256 window of the image, aligned or not, holds one whole tile.
TEST(SamplingRule, EveryTileKeepsExactlyTheThreshold) {
    const float ratios[] = {0.05f, 0.2f, 0.5f, 0.75f, 0.999f};
    const uint32_t origins[][2] = {{0, 0}, {1000, 300}, {0xffffff80u, 77}};
    for (float ratio : ratios) {
        uint32_t threshold = keepThreshold(ratio);
        for (const auto& origin : origins) {
            uint32_t kept = 0;
            for (uint32_t y = 0; y < 256; ++y) {
                for (uint32_t x = 0; x < 256; ++x) kept += keeps(threshold, origin[0] + x, origin[1] + y);
            }
            EXPECT_EQ(kept, threshold) << "ratio " << ratio << " origin " << origin[0];
        }
    }
    EXPECT_EQ(keepThreshold(0.5f), 32768u);
}

TEST(SamplingRule, RaisingTheRatioOnlyAddsPoints) {
    const float ratios[] = {0.2f, 0.21f, 0.35f, 0.5f, 0.5001f, 0.75f, 0.9f, 1.0f};
    for (size_t i = 1; i < std::size(ratios); ++i) {
        uint32_t lower = keepThreshold(ratios[i - 1]);
        uint32_t higher = keepThreshold(ratios[i]);
        for (uint32_t y = 0; y < 512; ++y) {
            for (uint32_t x = 0; x < 512; ++x) {
                ASSERT_TRUE(!keeps(lower, x, y) || keeps(higher, x, y)) << x << "," << y;
            }
        }
    }
}

}  // namespace
