// The literal one-node-at-a-time fit, compiled at -O2 as the yardstick the
// libraries are measured against.
#include "../tests/oracle.h"

void oracleFit(bool cv, const double* data, const int* pny, const int* pnx, const double* K,
               double* F, double* gFx, double* gFy)
{
    oracle::localPolynomials(cv, data, pny, pnx, K, F, gFx, gFy);
}
