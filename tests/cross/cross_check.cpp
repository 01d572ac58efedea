// Both entries, and the engine over column blocks and row ranges of each
// grid, built for another architecture and run under emulation, against the
// literal oracle bit for bit (tools/cross-check.sh).
#include "oracle.h"

#include "localfit/engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

extern "C" void localPolynomials(const double*, const int*, const int*, const double*, double*,
                                 double*, double*);
extern "C" void localPolynomialscv(const double*, const int*, const int*, const double*, double*,
                                   double*, double*);

int main()
{
    std::mt19937_64 rng(5);
    const double special[] = {NAN, INFINITY, -INFINITY, 0.0, -0.0, 1e300, -1e300, 1e-310};
    std::uniform_real_distribution<double> u(-5, 5);
    long checked = 0, bad = 0;
    for (int t = 0; t < 400; ++t) {
        int ny = 1 + (int)(rng() % 70), nx = 1 + (int)(rng() % 30);
        const size_t n = (size_t)ny * nx;
        std::vector<double> d(n), K(49);
        for (double& v : d)
            v = u(rng);
        for (double& v : K)
            v = u(rng) * 0.2 + 0.5;
        if (t % 3 == 1)
            for (int k = 0; k < 3; ++k)
                d[rng() % n] = special[rng() % 8];
        if (t % 5 == 2)
            K[rng() % 49] = special[rng() % 8];
        if (t % 4 == 3) {  // +0 and -0 outside a box of offsets (rows r0..r1, columns c0..c1)
            const int r0 = (int)(rng() % 7), r1 = r0 + (int)(rng() % (7 - r0));
            const int c0 = (int)(rng() % 7), c1 = c0 + (int)(rng() % (7 - c0));
            for (int k = 0; k < 49; ++k)
                if (k / 7 < c0 || k / 7 > c1 || k % 7 < r0 || k % 7 > r1)
                    K[k] = rng() % 2 ? 0.0 : -0.0;
        }
        for (bool cv : {false, true}) {
            std::vector<double> got(3 * n), want(3 * n);
            (cv ? localPolynomialscv : localPolynomials)(d.data(), &ny, &nx, K.data(),
                                                         got.data(), got.data() + n,
                                                         got.data() + 2 * n);
            oracle::localPolynomials(cv, d.data(), &ny, &nx, K.data(), want.data(),
                                     want.data() + n, want.data() + 2 * n);
            for (size_t i = 0; i < got.size(); ++i, ++checked)
                bad += !oracle::sameBits(got[i], want[i]);
            // The same nodes again, a block of columns and a range of rows
            // at a time, each with only the columns its windows reach held.
            std::fill(got.begin(), got.end(), 777.0);
            for (int ix0 = 0, ix1; ix0 < nx; ix0 = ix1) {
                ix1 = std::min(nx, ix0 + 1 + (int)(rng() % 6));
                const int col0 = std::max(ix0 - 3, 0), ncol = std::min(ix1 + 3, nx) - col0;
                const orvel_grid g = {ny, nx, d.data() + (size_t)col0 * ny, col0, ncol, K.data()};
                for (int iy0 = 0, iy1; iy0 < ny; iy0 = iy1) {
                    iy1 = std::min(ny, iy0 + 1 + (int)(rng() % 30));
                    const size_t at = (size_t)ix0 * ny + iy0;
                    const orvel_targets r = {ix0, ix1, iy0, iy1, got.data() + at,
                                             got.data() + n + at, got.data() + 2 * n + at, ny};
                    bad += orvel_localfit(&g, cv, &r, ORVEL_ISA_AUTO) != ORVEL_OK;
                }
            }
            for (size_t i = 0; i < got.size(); ++i, ++checked)
                bad += !oracle::sameBits(got[i], want[i]);
        }
    }
    std::printf("%ld outputs compared, %ld differ\n", checked, bad);
    return bad != 0;
}
