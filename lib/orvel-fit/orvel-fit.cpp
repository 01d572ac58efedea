// orvel-fit: kernel-weighted local linear fit on every node of a grid.
#include "export.h"
#include "localfit/localfit.h"

extern "C" ORVEL_EXPORT void localPolynomials(const double* data, const int* pny, const int* pnx,
                                              const double* K, double* F, double* gFx, double* gFy)
{
    orvel::fitGrid<false>(data, pny, pnx, K, F, gFx, gFy);
}
