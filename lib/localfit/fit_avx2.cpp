// The grid fit for x86-64 CPUs with AVX2: four-lane vectors.  This file alone
// is compiled with -mavx2 and is reached only after the CPU and the operating
// system have been checked to support it.
#include "localfit/kernel.h"
#include "localfit/variants.h"

namespace orvel {

typedef double vec4 __attribute__((vector_size(32)));

// Two vectors (eight rows) per block: six running sums, and room left in the
// sixteen YMM registers for the weight, the offsets and temporaries; more
// sums spill (measured: three or four vectors a block are slower).
constexpr int kBlock = blockSize(2);

template <bool LOO>
void fitAvx2(const orvel_grid& g, const orvel_targets& r)
{
    fitRange<LOO, vec4, kBlock>(g, r);
}

template void fitAvx2<false>(const orvel_grid&, const orvel_targets&);
template void fitAvx2<true>(const orvel_grid&, const orvel_targets&);

} // namespace orvel
