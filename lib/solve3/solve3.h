// Cramer's-rule solver for the 3 x 3 normal equations of one grid node.
//
// The functions live in an unnamed namespace so that every translation unit,
// whatever instruction set it is compiled for, carries its own copy: an
// inline function with external linkage would be merged by the linker, and a
// copy compiled for a wider instruction set could end up serving the baseline
// code path.  The exported `solve` symbol is only a thin wrapper around these;
// the grid fits call them directly, so a foreign `solve` loaded earlier into
// the process cannot capture their calls.
#ifndef ORVEL_SOLVE3_H
#define ORVEL_SOLVE3_H

namespace orvel {
namespace {

// Determinant of the row-major 3 x 3 matrix A by cofactor expansion along the
// first row: each bracket first, then the three products combined left to
// right.  The grouping is part of the result's bits; do not rearrange it.
inline double det(const double* A)
{
    double out = A[0] * (A[4] * A[8] - A[5] * A[7])
               - A[1] * (A[3] * A[8] - A[5] * A[6])
               + A[2] * (A[3] * A[7] - A[4] * A[6]);
    return out;
}

// Solves Q res = V.  No pivoting and no test of the determinant: a singular Q
// gives IEEE quotients (NaN for 0/0, a signed infinity otherwise).  Each
// component is stored as soon as it is computed, so res must not overlap Q
// or V.
inline void solve(const double* Q, const double* V, double* res)
{
    double d = det(Q);
    double temp[9];
    for (int j = 0; j < 3; ++j) {
        for (int k = 0; k < 9; ++k)
            temp[k] = Q[k];
        temp[j] = V[0];
        temp[3 + j] = V[1];
        temp[6 + j] = V[2];
        res[j] = det(temp) / d;
    }
}

} // namespace
} // namespace orvel

#endif
