// The grid fit, vectorised across target nodes.
//
// Each node's outputs are defined by one scalar sequence: for the neighbours
// of its clipped 7 x 7 window in scan order (columns ascending, rows ascending
// within a column) plain running sums of
//   Q: w, y*w, w*x, y*y*w, y*x*w, w*x^2      V: z*w, y*z*w, z*x*w
// (each product left to right; in the leave-one-out fit every term times
// lo = 1 - indy*indx as its last factor), then the Cramer solve of Q b = V.
//
// Lanes hold consecutive rows of target nodes in one column.  Away from the
// top and bottom edges all lanes' windows have the same shape, so each lane
// runs exactly its own node's sequence: the same products of the same
// operands, added in the same order.  Nothing is regrouped within a node.
//
// What does not depend on the data is done once per window shape instead of
// once per node: Q (the same bits for every node with that window) and the
// parts of each Cramer determinant made of Q alone.
//
// Included by one translation unit per instruction set, each instantiating
// fitColumns with its own vector type; everything here has internal linkage
// so that no copy compiled for a wider instruction set is shared with others.
#ifndef ORVEL_KERNEL_H
#define ORVEL_KERNEL_H

#include <stddef.h>
#include <string.h>

#include "solve3/solve3.h"

namespace orvel {
namespace {

// For the steps of a block, which must all be inlined into one function for
// its running sums to stay in registers, whatever the inliner's size limits
// (with a copy per footprint there are several such functions).
#define ORVEL_INLINE inline __attribute__((always_inline))

// Window half-width: the kernel table is (2h + 1) x (2h + 1) = 7 x 7.
constexpr ptrdiff_t h = 3;
constexpr ptrdiff_t kw = 2 * h + 1;

// A Q term of the leave-one-out fit carries lo as its last factor; the plain
// fit has no such factor.
template <bool LOO>
inline double term(double t, double lo)
{
    return LOO ? t * lo : t;
}

template <typename V>
constexpr int lanes = int(sizeof(V) / sizeof(double));

template <typename V>
ORVEL_INLINE V load(const double* p)
{
    V v;
    memcpy(&v, p, sizeof v);
    return v;
}

template <typename V>
ORVEL_INLINE void store(double* p, V v)
{
    memcpy(p, &v, sizeof v);
}

template <typename V>
ORVEL_INLINE V broadcast(double s)
{
    V v;
    for (int k = 0; k < lanes<V>; ++k)
        v[k] = s;
    return v;
}

// Q for the window of column offsets dx0..dx1 and row offsets dy0..dy1,
// summed in scan order with the terms above.
template <bool LOO>
inline void windowQ(const double* K, const double* xs, const double* ys, ptrdiff_t dx0,
                    ptrdiff_t dx1, ptrdiff_t dy0, ptrdiff_t dy1, double* Q)
{
    for (int k = 0; k < 9; ++k)
        Q[k] = 0;
    for (ptrdiff_t dx = dx0; dx <= dx1; ++dx) {
        const double x = xs[dx + h];
        const double x2 = x * x;
        const double indx = dx == 0 ? 1.0 : 0.0;
        for (ptrdiff_t dy = dy0; dy <= dy1; ++dy) {
            const double y = ys[dy + h];
            const double w = K[(dx + h) * kw + (dy + h)];
            const double indy = dy == 0 ? 1.0 : 0.0;
            const double lo = 1.0 - indy * indx;
            Q[0] += term<LOO>(w, lo);
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
}

// Cramer's rule for many right-hand sides of one Q.  With column j of Q
// replaced by V, solve's determinant expands to
//   j = 0:  V0*(Q4*Q8 - Q5*Q7) - Q1*(V1*Q8 - Q5*V2) + Q2*(V1*Q7 - Q4*V2)
//   j = 1:  Q0*(V1*Q8 - Q5*V2) - V0*(Q3*Q8 - Q5*Q6) + Q2*(Q3*V2 - V1*Q6)
//   j = 2:  Q0*(Q4*V2 - V1*Q7) - Q1*(Q3*V2 - V1*Q6) + V0*(Q3*Q7 - Q4*Q6)
// with every bracket and every combination in solve's order (only the two
// operands of a product may trade places: IEEE multiplication commutes).
// C holds what is made of Q alone: det(Q) and the three Q-only brackets.
inline void cramerConstants(const double* Q, double* C)
{
    C[0] = det(Q);
    C[1] = Q[4] * Q[8] - Q[5] * Q[7];
    C[2] = Q[3] * Q[8] - Q[5] * Q[6];
    C[3] = Q[3] * Q[7] - Q[4] * Q[6];
}

// Works for a vector type or for plain double.
template <typename V>
ORVEL_INLINE void cramer(const double* Q, const double* C, V V0, V V1, V V2, V& b0, V& b1,
                         V& b2)
{
    const V a = V1 * Q[8] - Q[5] * V2;
    const V b = V1 * Q[7] - Q[4] * V2;
    const V e = Q[3] * V2 - V1 * Q[6];
    const V f = Q[4] * V2 - V1 * Q[7];
    b0 = (V0 * C[1] - Q[1] * a + Q[2] * b) / C[0];
    b1 = (Q[0] * a - V0 * C[2] + Q[2] * e) / C[0];
    b2 = (Q[0] * f - Q[1] * e + V0 * C[3]) / C[0];
}

// The offsets d0..d1 of the window of node i on an axis of n nodes: -h..h,
// clipped at the ends, never padded.
inline void clip(ptrdiff_t i, ptrdiff_t n, ptrdiff_t& d0, ptrdiff_t& d1)
{
    d0 = i - h > 0 ? -h : -i;
    d1 = i + h < n ? h : n - 1 - i;
}

// Q and its Cramer constants for one window shape, recomputed only when the
// shape changes (which along a row or a column happens near the edges only).
template <bool LOO>
inline void shapeConstants(const double* K, const double* xs, const double* ys, ptrdiff_t dx0,
                           ptrdiff_t dx1, ptrdiff_t dy0, ptrdiff_t dy1, ptrdiff_t* shape,
                           double* Q, double* C)
{
    if (shape[0] == dx0 && shape[1] == dx1 && shape[2] == dy0 && shape[3] == dy1)
        return;
    windowQ<LOO>(K, xs, ys, dx0, dx1, dy0, dy1, Q);
    cramerConstants(Q, C);
    shape[0] = dx0;
    shape[1] = dx1;
    shape[2] = dy0;
    shape[3] = dy1;
}

// One row of target nodes, one node at a time: for rows whose windows are
// clipped at the top or bottom edge, and the row left over after the
// vectors.  Every term formed, in scan order; Q from the shape cache.
template <bool LOO>
inline void fitRow(const double* data, ptrdiff_t ny, ptrdiff_t nx, ptrdiff_t iy,
                   const double* K, const double* xs, const double* ys, double* F, double* gFx,
                   double* gFy)
{
    ptrdiff_t dy0, dy1, dx0, dx1;
    clip(iy, ny, dy0, dy1);
    ptrdiff_t shape[4] = {1, 0, 0, 0};  // matches no window
    double Q[9] = {}, C[4] = {};  // filled by the first shapeConstants call
    for (ptrdiff_t ix = 0; ix < nx; ++ix) {
        clip(ix, nx, dx0, dx1);
        shapeConstants<LOO>(K, xs, ys, dx0, dx1, dy0, dy1, shape, Q, C);
        double V0 = 0, V1 = 0, V2 = 0;
        for (ptrdiff_t dx = dx0; dx <= dx1; ++dx) {
            const double* col = data + (ix + dx) * ny + iy;
            const double x = xs[dx + h];
            for (ptrdiff_t dy = dy0; dy <= dy1; ++dy) {
                const double z = col[dy];
                const double w = K[(dx + h) * kw + (dy + h)];
                const double y = ys[dy + h];
                if (LOO && dx == 0 && dy == 0) {
                    // The target itself: its terms times lo = 0, not skipped.
                    V0 += z * w * 0.0;
                    V1 += y * z * w * 0.0;
                    V2 += z * x * w * 0.0;
                } else {
                    // lo = 1 for every other neighbour, and t * 1 is t.
                    V0 += z * w;
                    V1 += y * z * w;
                    V2 += z * x * w;
                }
            }
        }
        const ptrdiff_t n = ix * ny + iy;
        cramer<double>(Q, C, V0, V1, V2, F[n], gFx[n], gFy[n]);
    }
}

// One neighbour offset (dx, dy = k - h) for R vectors of target rows: z is
// read at k + r * W + j from col for lane j of vector r.  Which terms are
// formed is fixed at compile time, so the loops below carry no branches:
//   Self   the offset is the target itself (leave-one-out: times lo = 0);
//   WithY  the y-moment term is formed (left out only where it is an exact
//          signed zero, see fitBlock);
//   WithX  likewise for the x-moment term.
template <bool Self, bool WithY, bool WithX, typename V, int R>
ORVEL_INLINE void step(const double* col, int k, double w, double y, double x, V* V0, V* V1,
                       V* V2)
{
    constexpr int W = lanes<V>;
    const V zero = broadcast<V>(0.0);
    for (int r = 0; r < R; ++r) {
        const V z = load<V>(col + k + r * W);
        if (Self) {
            // The target itself: its terms times lo = 0, not skipped (z*w
            // may overflow, or hold an infinity or a NaN).
            V0[r] += z * w * zero;
            if (WithY)
                V1[r] += y * z * w * zero;
            if (WithX)
                V2[r] += z * x * w * zero;
        } else {
            // lo = 1 for every other neighbour, and t * 1 is t.
            V0[r] += z * w;
            if (WithY)
                V1[r] += y * z * w;
            if (WithX)
                V2[r] += z * x * w;
        }
    }
}

// Row offsets -A..A of one column offset, in ascending order.
template <bool LOO, bool Finite, bool OwnColumn, int A, typename V, int R>
ORVEL_INLINE void column(const double* col, const double* Kcol, const double* ys, double x,
                         V* V0, V* V1, V* V2)
{
    constexpr bool WithX = !(Finite && OwnColumn);
    for (int k = h - A; k < h; ++k)
        step<false, true, WithX, V, R>(col, k, Kcol[k], ys[k], x, V0, V1, V2);
    step<LOO && OwnColumn, !Finite, WithX, V, R>(col, h, Kcol[h], ys[h], x, V0, V1, V2);
    for (int k = h + 1; k <= h + A; ++k)
        step<false, true, WithX, V, R>(col, k, Kcol[k], ys[k], x, V0, V1, V2);
}

// R vectors of target rows starting at row iy of column ix, every lane at
// least h rows from the top and bottom edges; column offsets dx0..dx1, row
// offsets -A..A (the whole window unless cut to the kernel's footprint).
//
// With Finite (every observation in these windows and every weight finite),
// the terms that are exactly zero are left out: y*z*w in the target's own row
// (y = +0) and z*x*w in its own column (x = +0) are +0 or -0 times finite
// values, hence signed zeros, and adding a signed zero leaves a running sum
// that starts at +0 unchanged (such a sum is never -0: in round-to-nearest
// a sum is -0 only when both addends are).  Without Finite every term is
// formed, since 0 * Inf and 0 * NaN are NaN.
template <bool LOO, bool Finite, int A, typename V, int R>
ORVEL_INLINE void fitBlock(const double* data, ptrdiff_t ny, ptrdiff_t ix, ptrdiff_t iy,
                           ptrdiff_t dx0, ptrdiff_t dx1, const double* K, const double* xs,
                           const double* ys, const double* Q, const double* C, double* F,
                           double* gFx, double* gFy)
{
    constexpr int W = lanes<V>;
    V V0[R], V1[R], V2[R];
    for (int r = 0; r < R; ++r)
        V0[r] = V1[r] = V2[r] = broadcast<V>(0.0);
    // Row iy - h of each neighbour column: lane j of vector r at row offset
    // dy = k - h reads element k + r * W + j, its own target's row plus dy.
    const double* base = data + ix * ny + (iy - h);
    ptrdiff_t dx = dx0;
    for (; dx <= dx1 && dx < 0; ++dx)
        column<LOO, Finite, false, A, V, R>(base + dx * ny, K + (dx + h) * kw, ys, xs[dx + h],
                                            V0, V1, V2);
    if (dx == 0 && dx <= dx1) {
        column<LOO, Finite, true, A, V, R>(base, K + h * kw, ys, xs[h], V0, V1, V2);
        ++dx;
    }
    for (; dx <= dx1; ++dx)
        column<LOO, Finite, false, A, V, R>(base + dx * ny, K + (dx + h) * kw, ys, xs[dx + h],
                                            V0, V1, V2);
    for (int r = 0; r < R; ++r) {
        V b0, b1, b2;
        cramer<V>(Q, C, V0[r], V1[r], V2[r], b0, b1, b2);
        const ptrdiff_t n = ix * ny + iy + r * W;
        store(F + n, b0);
        store(gFx + n, b1);
        store(gFy + n, b2);
    }
}

// The kernel's footprint: the smallest box of column offsets fp[0]..fp[1]
// and row offsets -fp[2]..fp[2] that holds all its non-zero weights.  A
// kernel of zeros has the empty column range 1..0.  (Row ranges symmetric
// about the own row need four compiled copies of the blocks, where every
// range -a..b would need sixteen and take four times as long to compile,
// for kernels that are rarely lopsided.)
//
// On the finite path only the terms inside the box are formed.  A neighbour
// outside has weight w = +0 or -0, and its terms z*w, (y*z)*w and (z*x)*w
// are finite values times a signed zero (z is finite, and so are y*z and
// z*x, since |y| < 1 and |x| < 1: no offset reaches the grid's extent),
// hence signed zeros that leave their sums unchanged, as above.  That holds
// for the target's own term in the leave-one-out fit too (z*w*0 with w a
// signed zero), although the own row is always inside the box.  The box is
// fixed for the call and compiled in, so the terms formed carry no branch.
inline void footprint(const double* K, ptrdiff_t* fp)
{
    ptrdiff_t c0 = h + 1, c1 = -h - 1, a = 0;
    for (ptrdiff_t dx = -h; dx <= h; ++dx)
        for (ptrdiff_t dy = -h; dy <= h; ++dy)
            if (K[(dx + h) * kw + (dy + h)] != 0.0) {
                c0 = dx < c0 ? dx : c0;
                c1 = dx;
                a = dy > a ? dy : -dy > a ? -dy : a;
            }
    fp[0] = c0 > c1 ? 1 : c0;
    fp[1] = c0 > c1 ? 0 : c1;
    fp[2] = a;
}

// Whole blocks of one column's rows top .. end-1 (a multiple of R vectors).
// Kept out of line: inlined into the choice among footprints, the blocks get
// the registers of one large function and spill their running sums.
//
// Each block also prefetches its rows of the column `next` (if not null),
// the one whose values are checked for non-finite ones before the next
// column of targets: otherwise that check waits for memory alone, with no
// arithmetic beside it (measured: Horn's kernel 14% more nodes a second).
//
// (Tried and left out: two columns of targets per block, forming each
// neighbour's y*z once for both.  With AVX-512 it was no faster at one or
// two vectors a column and slower at three; with AVX2 20% slower.)
template <bool LOO, bool Finite, int A, typename V, int R>
__attribute__((noinline)) void fitBlocks(const double* data, ptrdiff_t ny, ptrdiff_t ix,
                                         ptrdiff_t top, ptrdiff_t end, ptrdiff_t dx0,
                                         ptrdiff_t dx1, const double* K, const double* xs,
                                         const double* ys, const double* Q, const double* C,
                                         double* F, double* gFx, double* gFy,
                                         const double* next)
{
    constexpr int W = lanes<V>;
    for (ptrdiff_t iy = top; iy < end; iy += R * W) {
        if (next)
            for (int l = 0; l < R * W; l += 8)
                __builtin_prefetch(next + iy + l);
        fitBlock<LOO, Finite, A, V, R>(data, ny, ix, iy, dx0, dx1, K, xs, ys, Q, C, F, gFx,
                                       gFy);
    }
}

// Whether any of n doubles is an infinity or a NaN (all exponent bits set).
inline bool anyNonFinite(const double* p, ptrdiff_t n)
{
    unsigned bad = 0;
    for (ptrdiff_t i = 0; i < n; ++i) {
        unsigned long long u;
        memcpy(&u, p + i, sizeof u);
        bad |= unsigned((u >> 52 & 0x7ff) == 0x7ff);
    }
    return bad != 0;
}

// The vector type of half as many lanes as V.
template <typename V>
struct Half {
    typedef double type __attribute__((vector_size(sizeof(V) / 2)));
};

// Single vectors of target rows iy .. end-1 of one column, then what is left
// (fewer than lanes<V>, a multiple of two) in narrower vectors.
template <bool LOO, bool Finite, typename V>
inline void fitTail(const double* data, ptrdiff_t ny, ptrdiff_t ix, ptrdiff_t iy, ptrdiff_t end,
                    ptrdiff_t dx0, ptrdiff_t dx1, const double* K, const double* xs,
                    const double* ys, const double* Q, const double* C, double* F,
                    double* gFx, double* gFy)
{
    for (; iy + lanes<V> <= end; iy += lanes<V>)
        fitBlock<LOO, Finite, h, V, 1>(data, ny, ix, iy, dx0, dx1, K, xs, ys, Q, C, F, gFx,
                                       gFy);
    if constexpr (lanes<V> > 2)
        fitTail<LOO, Finite, typename Half<V>::type>(data, ny, ix, iy, end, dx0, dx1, K, xs, ys,
                                                     Q, C, F, gFx, gFy);
}

// One column's rows top .. top+rows-1 (rows even): whole blocks, on the
// finite path cut to the kernel's footprint fp, then single vectors, of V
// and narrower (too few to be worth copies of their own per footprint).
template <bool LOO, bool Finite, typename V, int R>
inline void fitColumn(const double* data, ptrdiff_t ny, ptrdiff_t ix, ptrdiff_t top,
                      ptrdiff_t rows, ptrdiff_t dx0, ptrdiff_t dx1, const double* K,
                      const ptrdiff_t* fp, const double* xs, const double* ys,
                      const double* Q, const double* C, double* F, double* gFx, double* gFy,
                      const double* next)
{
    constexpr int W = lanes<V>;
    const ptrdiff_t end = top + rows / (R * W) * (R * W);
    if (!Finite) {
        fitBlocks<LOO, false, h, V, R>(data, ny, ix, top, end, dx0, dx1, K, xs, ys, Q, C, F,
                                       gFx, gFy, next);
    } else {
        const ptrdiff_t c0 = fp[0] > dx0 ? fp[0] : dx0, c1 = fp[1] < dx1 ? fp[1] : dx1;
        switch (fp[2]) {
        case 0:
            fitBlocks<LOO, true, 0, V, R>(data, ny, ix, top, end, c0, c1, K, xs, ys, Q, C, F, gFx,
                                          gFy, next);
            break;
        case 1:
            fitBlocks<LOO, true, 1, V, R>(data, ny, ix, top, end, c0, c1, K, xs, ys, Q, C, F, gFx,
                                          gFy, next);
            break;
        case 2:
            fitBlocks<LOO, true, 2, V, R>(data, ny, ix, top, end, c0, c1, K, xs, ys, Q, C, F, gFx,
                                          gFy, next);
            break;
        default:
            fitBlocks<LOO, true, h, V, R>(data, ny, ix, top, end, c0, c1, K, xs, ys, Q, C, F, gFx,
                                          gFy, next);
        }
    }
    fitTail<LOO, Finite, V>(data, ny, ix, end, top + rows, dx0, dx1, K, xs, ys, Q, C, F, gFx,
                            gFy);
}

// The whole grid; both dimensions positive.  Rows whose windows are clipped
// at the top or bottom edge go node by node, row by row; in every column the
// rows between go in blocks of R vectors, then single vectors of V and of
// narrower types down to two lanes, and the row left of them if any node by
// node as well.
template <bool LOO, typename V, int R>
inline void fitColumns(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K,
                       double* F, double* gFx, double* gFy)
{
    double xs[kw], ys[kw];
    for (ptrdiff_t d = -h; d <= h; ++d) {
        xs[d + h] = double(d) / double(nx);
        ys[d + h] = double(d) / double(ny);
    }
    // Target rows top .. bottom-1 have windows whole in the row direction.
    const ptrdiff_t top = h < ny ? h : ny, bottom = ny - h > top ? ny - h : top;
    const ptrdiff_t rows = (bottom - top) / 2 * 2;
    for (ptrdiff_t iy = 0; iy < top; ++iy)
        fitRow<LOO>(data, ny, nx, iy, K, xs, ys, F, gFx, gFy);
    for (ptrdiff_t iy = top + rows; iy < ny; ++iy)
        fitRow<LOO>(data, ny, nx, iy, K, xs, ys, F, gFx, gFy);
    if (rows == 0)
        return;

    // Whether each of the last eight columns (a ring wide enough for the
    // seven of a window) holds a non-finite observation, found as each
    // column first enters a window.
    const bool kernelFinite = !anyNonFinite(K, kw * kw);
    ptrdiff_t fp[3];
    footprint(K, fp);
    bool bad[8];
    for (ptrdiff_t jx = 0; jx < h && jx < nx; ++jx)
        bad[jx] = anyNonFinite(data + jx * ny, ny);
    ptrdiff_t shape[4] = {1, 0, 0, 0};
    double Q[9] = {}, C[4] = {};  // filled by the first shapeConstants call
    for (ptrdiff_t ix = 0; ix < nx; ++ix) {
        ptrdiff_t dx0, dx1;
        clip(ix, nx, dx0, dx1);
        if (ix + h < nx)
            bad[(ix + h) % 8] = anyNonFinite(data + (ix + h) * ny, ny);
        bool finite = kernelFinite;
        for (ptrdiff_t dx = dx0; dx <= dx1; ++dx)
            finite = finite && !bad[(ix + dx) % 8];
        shapeConstants<LOO>(K, xs, ys, dx0, dx1, -h, h, shape, Q, C);
        const double* next = ix + h + 1 < nx ? data + (ix + h + 1) * ny : nullptr;
        if (finite)
            fitColumn<LOO, true, V, R>(data, ny, ix, top, rows, dx0, dx1, K, fp, xs, ys,
                                       Q, C, F, gFx, gFy, next);
        else
            fitColumn<LOO, false, V, R>(data, ny, ix, top, rows, dx0, dx1, K, fp, xs,
                                        ys, Q, C, F, gFx, gFy, next);
    }
}

} // namespace
} // namespace orvel

// Which fits a translation unit instantiates: a library defines
// ORVEL_ENTRY_LOO as 0 or 1 to compile only the one its entry calls (each
// variant costs seconds to compile); without it both are instantiated.
#if !defined(ORVEL_ENTRY_LOO) || ORVEL_ENTRY_LOO == 0
#define ORVEL_INSTANTIATE_FIT(name)                                                           \
    template void name<false>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,    \
                              double*, double*);
#else
#define ORVEL_INSTANTIATE_FIT(name)
#endif
#if !defined(ORVEL_ENTRY_LOO) || ORVEL_ENTRY_LOO == 1
#define ORVEL_INSTANTIATE_HOLDOUT(name)                                                       \
    template void name<true>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,     \
                             double*, double*);
#else
#define ORVEL_INSTANTIATE_HOLDOUT(name)
#endif

// Defines the variant `name` of the fits (declared in variants.h) on vector
// type V, R vectors a block (ORVEL_BLOCK overrides R, for
// tools/mca-blocks.py); used once by each variant's translation unit.
#ifdef ORVEL_BLOCK
#define ORVEL_BLOCK_OR(R) ORVEL_BLOCK
#else
#define ORVEL_BLOCK_OR(R) R
#endif
#define ORVEL_DEFINE_VARIANT(name, V, R)                                                      \
    namespace orvel {                                                                         \
    template <bool LOO>                                                                       \
    void name(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K, double* F,     \
              double* gFx, double* gFy)                                                       \
    {                                                                                         \
        fitColumns<LOO, V, ORVEL_BLOCK_OR(R)>(data, ny, nx, K, F, gFx, gFy);                  \
    }                                                                                         \
    ORVEL_INSTANTIATE_FIT(name)                                                               \
    ORVEL_INSTANTIATE_HOLDOUT(name)                                                           \
    }

#endif
