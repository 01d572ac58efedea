// The instruction-set variants of the grid fit.  Every variant computes the
// same bits; they differ only in speed.  Each is defined in a translation
// unit of its own, compiled for its instruction set (fit_<variant>.cpp), and
// reached only through the runtime choice in engine.cpp.  x86-64 builds
// have all three; other targets the generic one alone.
#ifndef ORVEL_VARIANTS_H
#define ORVEL_VARIANTS_H

#include "localfit/engine.h"

namespace orvel {

// The targets r of grid g: arguments already checked, range not empty.
template <bool LOO>
void fitGeneric(const orvel_grid& g, const orvel_targets& r);

#if defined(__x86_64__)
template <bool LOO>
void fitAvx2(const orvel_grid& g, const orvel_targets& r);
template <bool LOO>
void fitAvx512(const orvel_grid& g, const orvel_targets& r);
#endif

} // namespace orvel

#endif
