/* The one way from R into the two fitting libraries.
 *
 * Both libraries export entries of the .C shape (seven pointers: data, ny,
 * nx, the 49 weights and the three outputs). R's .C() would duplicate every
 * argument on the way in and out; here the entry, resolved by R as a native
 * symbol of the library loaded by path, is called on the R vectors
 * themselves: `z` and `K` are only read, and the outputs are either fresh
 * vectors or the caller's own work vectors (a raster is fitted block after
 * block into the same three, so that every block writes memory that is
 * already mapped). */
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

typedef void fit_entry(const double *data, const int *ny, const int *nx, const double *K,
                       double *F, double *gFx, double *gFy);

/* sym: the entry's address (NativeSymbolInfo$address); z: the grid, a double
 * vector of ny * nx values, ny the fast index; dims: c(ny, nx); K: the 49
 * weights; work: NULL, or a list of three double vectors of at least ny * nx
 * values that nothing else refers to. Returns list(F, gFx, gFy): the work
 * vectors themselves, or three fresh ones of length ny * nx. */
SEXP orvel_call(SEXP sym, SEXP z, SEXP dims, SEXP K, SEXP work)
{
    if (TYPEOF(sym) != EXTPTRSXP || !R_ExternalPtrAddrFn(sym))
        error("orvel_call: `sym` is not the address of a native routine");
    if (TYPEOF(z) != REALSXP || TYPEOF(dims) != INTSXP || XLENGTH(dims) != 2 ||
        TYPEOF(K) != REALSXP || XLENGTH(K) != 49)
        error("orvel_call: bad arguments");
    const int *d = INTEGER(dims);
    if (d[0] < 0 || d[1] < 0 || (R_xlen_t) d[0] * d[1] != XLENGTH(z))
        error("orvel_call: `z` does not hold %d x %d values", d[0], d[1]);
    R_xlen_t n = XLENGTH(z);
    SEXP out = PROTECT(allocVector(VECSXP, 3));
    for (int i = 0; i < 3; i++) {
        SEXP v;
        if (isNull(work)) {
            v = allocVector(REALSXP, n);
        } else {
            if (TYPEOF(work) != VECSXP || XLENGTH(work) != 3)
                error("orvel_call: `work` must be a list of three double vectors");
            v = VECTOR_ELT(work, i);
            if (TYPEOF(v) != REALSXP || XLENGTH(v) < n)
                error("orvel_call: `work` vectors must hold at least %.0f values", (double) n);
        }
        SET_VECTOR_ELT(out, i, v);
    }
    fit_entry *fn = (fit_entry *) R_ExternalPtrAddrFn(sym);
    fn(REAL(z), d, d + 1, REAL(K), REAL(VECTOR_ELT(out, 0)), REAL(VECTOR_ELT(out, 1)),
       REAL(VECTOR_ELT(out, 2)));
    UNPROTECT(1);
    return out;
}
