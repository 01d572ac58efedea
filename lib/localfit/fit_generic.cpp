// The grid fit for any CPU: two-lane vectors, which every 64-bit target the
// libraries are built for (x86-64's SSE2, ARM's NEON) executes natively.
#include "localfit/kernel.h"
#include "localfit/variants.h"

namespace orvel {

typedef double vec2 __attribute__((vector_size(16)));

// Vectors per block.  x86-64: two (four rows), six running sums, and room
// left in the sixteen XMM registers for the weight, the offsets and
// temporaries.  aarch64 has 32 vector registers: three (six rows), chosen
// with llvm-mca (tools/mca-blocks.py): for a block of the dense 7 x 7
// kernel, of one to five vectors three takes the fewest cycles a node on
// the Apple M1 and Neoverse N2 models, about 15% fewer than two on the M1.
#if defined(__aarch64__)
constexpr int kBlock = blockSize(3);
#else
constexpr int kBlock = blockSize(2);
#endif

template <bool LOO>
void fitGeneric(const orvel_grid& g, const orvel_targets& r)
{
    fitRange<LOO, vec2, kBlock>(g, r);
}

template void fitGeneric<false>(const orvel_grid&, const orvel_targets&);
template void fitGeneric<true>(const orvel_grid&, const orvel_targets&);

} // namespace orvel
