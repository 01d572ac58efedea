// orvel-holdout: the same fit with each node's own observation left out of
// its own fit, for cross-validation.
#include "export.h"
#include "localfit/localfit.h"

extern "C" ORVEL_EXPORT void localPolynomialscv(const double* data, const int* pny, const int* pnx,
                                                const double* K, double* F, double* gFx, double* gFy)
{
    orvel::fitGrid<true>(data, pny, pnx, K, F, gFx, gFy);
}
