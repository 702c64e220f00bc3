// Writes the 256 x 256 blue-noise rank table of the point sampling rule as a C++ source file.
//
// Usage: tessaline-rank-table OUTPUT.cpp
//
// Void-and-cluster on the torus with a Gaussian energy filter, grown one rank at a time: each rank
// goes to the empty cell of least energy (the largest void) among those that keep the spacing
// rules below. The published ranks of the corner cells are held: such a cell takes exactly its
// rank, and from the start every other cell keeps the spacing rules towards it for the thresholds
// at which both are kept. The output is deterministic.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr int kSide = 256;
constexpr int kCells = kSide * kSide;
constexpr int kUnplaced = -1;
// A narrow filter: it makes the mid ranks close to a checkerboard, giving the table's neighbour
// correlations (about -0.46 to the right and lower cells, +0.09 to the diagonal ones) and keeping
// the counts per 8 x 8 block within a few cells of their mean.
constexpr double kEnergySigma = 0.985;

// Ranks fixed by the published table for columns 0..7 of rows 0..3.
constexpr int kHeldRows = 4;
constexpr int kHeldColumns = 8;
constexpr int kHeldValues[kHeldRows][kHeldColumns] = {
    {54959, 25481, 62992, 2026, 39865, 57923, 4362, 38962},
    {13150, 40465, 17883, 49118, 12265, 23877, 50285, 30928},
    {60920, 4995, 55965, 26690, 35417, 61312, 18158, 8878},
    {17390, 48298, 32613, 8148, 46483, 2551, 40278, 54755},
};

// Below `threshold` kept cells are at least sqrt(minDistanceSquared) cells apart (wrap-around).
struct SpacingRule {
    int threshold;
    int minDistanceSquared;
};
constexpr std::array<SpacingRule, 4> kSpacingRules = {{
    {655, 36},    // 1 %
    {3277, 10},   // 5 %
    {6554, 5},    // 10 %
    {13107, 2},   // 20 %: no two kept cells share an edge
}};
constexpr uint8_t kTakenBit = 1u << kSpacingRules.size();

int wrapDistance(int d) {
    d &= kSide - 1;
    return d < kSide - d ? d : kSide - d;
}

int cellIndex(int x, int y) { return (y & (kSide - 1)) * kSide + (x & (kSide - 1)); }

class RankTableBuilder {
public:
    RankTableBuilder() : energy_(kCells, 0.0), flags_(kCells, 0), ranks_(kCells, kUnplaced),
                         heldCellOfRank_(kCells, kUnplaced), tieOrder_(kCells) {
        buildKernel();
        buildTieOrder();
        for (int y = 0; y < kHeldRows; ++y) {
            for (int x = 0; x < kHeldColumns; ++x) {
                int cell = cellIndex(x, y);
                heldCellOfRank_[kHeldValues[y][x]] = cell;
                flags_[cell] |= kTakenBit;
                blockNeighbourhood(cell, kHeldValues[y][x]);
            }
        }
    }

    bool build(std::string& error) {
        for (int rank = 0; rank < kCells; ++rank) {
            int cell = heldCellOfRank_[rank];
            if (cell == kUnplaced) {
                cell = largestVoid(rank);
                if (cell == kUnplaced) {
                    error = "no cell satisfies the spacing rules for rank " + std::to_string(rank);
                    return false;
                }
            }
            place(cell, rank);
        }
        return true;
    }

    const std::vector<int>& ranks() const { return ranks_; }

private:
    void buildKernel() {
        // Two copies of each row side by side, so that the wrap-around update is one contiguous run.
        kernel_.assign(kSide * 2 * kSide, 0.0);
        for (int dy = 0; dy < kSide; ++dy) {
            for (int dx = 0; dx < 2 * kSide; ++dx) {
                double wx = wrapDistance(dx);
                double wy = wrapDistance(dy);
                kernel_[dy * 2 * kSide + dx] =
                    std::exp(-(wx * wx + wy * wy) / (2.0 * kEnergySigma * kEnergySigma));
            }
        }
    }

    // Exact energy ties (the empty start, symmetric patterns) are broken by a fixed pseudo-random
    // order, so that the first ranks do not line up along rows.
    void buildTieOrder() {
        uint64_t state = 0x9e3779b97f4a7c15ull;
        for (int i = 0; i < kCells; ++i) {
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            tieOrder_[i] = static_cast<uint32_t>((state * 0x2545f4914f6cdd1dull) >> 32);
        }
    }

    static uint8_t activeRules(int rank) {
        uint8_t mask = kTakenBit;
        for (size_t i = 0; i < kSpacingRules.size(); ++i) {
            if (rank < kSpacingRules[i].threshold) mask |= static_cast<uint8_t>(1u << i);
        }
        return mask;
    }

    // Marks the cells that may not be kept together with `cell` at the thresholds above `rank`.
    void blockNeighbourhood(int cell, int rank) {
        int cx = cell % kSide;
        int cy = cell / kSide;
        for (size_t i = 0; i < kSpacingRules.size(); ++i) {
            if (rank >= kSpacingRules[i].threshold) continue;
            int limit = kSpacingRules[i].minDistanceSquared;
            int reach = static_cast<int>(std::sqrt(static_cast<double>(limit)));
            for (int dy = -reach; dy <= reach; ++dy) {
                for (int dx = -reach; dx <= reach; ++dx) {
                    if (dx * dx + dy * dy < limit) {
                        flags_[cellIndex(cx + dx, cy + dy)] |= static_cast<uint8_t>(1u << i);
                    }
                }
            }
        }
    }

    int largestVoid(int rank) const {
        uint8_t active = activeRules(rank);
        int best = kUnplaced;
        double bestEnergy = std::numeric_limits<double>::infinity();
        for (int cell = 0; cell < kCells; ++cell) {
            if (flags_[cell] & active) continue;
            double e = energy_[cell];
            if (e < bestEnergy || (e == bestEnergy && tieOrder_[cell] < tieOrder_[best])) {
                best = cell;
                bestEnergy = e;
            }
        }
        return best;
    }

    void place(int cell, int rank) {
        ranks_[cell] = rank;
        flags_[cell] |= kTakenBit;
        blockNeighbourhood(cell, rank);
        int px = cell % kSide;
        int py = cell / kSide;
        for (int y = 0; y < kSide; ++y) {
            const double* kernelRow = &kernel_[((y - py) & (kSide - 1)) * 2 * kSide + kSide - px];
            double* energyRow = &energy_[y * kSide];
            for (int x = 0; x < kSide; ++x) energyRow[x] += kernelRow[x];
        }
    }

    std::vector<double> kernel_;
    std::vector<double> energy_;
    std::vector<uint8_t> flags_;
    std::vector<int> ranks_;
    std::vector<int> heldCellOfRank_;
    std::vector<uint32_t> tieOrder_;
};

bool writeSource(const std::string& path, const std::vector<int>& ranks) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    std::fprintf(out,
                 "// Generated by tessaline-rank-table (tools/rank_table_generator.cpp); do not edit.\n"
                 "// Regenerate from the repository root with:\n"
                 "//   build-release/tools/tessaline-rank-table render/spatial_ranks_data.cpp\n"
                 "\n"
                 "#include \"spatial_ranks.h\"\n"
                 "\n"
                 "namespace point_sampling {\n"
                 "\n"
                 "const uint16_t spatialRanks[256][256] = {\n");
    constexpr int kPerLine = 16;
    for (int y = 0; y < kSide; ++y) {
        std::fprintf(out, "    {\n");
        for (int x = 0; x < kSide; ++x) {
            if (x % kPerLine == 0) std::fprintf(out, "        ");
            std::fprintf(out, "%d,", ranks[y * kSide + x]);
            std::fprintf(out, (x % kPerLine == kPerLine - 1) ? "\n" : " ");
        }
        std::fprintf(out, "    },\n");
    }
    std::fprintf(out, "};\n\n}  // namespace point_sampling\n");
    bool written = std::ferror(out) == 0;
    return std::fclose(out) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
        return 2;
    }
    RankTableBuilder builder;
    std::string error;
    if (!builder.build(error)) {
        std::fprintf(stderr, "tessaline-rank-table: %s\n", error.c_str());
        return 1;
    }
    if (!writeSource(argv[1], builder.ranks())) {
        std::fprintf(stderr, "tessaline-rank-table: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
