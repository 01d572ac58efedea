// The general engine's fit for the baseline instruction set (SSE2 on x86-64, NEON on arm64): compiled with no ISA flag.
#define ORVEL_LP_FIT_NAME orvel_lp_fit_baseline
#include "lpoly/fit.inc"
