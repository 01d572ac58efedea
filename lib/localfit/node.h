// Weighted least-squares plane for one grid node, one neighbour at a time.
//
// This is the arithmetic every output of both libraries is defined by: the
// sums are plain running additions in scan order (columns ascending, rows
// ascending within a column), and every product is evaluated left to right
// exactly as written.  Faster code elsewhere must reproduce these bits.
#ifndef ORVEL_NODE_H
#define ORVEL_NODE_H

#include <stddef.h>

#include "solve3/solve3.h"

namespace orvel {
namespace {

// Window half-width: the kernel table is (2h + 1) x (2h + 1) = 7 x 7.
constexpr ptrdiff_t h = 3;
constexpr ptrdiff_t kw = 2 * h + 1;

// A term of the leave-one-out fit carries the exclusion factor lo as its last
// factor; the plain fit has no such factor (multiplying by 1.0 would not
// change a bit, but the plain fit is defined without it).
template <bool LOO>
inline double term(double t, double lo)
{
    return LOO ? t * lo : t;
}

// Fits the plane at target node (ix, iy) of an ny x nx grid and writes
// (b0, b1, b2) to res.  Indices are ptrdiff_t so that no dimension a caller
// passes can overflow the window bounds or the element index.
template <bool LOO>
inline void fitNode(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K,
                    ptrdiff_t ix, ptrdiff_t iy, double* res)
{
    const ptrdiff_t ix0 = ix - h > 0 ? ix - h : 0;
    const ptrdiff_t ix1 = ix + h < nx ? ix + h : nx - 1;
    const ptrdiff_t iy0 = iy - h > 0 ? iy - h : 0;
    const ptrdiff_t iy1 = iy + h < ny ? iy + h : ny - 1;

    double Q[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    double V[3] = {0, 0, 0};
    for (ptrdiff_t jx = ix0; jx <= ix1; ++jx) {
        const double x = double(jx - ix) / double(nx);
        const double x2 = x * x;
        const double indx = jx == ix ? 1.0 : 0.0;
        for (ptrdiff_t jy = iy0; jy <= iy1; ++jy) {
            const double y = double(jy - iy) / double(ny);
            const double z = data[jx * ny + jy];
            const double w = K[(jx - ix + h) * kw + (jy - iy + h)];
            const double indy = jy == iy ? 1.0 : 0.0;
            const double lo = 1.0 - indy * indx;
            Q[0] += term<LOO>(w, lo);
            V[0] += term<LOO>(z * w, lo);
            V[1] += term<LOO>(y * z * w, lo);
            V[2] += term<LOO>(z * x * w, lo);
            Q[1] += term<LOO>(y * w, lo);
            Q[2] += term<LOO>(w * x, lo);
            Q[4] += term<LOO>(y * y * w, lo);
            Q[5] += term<LOO>(y * x * w, lo);
            Q[8] += term<LOO>(w * x2, lo);
        }
    }
    Q[3] = Q[1];
    Q[6] = Q[2];
    Q[7] = Q[5];
    solve(Q, V, res);
}

// Whole grid, column by column, each node's results stored as soon as they
// are known (hence outputs must not overlap data or K).
template <bool LOO>
inline void fitGridReference(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K,
                             double* F, double* gFx, double* gFy)
{
    if (nx <= 0 || ny <= 0)
        return;
    for (ptrdiff_t ix = 0; ix < nx; ++ix) {
        for (ptrdiff_t iy = 0; iy < ny; ++iy) {
            double res[3];
            fitNode<LOO>(data, ny, nx, K, ix, iy, res);
            const ptrdiff_t n = ix * ny + iy;
            F[n] = res[0];
            gFx[n] = res[1];
            gFy[n] = res[2];
        }
    }
}

} // namespace
} // namespace orvel

#endif
