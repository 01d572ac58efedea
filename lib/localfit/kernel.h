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
// A node's sequence depends on the whole grid's ny and nx (its offsets and
// where its window is clipped) and on the values in its window, never on
// which other nodes are fitted in the same call: any range of nodes gets the
// bits a fit of the whole grid gives them.
//
// What does not depend on the data is done once per window shape instead of
// once per node: Q (the same bits for every node with that window) and the
// parts of each Cramer determinant made of Q alone.
//
// Included by one translation unit per instruction set, each instantiating
// fitRange with its own vector type; everything here has internal linkage
// so that no copy compiled for a wider instruction set is shared with others.
#ifndef ORVEL_KERNEL_H
#define ORVEL_KERNEL_H

#include <stddef.h>
#include <string.h>

#include "localfit/engine.h"
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

// Vectors a block: a variant's own choice, unless tools/mca-blocks.py
// compiles the variant with ORVEL_BLOCK to compare block sizes.
constexpr int blockSize(int chosen)
{
#ifdef ORVEL_BLOCK
    return (void)chosen, ORVEL_BLOCK;
#else
    return chosen;
#endif
}

// One call's work: the grid, the columns of it held, the weights and the
// offsets, and the target nodes with where their results go.
struct Task {
    ptrdiff_t ny, nx;              // the whole grid
    const double* data;            // columns col0 ... held, ny values each
    ptrdiff_t col0;
    const double* K;               // 49 weights, (dx + h) * kw + (dy + h)
    double xs[kw], ys[kw];         // offsets d / nx and d / ny, d = -h..h
    ptrdiff_t ix0, ix1, iy0, iy1;  // target columns ix0..ix1-1, rows iy0..iy1-1
    double *F, *gFx, *gFy;         // node (ix, iy) at (ix - ix0) * stride + (iy - iy0)
    ptrdiff_t stride;
};

inline Task makeTask(const orvel_grid& g, const orvel_targets& r)
{
    Task t;
    t.ny = g.ny;
    t.nx = g.nx;
    t.data = g.data;
    t.col0 = g.col0;
    t.K = g.K;
    for (ptrdiff_t d = -h; d <= h; ++d) {
        t.xs[d + h] = double(d) / double(g.nx);
        t.ys[d + h] = double(d) / double(g.ny);
    }
    t.ix0 = r.ix0;
    t.ix1 = r.ix1;
    t.iy0 = r.iy0;
    t.iy1 = r.iy1;
    t.F = r.F;
    t.gFx = r.gFx;
    t.gFy = r.gFy;
    t.stride = r.stride;
    return t;
}

// Row 0 of column jx of the grid (one of the columns held).
inline const double* heldColumn(const Task& t, ptrdiff_t jx)
{
    return t.data + (jx - t.col0) * t.ny;
}

// v, or the nearer end of lo..hi (lo <= hi).
inline ptrdiff_t clamp(ptrdiff_t v, ptrdiff_t lo, ptrdiff_t hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}

// Where the results of node (ix, iy) go in F, gFx and gFy.
inline ptrdiff_t out(const Task& t, ptrdiff_t ix, ptrdiff_t iy)
{
    return (ix - t.ix0) * t.stride + (iy - t.iy0);
}

// A window shape, column offsets dx0..dx1 and row offsets dy0..dy1 from the
// target, with its Q and Q's Cramer constants C (see cramerConstants).  The
// blocks form the terms of columns dx0..dx1; on the finite path these may be
// cut to the kernel's footprint, Q and C staying those of the whole window.
struct Shape {
    ptrdiff_t dx0, dx1, dy0, dy1;
    double Q[9], C[4];
};

// Matches no window: Q and C are filled by the first reshape.
inline Shape noShape() { return Shape{1, 0, 0, 0, {}, {}}; }

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

// Q of the window of s, summed in scan order with the terms above.
template <bool LOO>
inline void windowQ(const Task& t, Shape& s)
{
    double* Q = s.Q;
    for (int k = 0; k < 9; ++k)
        Q[k] = 0;
    for (ptrdiff_t dx = s.dx0; dx <= s.dx1; ++dx) {
        const double x = t.xs[dx + h];
        const double x2 = x * x;
        const double indx = dx == 0 ? 1.0 : 0.0;
        for (ptrdiff_t dy = s.dy0; dy <= s.dy1; ++dy) {
            const double y = t.ys[dy + h];
            const double w = t.K[(dx + h) * kw + (dy + h)];
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
ORVEL_INLINE void cramer(const Shape& s, V V0, V V1, V V2, V& b0, V& b1, V& b2)
{
    const double* Q = s.Q;
    const double* C = s.C;
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

// Makes s the window shape given, recomputing Q and its Cramer constants
// only when the shape changes (which along a row or a column happens near
// the edges only).
template <bool LOO>
inline void reshape(const Task& t, ptrdiff_t dx0, ptrdiff_t dx1, ptrdiff_t dy0, ptrdiff_t dy1,
                    Shape& s)
{
    if (s.dx0 == dx0 && s.dx1 == dx1 && s.dy0 == dy0 && s.dy1 == dy1)
        return;
    s.dx0 = dx0;
    s.dx1 = dx1;
    s.dy0 = dy0;
    s.dy1 = dy1;
    windowQ<LOO>(t, s);
    cramerConstants(s.Q, s.C);
}

// Row iy of the target columns, one node at a time: for rows whose windows
// are clipped at the top or bottom edge, and the row left over after the
// vectors.  Every term formed, in scan order; Q from the shape cache.
template <bool LOO>
inline void fitRow(const Task& t, ptrdiff_t iy)
{
    ptrdiff_t dy0, dy1, dx0, dx1;
    clip(iy, t.ny, dy0, dy1);
    Shape s = noShape();
    for (ptrdiff_t ix = t.ix0; ix < t.ix1; ++ix) {
        clip(ix, t.nx, dx0, dx1);
        reshape<LOO>(t, dx0, dx1, dy0, dy1, s);
        double V0 = 0, V1 = 0, V2 = 0;
        for (ptrdiff_t dx = dx0; dx <= dx1; ++dx) {
            const double* col = heldColumn(t, ix + dx) + iy;
            const double x = t.xs[dx + h];
            for (ptrdiff_t dy = dy0; dy <= dy1; ++dy) {
                const double z = col[dy];
                const double w = t.K[(dx + h) * kw + (dy + h)];
                const double y = t.ys[dy + h];
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
        const ptrdiff_t n = out(t, ix, iy);
        cramer<double>(s, V0, V1, V2, t.F[n], t.gFx[n], t.gFy[n]);
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
// least h rows from the top and bottom edges; column offsets s.dx0..s.dx1,
// row offsets -A..A (the whole window unless cut to the kernel's footprint).
//
// With Finite (every observation in these windows and every weight finite),
// the terms that are exactly zero are left out: y*z*w in the target's own row
// (y = +0) and z*x*w in its own column (x = +0) are +0 or -0 times finite
// values, hence signed zeros, and adding a signed zero leaves a running sum
// that starts at +0 unchanged (such a sum is never -0: in round-to-nearest
// a sum is -0 only when both addends are).  Without Finite every term is
// formed, since 0 * Inf and 0 * NaN are NaN.
template <bool LOO, bool Finite, int A, typename V, int R>
ORVEL_INLINE void fitBlock(const Task& t, const Shape& s, ptrdiff_t ix, ptrdiff_t iy)
{
    constexpr int W = lanes<V>;
    V V0[R], V1[R], V2[R];
    for (int r = 0; r < R; ++r)
        V0[r] = V1[r] = V2[r] = broadcast<V>(0.0);
    // Row iy - h of each neighbour column: lane j of vector r at row offset
    // dy = k - h reads element k + r * W + j, its own target's row plus dy.
    const double* base = heldColumn(t, ix) + (iy - h);
    ptrdiff_t dx = s.dx0;
    for (; dx <= s.dx1 && dx < 0; ++dx)
        column<LOO, Finite, false, A, V, R>(base + dx * t.ny, t.K + (dx + h) * kw, t.ys,
                                            t.xs[dx + h], V0, V1, V2);
    if (dx == 0 && dx <= s.dx1) {
        column<LOO, Finite, true, A, V, R>(base, t.K + h * kw, t.ys, t.xs[h], V0, V1, V2);
        ++dx;
    }
    for (; dx <= s.dx1; ++dx)
        column<LOO, Finite, false, A, V, R>(base + dx * t.ny, t.K + (dx + h) * kw, t.ys,
                                            t.xs[dx + h], V0, V1, V2);
    for (int r = 0; r < R; ++r) {
        V b0, b1, b2;
        cramer<V>(s, V0[r], V1[r], V2[r], b0, b1, b2);
        const ptrdiff_t n = out(t, ix, iy) + r * W;
        store(t.F + n, b0);
        store(t.gFx + n, b1);
        store(t.gFy + n, b2);
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

// Whole blocks of column ix's rows top .. end-1 (a multiple of R vectors).
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
__attribute__((noinline)) void fitBlocks(const Task& task, const Shape& shape, ptrdiff_t ix,
                                         ptrdiff_t top, ptrdiff_t end, const double* next)
{
    constexpr int W = lanes<V>;
    // Copies of their own: the results are stored with memcpy, which may
    // write anything, so fields read through the references would be loaded
    // again after every block (measured: the dense Gaussian about 1% slower).
    const Task t = task;
    const Shape s = shape;
    for (ptrdiff_t iy = top; iy < end; iy += R * W) {
        if (next)
            for (int l = 0; l < R * W; l += 8)
                __builtin_prefetch(next + iy + l);
        fitBlock<LOO, Finite, A, V, R>(t, s, ix, iy);
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

// Single vectors of column ix's rows iy .. end-1, then what is left (fewer
// than lanes<V>, a multiple of two) in narrower vectors.
template <bool LOO, bool Finite, typename V>
inline void fitTail(const Task& t, const Shape& s, ptrdiff_t ix, ptrdiff_t iy, ptrdiff_t end)
{
    for (; iy + lanes<V> <= end; iy += lanes<V>)
        fitBlock<LOO, Finite, h, V, 1>(t, s, ix, iy);
    if constexpr (lanes<V> > 2)
        fitTail<LOO, Finite, typename Half<V>::type>(t, s, ix, iy, end);
}

// Column ix's rows top .. top+rows-1 (rows even): whole blocks, on the
// finite path cut to the kernel's footprint fp, then single vectors, of V
// and narrower (too few to be worth copies of their own per footprint).
template <bool LOO, bool Finite, typename V, int R>
inline void fitColumn(const Task& t, const Shape& s, const ptrdiff_t* fp, ptrdiff_t ix,
                      ptrdiff_t top, ptrdiff_t rows, const double* next)
{
    constexpr int W = lanes<V>;
    const ptrdiff_t end = top + rows / (R * W) * (R * W);
    if (!Finite) {
        fitBlocks<LOO, false, h, V, R>(t, s, ix, top, end, next);
    } else {
        Shape cut = s;
        cut.dx0 = fp[0] > s.dx0 ? fp[0] : s.dx0;
        cut.dx1 = fp[1] < s.dx1 ? fp[1] : s.dx1;
        switch (fp[2]) {
        case 0:
            fitBlocks<LOO, true, 0, V, R>(t, cut, ix, top, end, next);
            break;
        case 1:
            fitBlocks<LOO, true, 1, V, R>(t, cut, ix, top, end, next);
            break;
        case 2:
            fitBlocks<LOO, true, 2, V, R>(t, cut, ix, top, end, next);
            break;
        default:
            fitBlocks<LOO, true, h, V, R>(t, cut, ix, top, end, next);
        }
    }
    fitTail<LOO, Finite, V>(t, s, ix, end, top + rows);
}

// The targets of r in grid g (a non-empty range whose windows lie in the
// columns held).  Target rows whose windows are clipped at the top or bottom
// edge of the grid go node by node, row by row; in every target column the
// rows between go in blocks of R vectors, then single vectors of V and of
// narrower types down to two lanes, and the row left of them if any node by
// node as well.
template <bool LOO, typename V, int R>
inline void fitRange(const orvel_grid& g, const orvel_targets& r)
{
    const Task t = makeTask(g, r);
    // Grid rows top .. bottom-1 have windows whole in the row direction; of
    // the target rows, m0 .. m0+rows-1 go in vectors.
    const ptrdiff_t top = h < t.ny ? h : t.ny, bottom = t.ny - h > top ? t.ny - h : top;
    const ptrdiff_t m0 = clamp(top, t.iy0, t.iy1), m1 = clamp(bottom, m0, t.iy1);
    const ptrdiff_t rows = (m1 - m0) / 2 * 2;
    for (ptrdiff_t iy = t.iy0; iy < m0; ++iy)
        fitRow<LOO>(t, iy);
    for (ptrdiff_t iy = m0 + rows; iy < t.iy1; ++iy)
        fitRow<LOO>(t, iy);
    if (rows == 0)
        return;

    // Whether each of the last eight columns (a ring wide enough for the
    // seven of a window) holds a non-finite observation in the rows the
    // blocks read, found as each column first enters a window.
    const ptrdiff_t first = m0 - h, checked = rows + 2 * h;
    const bool kernelFinite = !anyNonFinite(t.K, kw * kw);
    ptrdiff_t fp[3];
    footprint(t.K, fp);
    bool bad[8];
    for (ptrdiff_t jx = t.ix0 > h ? t.ix0 - h : 0; jx < t.ix0 + h && jx < t.nx; ++jx)
        bad[jx % 8] = anyNonFinite(heldColumn(t, jx) + first, checked);
    Shape s = noShape();
    for (ptrdiff_t ix = t.ix0; ix < t.ix1; ++ix) {
        ptrdiff_t dx0, dx1;
        clip(ix, t.nx, dx0, dx1);
        if (ix + h < t.nx)
            bad[(ix + h) % 8] = anyNonFinite(heldColumn(t, ix + h) + first, checked);
        bool finite = kernelFinite;
        for (ptrdiff_t dx = dx0; dx <= dx1; ++dx)
            finite = finite && !bad[(ix + dx) % 8];
        reshape<LOO>(t, dx0, dx1, -h, h, s);
        // The column checked before the next target column, if any.
        const bool checksNext = ix + 1 < t.ix1 && ix + h + 1 < t.nx;
        const double* next = checksNext ? heldColumn(t, ix + h + 1) : nullptr;
        if (finite)
            fitColumn<LOO, true, V, R>(t, s, fp, ix, m0, rows, next);
        else
            fitColumn<LOO, false, V, R>(t, s, fp, ix, m0, rows, next);
    }
}

} // namespace
} // namespace orvel

#endif
