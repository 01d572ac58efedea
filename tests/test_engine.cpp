// The engine, linked in: orvel_localfit over ranges of a grid, for every
// variant this CPU runs, against the oracle's fit of the whole grid bit for
// bit, with only the columns each range needs held; and the calls it must
// refuse without touching any array.
#include "common.h"
#include "guarded.h"
#include "scenarios.h"

#include "localfit/engine.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>

namespace {

std::vector<int> runnableVariants()
{
    std::vector<int> v;
    for (int isa : {ORVEL_ISA_GENERIC, ORVEL_ISA_AVX2, ORVEL_ISA_AVX512})
        if (orvel_localfit_isa(isa) == isa)
            v.push_back(isa);
    return v;
}

// Nodes ix0..ix1-1 by iy0..iy1-1, results one stride apart per column.
struct Tile {
    ptrdiff_t ix0, ix1, iy0, iy1, stride;
};

std::ostream& operator<<(std::ostream& os, const Tile& t)
{
    return os << "columns " << t.ix0 << ".." << t.ix1 << ", rows " << t.iy0 << ".." << t.iy1
              << ", stride " << t.stride;
}

// Fits one tile: the columns its windows reach copied flush against an
// inaccessible page (on `side`), read-only, and results into arrays that
// cover the tile's elements and eight more on either side.  Every node must
// have the oracle's bits (want, of the whole grid) and every other element
// keep its sentinel.
::testing::AssertionResult fitsTile(const std::vector<double>& data, int ny, int nx,
                                    const std::vector<double>& K, bool cv, int isa,
                                    const Tile& tile, Side side, const Outputs& want)
{
    const ptrdiff_t col0 = std::max<ptrdiff_t>(tile.ix0 - 3, 0);
    const ptrdiff_t ncol = std::min<ptrdiff_t>(tile.ix1 + 3, nx) - col0;
    Guarded held((size_t)(ncol * ny), side);
    std::copy(data.begin() + col0 * ny, data.begin() + (col0 + ncol) * ny, held.get());
    held.readOnly();

    const ptrdiff_t cols = tile.ix1 - tile.ix0, rows = tile.iy1 - tile.iy0, margin = 8;
    const ptrdiff_t extent = cols > 1 ? (cols - 1) * tile.stride + rows : rows;
    Outputs got((size_t)(extent + 2 * margin), 777.0), expected = got;
    for (ptrdiff_t ix = tile.ix0; ix < tile.ix1; ++ix)
        for (ptrdiff_t iy = tile.iy0; iy < tile.iy1; ++iy) {
            const size_t at = margin + (ix - tile.ix0) * tile.stride + (iy - tile.iy0);
            const size_t n = (size_t)ix * ny + iy;
            expected.F[at] = want.F[n];
            expected.gFx[at] = want.gFx[n];
            expected.gFy[at] = want.gFy[n];
        }

    const orvel_grid g = {ny, nx, held.get(), col0, ncol, K.data()};
    const orvel_targets t = {tile.ix0, tile.ix1, tile.iy0, tile.iy1, got.F.data() + margin,
                             got.gFx.data() + margin, got.gFy.data() + margin, tile.stride};
    const int rc = orvel_localfit(&g, cv, &t, isa);
    if (rc != ORVEL_OK)
        return ::testing::AssertionFailure() << "returned " << rc;
    if (!held.surroundingsIntact())
        return ::testing::AssertionFailure() << "wrote around the data";
    return sameOutputs(got, expected);
}

// Cuts 0..n into pieces: at random, some of them one long, and more often
// near both ends, where the windows are clipped.
std::vector<ptrdiff_t> cuts(std::mt19937_64& rng, ptrdiff_t n, ptrdiff_t most)
{
    std::vector<ptrdiff_t> at{0};
    while (at.back() < n) {
        const ptrdiff_t left = n - at.back();
        const ptrdiff_t step = rng() % 4 == 0 ? 1 : 1 + (ptrdiff_t)(rng() % std::min(left, most));
        at.push_back(at.back() + std::min(step, left));
    }
    return at;
}

// The tiles of one grid: a tiling into column blocks and row ranges of
// random sizes, odd strides included (and for a single column any stride,
// negative ones too); single nodes (all of a small grid, some of a larger);
// the whole grid.
std::vector<Tile> tiles(std::mt19937_64& rng, ptrdiff_t ny, ptrdiff_t nx)
{
    std::vector<Tile> all;
    auto stride = [&](ptrdiff_t cols, ptrdiff_t rows) {
        if (cols == 1 && rng() % 3 == 0)
            return (ptrdiff_t)(rng() % 7) - 4;
        return rows + (rng() % 2 ? 0 : (ptrdiff_t)(rng() % 5));
    };
    const std::vector<ptrdiff_t> xs = cuts(rng, nx, 9), ys = cuts(rng, ny, 40);
    for (size_t i = 0; i + 1 < xs.size(); ++i)
        for (size_t j = 0; j + 1 < ys.size(); ++j)
            all.push_back({xs[i], xs[i + 1], ys[j], ys[j + 1],
                           stride(xs[i + 1] - xs[i], ys[j + 1] - ys[j])});
    const bool every = nx * ny <= 120;
    for (ptrdiff_t ix = 0; ix < nx; ++ix)
        for (ptrdiff_t iy = 0; iy < ny; ++iy)
            if (every || rng() % 40 == 0)
                all.push_back({ix, ix + 1, iy, iy + 1, stride(1, 1)});
    all.push_back({0, nx, 0, ny, stride(nx, ny)});
    return all;
}

TEST(Engine, RangesMatchTheOracleBitForBit)
{
    const std::vector<int> variants = runnableVariants();
    ASSERT_FALSE(variants.empty());
    std::vector<Scenario> scenarios(std::begin(kScenarios), std::end(kScenarios));
    scenarios.push_back({"zero outside a box", finiteData, boxKernel});
    scenarios.push_back({"zero outside a box, specials", sprinkled, boxKernel});
    std::mt19937_64 rng(4242);
    long fitted = 0;
    for (const Scenario& sc : scenarios)
        for (int trial = 0; trial < 6; ++trial) {
            const Case c = randomCase(rng, sc, trial % 3 == 0);
            const int ny = c.ny, nx = c.nx;
            const std::vector<double>& data = c.data;
            const std::vector<double>& K = c.K;
            for (bool cv : {false, true}) {
                const Outputs want = runOracle(cv, data, ny, nx, K.data());
                for (int isa : variants) {
                    int failures = 0;
                    for (const Tile& tile : tiles(rng, ny, nx)) {
                        const Side side = fitted % 2 ? Side::Left : Side::Right;
                        const auto ok = fitsTile(data, ny, nx, K, cv, isa, tile, side, want);
                        EXPECT_TRUE(ok) << sc.name << ", " << ny << "x" << nx << ", cv " << cv
                                        << ", isa " << isa << ", " << tile;
                        ++fitted;
                        if (!ok && ++failures == 3)
                            break;
                    }
                }
            }
        }
    std::printf("%ld ranges fitted\n", fitted);
}

// Every call the engine must refuse returns its code without reading or
// writing anything: all arrays point into pages that fault on any access.
TEST(Engine, RefusedCallsTouchNothing)
{
    const Inaccessible none;
    const ptrdiff_t page = (ptrdiff_t)pageSize(), big = PTRDIFF_MAX;
    // A consistent call: columns 2..4 and rows 1..8 of a 10 x 12 grid.
    const orvel_grid g0 = {10, 12, none.at(0), 0, 8, none.at(64)};
    const orvel_targets t0 = {2, 5, 1, 9, none.at(page), none.at(2 * page),
                              none.at(3 * page - 8), 8};
    {
        // ... accepted with real arrays.
        std::vector<double> data(120, 1.0), K = gaussianKernel(), F(24), gFx(24), gFy(24);
        orvel_grid g = g0;
        orvel_targets t = t0;
        g.data = data.data();
        g.K = K.data();
        t.F = F.data();
        t.gFx = gFx.data();
        t.gFy = gFy.data();
        ASSERT_EQ(orvel_localfit(&g, 0, &t, ORVEL_ISA_AUTO), ORVEL_OK);
    }

    using Change = std::function<void(orvel_grid&, orvel_targets&)>;
    const std::pair<const char*, Change> bad[] = {
        {"ny 0", [](auto& g, auto&) { g.ny = 0; }},
        {"ny < 0", [](auto& g, auto&) { g.ny = -10; }},
        {"nx 0", [](auto& g, auto&) { g.nx = 0; }},
        {"nx most negative", [](auto& g, auto&) { g.nx = PTRDIFF_MIN; }},
        {"ix0 < 0", [](auto&, auto& t) { t.ix0 = -1; }},
        {"ix0 > ix1", [](auto&, auto& t) { t.ix0 = 6; }},
        {"ix1 > nx", [](auto& g, auto& t) { t.ix1 = 13, g.ncol = 12; }},
        {"iy0 < 0", [](auto&, auto& t) { t.iy0 = -1; }},
        {"iy0 > iy1", [](auto&, auto& t) { t.iy0 = 10; }},
        {"iy1 > ny", [](auto&, auto& t) { t.iy1 = 11; }},
        {"col0 < 0", [](auto& g, auto&) { g.col0 = -1; }},
        {"ncol < 0", [](auto& g, auto&) { g.ncol = -1; }},
        {"columns past nx", [](auto& g, auto&) { g.ncol = 13; }},
        {"columns past nx, sum overflowing",
         [=](auto& g, auto&) { g.col0 = big, g.ncol = big; }},
        {"window's first column not held", [](auto& g, auto&) { g.col0 = 1, g.ncol = 7; }},
        {"window's last column not held", [](auto& g, auto&) { g.ncol = 7; }},
        {"empty range, window not held",
         [](auto& g, auto& t) { t.ix0 = t.ix1 = 9, g.col0 = 7, g.ncol = 5; }},
        {"range at the top of a huge grid, window not held",
         [=](auto& g, auto& t) { g.nx = big, t.ix1 = big, t.ix0 = big - 1, g.col0 = big - 4,
                                 g.ncol = 3; }},
        {"stride < rows", [](auto&, auto& t) { t.stride = 7; }},
        {"stride < 0", [](auto&, auto& t) { t.stride = -8; }},
        {"stride overflowing", [=](auto&, auto& t) { t.stride = big / 2; }},
        {"columns larger than memory",
         [=](auto& g, auto& t) { g.ny = big / 4, t.stride = big / 4; }},
        {"data null", [](auto& g, auto&) { g.data = nullptr; }},
        {"K null", [](auto& g, auto&) { g.K = nullptr; }},
        {"F null", [](auto&, auto& t) { t.F = nullptr; }},
        {"gFx null", [](auto&, auto& t) { t.gFx = nullptr; }},
        {"gFy null", [](auto&, auto& t) { t.gFy = nullptr; }},
    };
    for (const auto& [what, change] : bad)
        for (int loo : {0, 1}) {
            orvel_grid g = g0;
            orvel_targets t = t0;
            change(g, t);
            EXPECT_EQ(orvel_localfit(&g, loo, &t, ORVEL_ISA_AUTO), ORVEL_BAD_ARGS) << what;
            // Arguments come before the variant.
            EXPECT_EQ(orvel_localfit(&g, loo, &t, 99), ORVEL_BAD_ARGS) << what;
        }
    EXPECT_EQ(orvel_localfit(nullptr, 0, &t0, ORVEL_ISA_AUTO), ORVEL_BAD_ARGS);
    EXPECT_EQ(orvel_localfit(&g0, 0, nullptr, ORVEL_ISA_AUTO), ORVEL_BAD_ARGS);

    // Empty ranges: nothing to do, whatever the pointers and the stride.
    const std::pair<const char*, Change> empty[] = {
        {"no columns", [](auto& g, auto& t) { t.ix1 = t.ix0, g.data = nullptr, t.F = nullptr; }},
        {"no rows", [](auto& g, auto& t) { t.iy1 = t.iy0, g.K = nullptr, t.stride = -5; }},
        {"no columns held", [](auto& g, auto& t) { t.ix0 = t.ix1 = 12, g.col0 = 9, g.ncol = 3; }},
    };
    for (const auto& [what, change] : empty) {
        orvel_grid g = g0;
        orvel_targets t = t0;
        change(g, t);
        EXPECT_EQ(orvel_localfit(&g, 1, &t, ORVEL_ISA_GENERIC), ORVEL_OK) << what;
    }

    // Variants: each is runnable or refused, as this CPU says; the choice is
    // a runnable one; a refused variant reads and writes nothing.
#if defined(__x86_64__)
    const int level = orvel_cpu_level_of(orvel_cpu_detect());
    EXPECT_EQ(orvel_localfit_isa(ORVEL_ISA_AVX2) != 0, level >= ORVEL_LEVEL_AVX2);
    EXPECT_EQ(orvel_localfit_isa(ORVEL_ISA_AVX512) != 0, level >= ORVEL_LEVEL_AVX512);
    if (level >= ORVEL_LEVEL_AVX2)
        EXPECT_NE(orvel_localfit_isa(ORVEL_ISA_AUTO), ORVEL_ISA_GENERIC);
#else
    EXPECT_EQ(orvel_localfit_isa(ORVEL_ISA_AVX2), 0);
    EXPECT_EQ(orvel_localfit_isa(ORVEL_ISA_AVX512), 0);
#endif
    EXPECT_EQ(orvel_localfit_isa(ORVEL_ISA_GENERIC), ORVEL_ISA_GENERIC);
    const int chosen = orvel_localfit_isa(ORVEL_ISA_AUTO);
    EXPECT_NE(chosen, 0);
    EXPECT_EQ(orvel_localfit_isa(chosen), chosen);
    int refused = 0;
    for (int isa : {(int)ORVEL_ISA_AVX2, (int)ORVEL_ISA_AVX512, 4, -1, INT_MAX}) {
        if (orvel_localfit_isa(isa) != 0)
            continue;
        for (int loo : {0, 1}) {
            EXPECT_EQ(orvel_localfit(&g0, loo, &t0, isa), ORVEL_NO_ISA) << isa;
            orvel_targets t = t0;
            t.ix1 = t.ix0;
            EXPECT_EQ(orvel_localfit(&g0, loo, &t, isa), ORVEL_NO_ISA) << isa << ", empty";
        }
        ++refused;
    }
    EXPECT_GE(refused, 3);
}

} // namespace
