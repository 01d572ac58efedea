// The exported solver, compiled into both libraries.
#include "export.h"
#include "solve3/solve3.h"

extern "C" ORVEL_EXPORT void solve(const double* Q, const double* V, double* res)
{
    orvel::solve(Q, V, res);
}
