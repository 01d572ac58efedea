// The general engine's fit for x86-64 CPUs with AVX2: compiled with -mavx2 (no FMA).
// Reached only through orvel_lp_fit() after the CPU and the operating system
// have been found to run it.
#if defined(__x86_64__)
#define ORVEL_LP_FIT_NAME orvel_lp_fit_avx2
// Blocks of four nodes, one YMM register each: GCC spills the eight-node
// generic vectors it would split in two here (measured: half the SSE2
// version's speed).  A block's width changes no bit (fit.inc).
#define ORVEL_LP_JB 4
#include "lpoly/fit.inc"
#endif
