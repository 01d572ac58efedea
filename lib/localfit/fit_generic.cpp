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
    // Two vectors (four rows) per block: six running sums, and room left in
    // the sixteen XMM registers for the weight, the offsets and temporaries.
    fitColumns<LOO, vec2, 2>(data, ny, nx, K, F, gFx, gFy);
}

template void fitGeneric<false>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,
                                double*, double*);
template void fitGeneric<true>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,
                               double*, double*);

} // namespace orvel
