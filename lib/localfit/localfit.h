// The grid fit shared by both libraries; LOO selects the leave-one-out fit.
#ifndef ORVEL_LOCALFIT_H
#define ORVEL_LOCALFIT_H

#include "localfit/variants.h"

namespace orvel {

// Reads the two dimensions once; nothing is read or written unless both are
// positive.  Dimensions are widened before any index is formed from them.
template <bool LOO>
inline void fitGrid(const double* data, const int* pny, const int* pnx, const double* K,
                    double* F, double* gFx, double* gFy)
{
    const ptrdiff_t nx = *pnx;
    if (nx <= 0)
        return;
    const ptrdiff_t ny = *pny;
    if (ny <= 0)
        return;
    fitDispatch<LOO>(data, ny, nx, K, F, gFx, gFy);
}

} // namespace orvel

#endif
