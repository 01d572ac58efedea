// The grid fit for any CPU: two-lane vectors, which every 64-bit target the
// libraries are built for (x86-64's SSE2, ARM's NEON) executes natively.
#include "localfit/kernel.h"
#include "localfit/variants.h"

namespace orvel {

typedef double vec2 __attribute__((vector_size(16)));

template <bool LOO>
void fitGeneric(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K, double* F,
                double* gFx, double* gFy)
{
    // Six vectors: twelve rows, 18 accumulators in the 16 SSE registers
    // would spill, so fewer; four keeps the sums and a few temporaries live.
    fitColumns<LOO, vec2, 4>(data, ny, nx, K, F, gFx, gFy);
}

template void fitGeneric<false>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,
                                double*, double*);
template void fitGeneric<true>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,
                               double*, double*);

} // namespace orvel
