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
    // Two vectors (eight rows) per block: six running sums, and room left in
    // the sixteen YMM registers for the weight, the offsets and temporaries;
    // more sums spill (measured: three or four vectors are slower).
    fitColumns<LOO, vec4, 2>(data, ny, nx, K, F, gFx, gFy);
}

template void fitAvx2<false>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,
                             double*, double*);
template void fitAvx2<true>(const double*, ptrdiff_t, ptrdiff_t, const double*, double*,
                            double*, double*);

} // namespace orvel
