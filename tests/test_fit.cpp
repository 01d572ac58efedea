// Both grid fits against an independent weighted least squares, and on the
// shapes and values where the definition is easy to get wrong.  (Bit-for-bit
// agreement with the literal transcription is tested in test_variants.cpp.)
#include "common.h"

#include <array>

namespace {

struct Case {
    bool cv;
    FitFn fn;
};

std::vector<Case> fits()
{
    return {{false, libs().localPolynomials}, {true, libs().localPolynomialscv}};
}

// Weighted least squares for one node computed independently of the library:
// offsets in node steps, normal equations in long double, Gaussian
// elimination with partial pivoting; slopes rescaled to whole-grid units.
std::array<double, 3> independentFit(bool cv, const std::vector<double>& data, int ny, int nx,
                                     const std::vector<double>& K, int ix, int iy)
{
    long double A[3][4] = {};
    for (int dx = -3; dx <= 3; ++dx)
        for (int dy = -3; dy <= 3; ++dy) {
            const int jx = ix + dx, jy = iy + dy;
            if (jx < 0 || jx >= nx || jy < 0 || jy >= ny || (cv && dx == 0 && dy == 0))
                continue;
            const long double w = K[kidx(dx, dy)], z = data[(size_t)jx * ny + jy];
            const long double row[3] = {1.0L, (long double)dy, (long double)dx};
            for (int r = 0; r < 3; ++r) {
                for (int c = 0; c < 3; ++c)
                    A[r][c] += w * row[r] * row[c];
                A[r][3] += w * row[r] * z;
            }
        }
    for (int c = 0; c < 3; ++c) {
        int p = c;
        for (int r = c + 1; r < 3; ++r)
            if (fabsl(A[r][c]) > fabsl(A[p][c]))
                p = r;
        for (int k = 0; k < 4; ++k)
            std::swap(A[c][k], A[p][k]);
        for (int r = 0; r < 3; ++r)
            if (r != c) {
                const long double f = A[r][c] / A[c][c];
                for (int k = c; k < 4; ++k)
                    A[r][k] -= f * A[c][k];
            }
    }
    return {(double)(A[0][3] / A[0][0]), (double)(A[1][3] / A[1][1] * ny),
            (double)(A[2][3] / A[2][2] * nx)};
}

TEST(Fit, AgreesWithIndependentWeightedLeastSquares)
{
    std::mt19937_64 rng(11);
    const std::pair<int, int> shapes[] = {{2, 2}, {3, 5}, {7, 7}, {9, 13}, {20, 17}, {4, 30}};
    for (auto [ny, nx] : shapes) {
        const std::vector<double> data = uniformRandom(rng, (size_t)nx * ny, -1, 1);
        // Random positive weights: asymmetric, so a swapped index shows.
        const std::vector<double> K = uniformRandom(rng, 49, 0.1, 1.0);
        for (const Case& c : fits()) {
            const Outputs out = runFit(c.fn, data, ny, nx, K.data());
            for (int ix = 0; ix < nx; ++ix)
                for (int iy = 0; iy < ny; ++iy) {
                    const size_t n = (size_t)ix * ny + iy;
                    const auto want = independentFit(c.cv, data, ny, nx, K, ix, iy);
                    SCOPED_TRACE(testing::Message() << ny << "x" << nx << " cv " << c.cv
                                                    << " node " << ix << "," << iy);
                    EXPECT_NEAR(out.F[n], want[0], 1e-9 * (1 + std::fabs(want[0])));
                    EXPECT_NEAR(out.gFx[n], want[1], 1e-9 * (1 + std::fabs(want[1])));
                    EXPECT_NEAR(out.gFy[n], want[2], 1e-9 * (1 + std::fabs(want[2])));
                }
        }
    }
}

TEST(Fit, RecoversAnExactPlaneAtEveryNode)
{
    const int ny = 11, nx = 9;
    const double c0 = 2.5, a = -1.25, b = 3.0;
    std::vector<double> data((size_t)nx * ny);
    for (int jx = 0; jx < nx; ++jx)
        for (int jy = 0; jy < ny; ++jy)
            data[(size_t)jx * ny + jy] = c0 + a * jy / ny + b * jx / nx;
    const std::vector<double> K = gaussianKernel();
    for (const Case& c : fits()) {
        const Outputs out = runFit(c.fn, data, ny, nx, K.data());
        for (size_t n = 0; n < data.size(); ++n) {
            EXPECT_NEAR(out.F[n], data[n], 1e-12) << n;
            EXPECT_NEAR(out.gFx[n], a, 1e-11) << n;
            EXPECT_NEAR(out.gFy[n], b, 1e-11) << n;
        }
    }
}

// A NaN kernel entry marks every node whose clipped window reaches its offset;
// the rest must stay finite.  This pins down both the window clipping and the
// orientation of the kernel array (dx selects the block of seven).
TEST(Fit, WindowsAreClippedAndKernelIndexedByOffset)
{
    const int ny = 10, nx = 8;
    std::mt19937_64 rng(3);
    const std::vector<double> data = uniformRandom(rng, (size_t)nx * ny, -1, 1);
    const std::pair<int, int> offsets[] = {{-3, -3}, {3, -1}, {0, 2}, {-2, 3}, {1, 0}};
    for (auto [dx, dy] : offsets) {
        std::vector<double> K = gaussianKernel();
        K[kidx(dx, dy)] = NAN;
        for (const Case& c : fits()) {
            const Outputs out = runFit(c.fn, data, ny, nx, K.data());
            for (int ix = 0; ix < nx; ++ix)
                for (int iy = 0; iy < ny; ++iy) {
                    const bool reached =
                        ix + dx >= 0 && ix + dx < nx && iy + dy >= 0 && iy + dy < ny;
                    const size_t n = (size_t)ix * ny + iy;
                    for (double v : {out.F[n], out.gFx[n], out.gFy[n]})
                        EXPECT_EQ(std::isnan(v), reached)
                            << "offset " << dx << "," << dy << " node " << ix << "," << iy;
                }
        }
    }
}

TEST(Fit, NanObservationSpoilsExactlyTheWindowsHoldingIt)
{
    const int ny = 12, nx = 10, px = 4, py = 9;
    std::mt19937_64 rng(5);
    std::vector<double> data = uniformRandom(rng, (size_t)nx * ny, -1, 1);
    data[(size_t)px * ny + py] = NAN;
    std::vector<double> K = gaussianKernel();
    K[kidx(-3, 3)] = 0.0;  // a zero weight does not shield it: 0 * NaN is NaN
    for (const Case& c : fits()) {
        const Outputs out = runFit(c.fn, data, ny, nx, K.data());
        for (int ix = 0; ix < nx; ++ix)
            for (int iy = 0; iy < ny; ++iy) {
                const bool inWindow = std::abs(ix - px) <= 3 && std::abs(iy - py) <= 3;
                const size_t n = (size_t)ix * ny + iy;
                EXPECT_EQ(std::isnan(out.F[n]), inWindow) << ix << "," << iy;
                EXPECT_EQ(std::isnan(out.gFy[n]), inWindow) << ix << "," << iy;
            }
    }
}

TEST(Fit, DegenerateGridsAndKernelsGiveNanEverywhere)
{
    std::mt19937_64 rng(9);
    const std::vector<double> gauss = gaussianKernel();
    std::vector<double> centreOnly(49, 0.0);
    centreOnly[24] = 1.0;
    const std::tuple<int, int, const std::vector<double>*> cases[] = {
        {1, 9, &gauss}, {9, 1, &gauss}, {1, 1, &gauss}, {6, 5, &centreOnly}};
    for (auto [ny, nx, K] : cases) {
        const std::vector<double> data = uniformRandom(rng, (size_t)nx * ny, -1, 1);
        for (const Case& c : fits()) {
            const Outputs out = runFit(c.fn, data, ny, nx, K->data());
            for (size_t n = 0; n < data.size(); ++n)
                EXPECT_TRUE(std::isnan(out.F[n]) && std::isnan(out.gFx[n]) &&
                            std::isnan(out.gFy[n]))
                    << ny << "x" << nx << " node " << n;
        }
    }
}

TEST(Fit, EmptyOrNegativeDimensionsTouchNothing)
{
    const int dims[][2] = {{0, 5}, {5, 0}, {-1, 5}, {5, -3}, {0, 0}, {-7, -7}, {INT32_MIN, 4}};
    for (auto d : dims)
        for (const Case& c : fits()) {
            double F = 1, gFx = 2, gFy = 3;
            // data and K are null: any read would crash.
            c.fn(nullptr, &d[0], &d[1], nullptr, &F, &gFx, &gFy);
            EXPECT_EQ(F, 1);
            EXPECT_EQ(gFx, 2);
            EXPECT_EQ(gFy, 3);
        }
}

TEST(Holdout, OwnObservationAndCentreWeightDoNotMatter)
{
    const int ny = 7, nx = 6;
    std::mt19937_64 rng(13);
    const std::vector<double> data = uniformRandom(rng, (size_t)nx * ny, -1, 1);
    const std::vector<double> K = gaussianKernel();
    const FitFn cv = libs().localPolynomialscv;
    const Outputs base = runFit(cv, data, ny, nx, K.data());

    std::vector<double> K2 = K;
    K2[24] = -123.5;
    EXPECT_TRUE(sameOutputs(runFit(cv, data, ny, nx, K2.data()), base));

    for (size_t n = 0; n < data.size(); ++n) {
        std::vector<double> moved = data;
        moved[n] = 1e6;
        const Outputs out = runFit(cv, moved, ny, nx, K.data());
        EXPECT_TRUE(sameBits(out.F[n], base.F[n]) && sameBits(out.gFx[n], base.gFx[n]) &&
                    sameBits(out.gFy[n], base.gFy[n]))
            << "node " << n;
        const size_t next = n % ny + 1 < (size_t)ny ? n + 1 : n - 1;  // same column
        EXPECT_FALSE(sameBits(out.F[next], base.F[next]))
            << "the observation must still reach its neighbours, node " << n;
    }
}

TEST(Holdout, NonFiniteTargetTermsAreMultipliedNotSkipped)
{
    const int ny = 8, nx = 8;
    const size_t target = 3 * ny + 4;
    std::mt19937_64 rng(17);
    const std::vector<double> K = gaussianKernel();
    for (double bad : {(double)NAN, (double)INFINITY, 1e308}) {
        std::vector<double> data = uniformRandom(rng, (size_t)nx * ny, -1, 1);
        std::vector<double> Kbig = K;
        const double* kernel = K.data();
        if (bad == 1e308) {
            Kbig[24] = 10.0;  // finite observation times finite weight overflows
            kernel = Kbig.data();
        }
        data[target] = bad;
        const Outputs out = runFit(libs().localPolynomialscv, data, ny, nx, kernel);
        EXPECT_TRUE(std::isnan(out.F[target]) && std::isnan(out.gFx[target]) &&
                    std::isnan(out.gFy[target]))
            << bad;
    }
    std::vector<double> Knan = K;
    Knan[24] = NAN;
    const std::vector<double> data = uniformRandom(rng, (size_t)nx * ny, -1, 1);
    const Outputs out = runFit(libs().localPolynomialscv, data, ny, nx, Knan.data());
    for (double v : out.F)
        EXPECT_TRUE(std::isnan(v));
}

TEST(Holdout, TwoByTwoPredictsFromThePlaneThroughTheOthers)
{
    const int ny = 2, nx = 2;
    const std::vector<double> data = {1.0, 4.0, -2.0, 7.5};  // (jx, jy) = 00, 01, 10, 11
    const std::vector<double> K = gaussianKernel();
    const Outputs out = runFit(libs().localPolynomialscv, data, ny, nx, K.data());
    // The plane through three corners of a unit square predicts the fourth as
    // the sum of its two neighbours minus the opposite corner.
    for (int n = 0; n < 4; ++n) {
        const int opposite = 3 - n, side1 = n ^ 1, side2 = n ^ 2;
        EXPECT_NEAR(out.F[n], data[side1] + data[side2] - data[opposite], 1e-12) << n;
    }
}

} // namespace
