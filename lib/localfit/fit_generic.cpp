// The grid fit for any CPU: two-lane vectors, which every 64-bit target the
// libraries are built for (x86-64's SSE2, ARM's NEON) executes natively.
#include "localfit/kernel.h"
#include "localfit/variants.h"

typedef double vec2 __attribute__((vector_size(16)));

// Vectors per block.  x86-64: two (four rows), six running sums, and room
// left in the sixteen XMM registers for the weight, the offsets and
// temporaries.  aarch64 has 32 vector registers: three (six rows), chosen
// with llvm-mca (tools/mca-blocks.py): for a block of the dense 7 x 7
// kernel, of one to five vectors three takes the fewest cycles a node on
// the Apple M1 and Neoverse N2 models, about 15% fewer than two on the M1.
#if defined(__aarch64__)
ORVEL_DEFINE_VARIANT(fitGeneric, vec2, 3)
#else
ORVEL_DEFINE_VARIANT(fitGeneric, vec2, 2)
#endif
