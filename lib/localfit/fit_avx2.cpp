// The grid fit for x86-64 CPUs with AVX2: four-lane vectors.  This file alone
// is compiled with -mavx2 and is reached only after the CPU and the operating
// system have been checked to support it.
#include "localfit/kernel.h"
#include "localfit/variants.h"

namespace orvel {

typedef double vec4 __attribute__((vector_size(32)));

template <bool LOO>
void fitAvx2(const double* data, ptrdiff_t ny, ptrdiff_t nx, const double* K, double* F,
             double* gFx, double* gFy)
{
    // Four vectors of four rows: twelve accumulators plus the broadcast
    // weight and temporaries fit the sixteen YMM registers.
    fitColumns<LOO, vec4, 4>(data, ny, nx, K, F, gFx, gFy);
}

template void fitAvx2<false>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,
                             double*, double*);
template void fitAvx2<true>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,
                            double*, double*);

} // namespace orvel
