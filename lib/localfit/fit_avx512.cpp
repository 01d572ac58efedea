// The grid fit for x86-64 CPUs with AVX-512F: eight-lane vectors.  This file
// alone is compiled with -mavx512f and is reached only after the CPU and the
// operating system have been checked to support it.  (The tests also build
// it for AVX2, where the compiler splits each vector in two, so that the
// eight-lane code is exercised on CPUs without AVX-512 as well.)
#include "localfit/kernel.h"
#include "localfit/variants.h"

typedef double vec8 __attribute__((vector_size(64)));

#ifndef ORVEL_AVX512_BLOCK
#define ORVEL_AVX512_BLOCK 2
#endif
ORVEL_DEFINE_VARIANT(fitAvx512, vec8, ORVEL_AVX512_BLOCK)
