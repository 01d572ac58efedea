/* Node flags as an R logical vector, for the R code that sums over the
 * nodes every candidate of orvel_select() can predict. */
#include "flags_read.h"
#include "args.h"

SEXP orvel_flags_read(SEXP flags)
{
    SEXP v = TYPEOF(flags) == EXTPTRSXP ? R_ExternalPtrProtected(flags) : R_NilValue;
    R_xlen_t n = TYPEOF(v) == RAWSXP ? XLENGTH(v) : 0;
    Rbyte *f = orvel_arg_flags(flags, "flags", n, 0);
    if (!f) error("orvel: `flags` must be flags from orvel_flags_new()");
    SEXP out = PROTECT(allocVector(LGLSXP, n));
    int *o = LOGICAL(out);
    for (R_xlen_t i = 0; i < n; i++) o[i] = f[i] != 0;
    UNPROTECT(1);
    return out;
}
