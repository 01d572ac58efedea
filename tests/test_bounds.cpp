// Both entries of every build stay inside the arrays the caller owns: each
// array is placed against an inaccessible page on either side, the inputs are
// read-only, and the bytes around every array are checked after the call.
#include "common.h"
#include "guarded.h"

#include <array>
#include <climits>
#include <memory>

namespace {

enum Arg { Data, Kernel, OutF, OutGx, OutGy, NumArgs };
const char* const argName[NumArgs] = {"data", "K", "F", "gFx", "gFy"};

// Both dimensions in a read-only page of their own.
struct Dims {
    Guarded page{1, Side::Right};
    const int* ny;
    const int* nx;
    Dims(int y, int x)
    {
        int v[2] = {y, x};
        std::memcpy(page.get(), v, sizeof v);
        page.readOnly();
        ny = reinterpret_cast<const int*>(page.get());
        nx = ny + 1;
    }
};

struct Shape {
    int ny, nx;
};
void PrintTo(const Shape& s, std::ostream* os) { *os << s.ny << "x" << s.nx; }

class Bounds : public ::testing::TestWithParam<Shape> {};

// One arrangement of the five arrays: which side of its mapping each is
// flush against.
using Placement = std::array<Side, NumArgs>;

std::vector<std::pair<std::string, Placement>> placements()
{
    std::vector<std::pair<std::string, Placement>> all;
    for (Side s : {Side::Left, Side::Right}) {
        const Side other = s == Side::Left ? Side::Right : Side::Left;
        const std::string side = s == Side::Left ? "left" : "right";
        Placement p;
        p.fill(s);
        all.push_back({"all " + side, p});
        // One array against the guard on this side, the rest on the other.
        for (int a = 0; a < NumArgs; ++a) {
            Placement q;
            q.fill(other);
            q[a] = s;
            all.push_back({std::string(argName[a]) + " " + side, q});
        }
    }
    return all;
}

TEST_P(Bounds, EveryBuildStaysInsideEachArray)
{
    const auto [ny, nx] = GetParam();
    const size_t n = (size_t)nx * ny;
    std::mt19937_64 rng(1000003u * ny + nx);
    std::vector<double> data = uniformRandom(rng, n, -5, 5);
    std::vector<double> K = uniformRandom(rng, 49, -0.25, 1.0);
    // A few non-finite observations in the larger grids, so that the
    // comparison also covers NaN propagation at the edges.
    if (n > 50)
        for (double v : {(double)NAN, (double)INFINITY, -0.0})
            data[rng() % n] = v;
    const Dims dims(ny, nx);

    for (bool cv : {false, true}) {
        const Outputs want = runOracle(cv, data, ny, nx, K.data());
        for (const Libraries& build : allBuilds()) {
            const FitFn fn = build.entry(cv);
            ASSERT_NE(fn, nullptr) << build.dir;
            for (const auto& [label, place] : placements()) {
                SCOPED_TRACE(testing::Message() << build.dir << (cv ? " cv " : " fit ") << ny
                                                << "x" << nx << " " << label);
                const size_t sizes[NumArgs] = {n, 49, n, n, n};
                std::unique_ptr<Guarded> m[NumArgs];
                for (int a = 0; a < NumArgs; ++a)
                    m[a] = std::make_unique<Guarded>(sizes[a], place[a]);
                std::memcpy(m[Data]->get(), data.data(), n * sizeof(double));
                std::memcpy(m[Kernel]->get(), K.data(), 49 * sizeof(double));
                m[Data]->readOnly();
                m[Kernel]->readOnly();
                for (int a = OutF; a <= OutGy; ++a)
                    std::fill(m[a]->get(), m[a]->get() + n, 777.0);

                fn(m[Data]->get(), dims.ny, dims.nx, m[Kernel]->get(), m[OutF]->get(),
                   m[OutGx]->get(), m[OutGy]->get());

                for (int a = 0; a < NumArgs; ++a)
                    EXPECT_TRUE(m[a]->surroundingsIntact()) << "written around " << argName[a];
                Outputs got(0);
                got.F.assign(m[OutF]->get(), m[OutF]->get() + n);
                got.gFx.assign(m[OutGx]->get(), m[OutGx]->get() + n);
                got.gFy.assign(m[OutGy]->get(), m[OutGy]->get() + n);
                EXPECT_TRUE(sameOutputs(got, want));
            }
        }
    }
}

// Every window shape the scan can meet: single rows and columns, grids
// smaller than one window, just wider than one, and odd sizes up to a few
// hundred in both orientations.
INSTANTIATE_TEST_SUITE_P(Shapes, Bounds,
                         ::testing::Values(Shape{1, 1}, Shape{1, 2}, Shape{2, 1}, Shape{1, 9},
                                           Shape{9, 1}, Shape{1, 301}, Shape{301, 1},
                                           Shape{2, 2}, Shape{3, 3}, Shape{4, 4}, Shape{5, 7},
                                           Shape{7, 5}, Shape{6, 8}, Shape{8, 6}, Shape{3, 17},
                                           Shape{17, 3}, Shape{13, 11}, Shape{31, 29},
                                           Shape{2, 67}, Shape{67, 2}, Shape{97, 101},
                                           Shape{255, 9}, Shape{9, 257}, Shape{211, 199}),
                         [](const testing::TestParamInfo<Shape>& i) {
                             return std::to_string(i.param.ny) + "x" + std::to_string(i.param.nx);
                         });

// With an empty or negative dimension nothing may be read or written: every
// array argument points into pages that fault on any access.
TEST(BoundsEmpty, NonPositiveDimensionsTouchNoArray)
{
    const Inaccessible none;
    const int positive[] = {1, 5, 301};
    const int nonPositive[] = {0, -1, -7, INT_MIN};
    std::vector<std::pair<int, int>> shapes;  // (ny, nx)
    for (int a : nonPositive) {
        for (int b : nonPositive)
            shapes.push_back({a, b});
        for (int p : positive) {
            shapes.push_back({a, p});
            shapes.push_back({p, a});
        }
    }
    int calls = 0;
    for (const Libraries& build : allBuilds())
        for (FitFn fn : {build.localPolynomials, build.localPolynomialscv}) {
            ASSERT_NE(fn, nullptr) << build.dir;
            for (auto [ny, nx] : shapes) {
                const Dims dims(ny, nx);
                fn(none.at(0), dims.ny, dims.nx, none.at(64), none.at(pageSize()),
                   none.at(2 * pageSize()), none.at(3 * pageSize() - 8));
                ++calls;
            }
        }
    // Reaching here means no call faulted.
    EXPECT_EQ(calls, (int)(2 * allBuilds().size() * shapes.size()));
}

} // namespace
