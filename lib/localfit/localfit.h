// The grid fit shared by both libraries; LOO selects the leave-one-out fit.
#ifndef ORVEL_LOCALFIT_H
#define ORVEL_LOCALFIT_H

#include "localfit/node.h"

namespace orvel {

// Reads the two dimensions once; nothing is read or written unless both are
// positive.
template <bool LOO>
inline void fitGrid(const double* data, const int* pny, const int* pnx, const double* K,
                    double* F, double* gFx, double* gFy)
{
    const ptrdiff_t nx = *pnx;
    if (nx <= 0)
        return;
    const ptrdiff_t ny = *pny;
    fitGridReference<LOO>(data, ny, nx, K, F, gFx, gFy);
}

} // namespace orvel

#endif
