/* No fused multiply-adds in this file's arithmetic: every product is
 * rounded before it is added, so that each instruction-set path and each
 * compiler gives the same bits (GCC contracts by default wherever the
 * target has FMA, arm64 included; clang within expressions). Included
 * first, before any function is defined; the flag -ffp-contract=off does
 * the same, but a package's Makevars cannot carry it portably. */
#ifndef ORVEL_FPCONTRACT_H
#define ORVEL_FPCONTRACT_H
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif
#endif
