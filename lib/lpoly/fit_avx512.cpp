// The general engine's fit for x86-64 CPUs with AVX-512F: compiled with -mavx512f (no FMA).
// Reached only through orvel_lp_fit() after the CPU and the operating system
// have been found to run it.
#if defined(__x86_64__)
#define ORVEL_LP_FIT_NAME orvel_lp_fit_avx512
#include "lpoly/fit.inc"
#endif
