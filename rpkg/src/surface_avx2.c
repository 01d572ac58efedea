/* The curvatures of a column four cells at a time, for CPUs with AVX2
 * (chosen at run time in surface.c). The target attribute lets this one
 * file use AVX2 without a compiler flag; AVX2 brings no fused multiply-add,
 * so the results are those of the two-lane loops, bit for bit. */
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include "fpcontract.h"
#include <R_ext/Visibility.h>

#include "surface.h"
#define W 4
#define CURV_NAME orvel_curvature_avx2
#define CURV_LINKAGE attribute_hidden
#define CURV_TARGET __attribute__((target("avx2")))
#include "curvature.h"
#else
/* Nothing to build here: ISO C wants a declaration in every file. */
typedef int orvel_no_avx2_curvature;
#endif
