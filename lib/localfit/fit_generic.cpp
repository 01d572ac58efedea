// The grid fit for any CPU: two-lane vectors, which every 64-bit target the
// libraries are built for (x86-64's SSE2, ARM's NEON) executes natively.
#include "localfit/kernel.h"
#include "localfit/variants.h"

typedef double vec2 __attribute__((vector_size(16)));

// Two vectors (four rows) per block: six running sums, and room left in the
// sixteen XMM registers for the weight, the offsets and temporaries.
ORVEL_DEFINE_VARIANT(fitGeneric, vec2, 2)
