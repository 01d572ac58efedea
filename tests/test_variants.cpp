// Every build of the libraries (the runtime choice and each pinned
// instruction-set variant) against the literal transcription, bit for bit,
// on grids of every shape and on every kind of value.
#include "common.h"
#include "scenarios.h"

namespace {

// Both entries of every build against the oracle on one grid.
void expectEveryBuildMatches(const std::vector<double>& data, int ny, int nx,
                             const std::vector<double>& K, const std::string& what)
{
    for (bool cv : {false, true}) {
        const Outputs want = runOracle(cv, data, ny, nx, K.data());
        for (const Libraries& build : allBuilds()) {
            ASSERT_NE(build.entry(cv), nullptr) << build.dir;
            EXPECT_TRUE(sameOutputs(runFit(build.entry(cv), data, ny, nx, K.data()), want))
                << what << ", " << build.dir << ", cv " << cv << ", " << ny << "x" << nx;
        }
    }
}

TEST(Variants, EveryBuildMatchesTheOracleBitForBit)
{
    ASSERT_GE(allBuilds().size(), 2u) << "expected the pinned variant builds as well";
    std::mt19937_64 rng(2024);
    for (const Scenario& sc : kScenarios) {
        for (int trial = 0; trial < 16; ++trial) {
            // A third of the grids small.
            const Case c = randomCase(rng, sc, trial % 3 == 0);
            expectEveryBuildMatches(c.data, c.ny, c.nx, c.K, sc.name);
        }
    }
}

// Kernels zero (+0 or -0) outside a box of offsets, every row range with
// several column ranges, some with a row and a column of zeros inside: the
// finite path forms only the box's terms, which must change no bit, while
// a non-finite value under a zero weight must still spread.
TEST(Variants, KernelFootprints)
{
    std::mt19937_64 rng(7);
    const std::pair<int, int> columnRanges[] = {{-3, 3}, {-2, 1}, {2, 2}, {-3, -1}};
    int trial = 0;
    for (int r0 = -3; r0 <= 3; ++r0)
        for (int r1 = r0; r1 <= 3; ++r1)
            for (auto [c0, c1] : columnRanges) {
                std::vector<double> K = uniformRandom(rng, 49, 0.1, 1.0);
                const int gapRow = r0 + (int)(rng() % (r1 - r0 + 1));
                const int gapColumn = c0 + (int)(rng() % (c1 - c0 + 1));
                const bool gaps = trial % 3 == 2;
                for (int dx = -3; dx <= 3; ++dx)
                    for (int dy = -3; dy <= 3; ++dy)
                        if (dx < c0 || dx > c1 || dy < r0 || dy > r1 ||
                            (gaps && (dy == gapRow || dx == gapColumn)))
                            K[kidx(dx, dy)] = rng() % 2 ? 0.0 : -0.0;
                const int ny = 40 + (int)(rng() % 30), nx = 9;
                std::vector<double> data = uniformRandom(rng, (size_t)nx * ny, -50, 50);
                if (trial % 2 == 1)
                    (trial % 4 == 1 ? sprinkled : oneBadColumn)(rng, data, ny);
                expectEveryBuildMatches(data, ny, nx, K, "footprint");
                ++trial;
            }
}

// A tall column exercises many whole blocks, then the leftovers of each
// size: single vectors and rows that go node by node.
TEST(Variants, EveryRemainderOfATallColumn)
{
    std::mt19937_64 rng(99);
    for (int ny = 20; ny <= 40; ++ny)
        expectEveryBuildMatches(uniformRandom(rng, (size_t)5 * ny, -1, 1), ny, 5,
                                gaussianKernel(1.2), "tall column");
}

} // namespace
