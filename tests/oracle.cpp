// The oracle out of line.  The benchmark compiles this file at -O2, its
// yardstick; the fuzzer compiles it without coverage feedback, since the
// oracle's branches say nothing about the libraries and tracing them would
// cost most of each run.
#include "oracle.h"

void oracleFit(bool cv, const double* data, const int* pny, const int* pnx, const double* K,
               double* F, double* gFx, double* gFy)
{
    oracle::localPolynomials(cv, data, pny, pnx, K, F, gFx, gFy);
}
