// The whole-grid entries of both libraries over the engine.
#ifndef ORVEL_LOCALFIT_H
#define ORVEL_LOCALFIT_H

#include <stddef.h>

#include "localfit/engine.h"

// The variant an entry runs: the runtime choice, unless a test build pins it
// (ORVEL_PIN_ISA=ORVEL_ISA_AVX2, say).
#ifndef ORVEL_PIN_ISA
#define ORVEL_PIN_ISA ORVEL_ISA_AUTO
#endif

namespace orvel {

// orvel_localfit(g, LOO, t, isa), one instantiation per fit: an entry calls
// its own, so that the linker drops the other fit from its library.
template <bool LOO>
int localfit(const orvel_grid* g, const orvel_targets* t, int isa);

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
    const orvel_grid g = {ny, nx, data, 0, nx, K};
    const orvel_targets t = {0, nx, 0, ny, F, gFx, gFy, ny};
    localfit<LOO>(&g, &t, ORVEL_PIN_ISA);
}

} // namespace orvel

#endif
