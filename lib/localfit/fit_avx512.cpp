// The grid fit for x86-64 CPUs with AVX-512F: eight-lane vectors.  This file
// alone is compiled with -mavx512f and is reached only after the CPU and the
// operating system have been checked to support it.  (The tests also build
// it for AVX2, where the compiler splits each vector in two, so that the
// eight-lane code is exercised on CPUs without AVX-512 as well.)
#include "localfit/kernel.h"
#include "localfit/variants.h"

namespace orvel {

typedef double vec8 __attribute__((vector_size(64)));

// Three vectors (24 rows) per block: nine running sums in the 32 ZMM
// registers.  Measured on an AMD EPYC of family 1Ah (Zen 5), nodes per
// second against two and four vectors: about the same for the dense
// Gaussian, 5-15% more for Horn's and the Epanechnikov kernel.
constexpr int kBlock = blockSize(3);

template <bool LOO>
void fitAvx512(const orvel_grid& g, const orvel_targets& r)
{
    fitRange<LOO, vec8, kBlock>(g, r);
}

template void fitAvx512<false>(const orvel_grid&, const orvel_targets&);
template void fitAvx512<true>(const orvel_grid&, const orvel_targets&);

} // namespace orvel
