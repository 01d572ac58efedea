// The literal, one-node-at-a-time transcription of the fit, kept here as the
// oracle every build of the libraries is compared against bit for bit.  It is
// deliberately written apart from the library sources and kept plain: int
// indices, one node at a time, every product left to right as prescribed.
#ifndef ORVEL_TEST_ORACLE_H
#define ORVEL_TEST_ORACLE_H

#include <cmath>
#include <cstring>

namespace oracle {

// How a result is compared with the oracle's: bit for bit, except that any
// NaN equals any NaN (signed zeros must match).
inline bool sameBits(double a, double b)
{
    if (std::isnan(a) && std::isnan(b))
        return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline double det(const double* A)
{
    double out = A[0] * (A[4] * A[8] - A[5] * A[7]) - A[1] * (A[3] * A[8] - A[5] * A[6]) +
                 A[2] * (A[3] * A[7] - A[4] * A[6]);
    return out;
}

inline void solve(const double* Q, const double* V, double* res)
{
    double d = det(Q);
    for (int j = 0; j < 3; j++) {
        double temp[9];
        for (int k = 0; k < 9; k++)
            temp[k] = Q[k];
        temp[j] = V[0];
        temp[3 + j] = V[1];
        temp[6 + j] = V[2];
        res[j] = det(temp) / d;
    }
}

// cv = false: localPolynomials; cv = true: localPolynomialscv.
inline void localPolynomials(bool cv, const double* data, const int* pny, const int* pnx,
                             const double* K, double* F, double* gFx, double* gFy)
{
    const int h = 3;
    int nx = *pnx, ny = *pny;
    if (nx <= 0)
        return;
    for (int ix = 0; ix < nx; ix++) {
        for (int iy = 0; iy < ny; iy++) {
            int ix0 = ix - h > 0 ? ix - h : 0;
            int ix1 = ix + h < nx ? ix + h : nx - 1;
            int iy0 = iy - h > 0 ? iy - h : 0;
            int iy1 = iy + h < ny ? iy + h : ny - 1;
            double Q[9], V[3], res[3];
            for (int k = 0; k < 9; k++)
                Q[k] = 0.0;
            for (int k = 0; k < 3; k++)
                V[k] = 0.0;
            for (int jx = ix0; jx <= ix1; jx++) {
                double x = (double)(jx - ix) / (double)nx;
                double x2 = x * x;
                for (int jy = iy0; jy <= iy1; jy++) {
                    double y = (double)(jy - iy) / (double)ny;
                    double z = data[jx * ny + jy];
                    double w = K[(jx - ix + 3) * 7 + (jy - iy + 3)];
                    if (!cv) {
                        Q[0] += w;
                        V[0] += z * w;
                        V[1] += y * z * w;
                        V[2] += z * x * w;
                        Q[1] += y * w;
                        Q[2] += w * x;
                        Q[4] += y * y * w;
                        Q[5] += y * x * w;
                        Q[8] += w * x2;
                    } else {
                        double indx = jx == ix ? 1.0 : 0.0;
                        double indy = jy == iy ? 1.0 : 0.0;
                        double lo = 1.0 - indy * indx;
                        V[0] += z * w * lo;
                        V[1] += y * z * w * lo;
                        V[2] += z * x * w * lo;
                        Q[0] += w * lo;
                        Q[1] += y * w * lo;
                        Q[2] += w * x * lo;
                        Q[4] += y * y * w * lo;
                        Q[5] += y * x * w * lo;
                        Q[8] += w * x2 * lo;
                    }
                }
            }
            Q[3] = Q[1];
            Q[6] = Q[2];
            Q[7] = Q[5];
            solve(Q, V, res);
            F[ix * ny + iy] = res[0];
            gFx[ix * ny + iy] = res[1];
            gFy[ix * ny + iy] = res[2];
        }
    }
}

} // namespace oracle

// The oracle compiled in a translation unit of its own (oracle.cpp), so that
// a benchmark or fuzzer can give it flags of its own.
void oracleFit(bool cv, const double* data, const int* pny, const int* pnx, const double* K,
               double* F, double* gFx, double* gFy);

#endif
