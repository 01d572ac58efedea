/* Argument checks and result vectors for the registered routines. */
#include "fpcontract.h"
#include <math.h>
#include <stdint.h>
#include <string.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "args.h"

double orvel_arg_number(SEXP x, const char *name)
{
    double v;
    if (TYPEOF(x) == REALSXP && XLENGTH(x) == 1) v = REAL(x)[0];
    else if (TYPEOF(x) == INTSXP && XLENGTH(x) == 1 && INTEGER(x)[0] != NA_INTEGER)
        v = INTEGER(x)[0];
    else error("orvel: `%s` must be one number", name);
    if (!isfinite(v)) error("orvel: `%s` must be finite", name);
    return v;
}

R_xlen_t orvel_arg_whole(SEXP x, const char *name, double lo, double hi)
{
    double v = orvel_arg_number(x, name);
    if (v != floor(v) || v < lo || v > hi)
        error("orvel: `%s` must be a whole number from %.0f to %.0f, not %g", name, lo, hi, v);
    return (R_xlen_t) v;
}

int orvel_arg_flag(SEXP x, const char *name)
{
    if (TYPEOF(x) != LGLSXP || XLENGTH(x) != 1 || LOGICAL(x)[0] == NA_LOGICAL)
        error("orvel: `%s` must be TRUE or FALSE", name);
    return LOGICAL(x)[0];
}

const double *orvel_arg_reals(SEXP x, const char *name, R_xlen_t len)
{
    if (TYPEOF(x) != REALSXP) error("orvel: `%s` must be a double vector", name);
    if (len >= 0 && XLENGTH(x) != len)
        error("orvel: `%s` must hold %.0f values, not %.0f", name, (double) len,
              (double) XLENGTH(x));
    return REAL(x);
}

int orvel_arg_what(SEXP x, const char *name, int lo, int hi)
{
    if (TYPEOF(x) != INTSXP || XLENGTH(x) > 64)
        error("orvel: `%s` must be an integer vector of at most 64 codes", name);
    int n = LENGTH(x);
    for (int i = 0; i < n; i++)
        if (INTEGER(x)[i] < lo || INTEGER(x)[i] > hi)
            error("orvel: `%s` codes must lie in %d .. %d", name, lo, hi);
    return n;
}

R_xlen_t orvel_mul(R_xlen_t a, R_xlen_t b, const char *what)
{
    if (a < 0 || b < 0 || (b > 0 && a > R_XLEN_T_MAX / b))
        error("orvel: %s is too large: %.0f x %.0f", what, (double) a, (double) b);
    return a * b;
}

R_xlen_t orvel_add(R_xlen_t a, R_xlen_t b, const char *what)
{
    if (a < 0 || b < 0 || a > R_XLEN_T_MAX - b)
        error("orvel: %s is too large: %.0f + %.0f", what, (double) a, (double) b);
    return a + b;
}

/* Flags: an external pointer tagged so, whose protected value is the raw
 * vector of the flags. R code holds the pointer alone, never the vector,
 * so writing the flags in place changes nothing another name shows. */
static SEXP flags_tag(void)
{
    static SEXP tag = NULL;
    if (!tag) tag = install("orvel_flags");
    return tag;
}

SEXP orvel_flags_make(R_xlen_t n)
{
    SEXP v = PROTECT(allocVector(RAWSXP, n));
    SEXP p = R_MakeExternalPtr(RAW(v), flags_tag(), v);
    UNPROTECT(1);
    return p;
}

Rbyte *orvel_arg_flags(SEXP x, const char *name, R_xlen_t n, int raw)
{
    if (isNull(x)) return NULL;
    if (raw && TYPEOF(x) == RAWSXP) {
        if (XLENGTH(x) != n)
            error("orvel: `%s` must hold a flag for each of the %.0f nodes, not %.0f", name,
                  (double) n, (double) XLENGTH(x));
        return RAW(x);
    }
    SEXP v = TYPEOF(x) == EXTPTRSXP && R_ExternalPtrTag(x) == flags_tag()
             ? R_ExternalPtrProtected(x) : R_NilValue;
    if (TYPEOF(v) != RAWSXP || R_ExternalPtrAddr(x) != RAW(v))
        error("orvel: `%s` must be NULL or flags from orvel_flags_new()%s, not an object of type \"%s\"", name,
              raw ? " or a raw vector" : "", type2char(TYPEOF(x)));
    if (XLENGTH(v) != n)
        error("orvel: `%s` must hold a flag for each of the %.0f nodes, not %.0f", name,
              (double) n, (double) XLENGTH(v));
    return RAW(v);
}

int orvel_arg_threads(SEXP x)
{
    return (int) orvel_arg_whole(x, "threads", 1, 1024);
}

/* Fresh memory is mapped page by page as it is first written, one fault a
 * 4 KiB page, which for a large result can take longer than the fit that
 * fills it. Advised for transparent huge pages (its 2 MiB-aligned
 * interior, before anything is written), it is mapped 2 MiB at a fault.
 * Where the system has no huge pages the advice changes nothing. */
SEXP orvel_alloc(R_xlen_t n)
{
    SEXP v = allocVector(REALSXP, n);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const uintptr_t huge = (uintptr_t) 2 << 20;
    if ((uintptr_t) n >= 2 * huge / sizeof(double)) {
        uintptr_t a = (uintptr_t) REAL(v), b = a + (uintptr_t) n * sizeof(double);
        a = (a + huge - 1) & ~(huge - 1);
        b &= ~(huge - 1);
        if (b > a) madvise((void *) a, b - a, MADV_HUGEPAGE);
    }
#endif
    return v;
}

SEXP orvel_arg_field(SEXP x, const char *what, const char *name, int required)
{
    if (TYPEOF(x) != VECSXP) error("orvel: `%s` must be a named list", what);
    SEXP nm = getAttrib(x, R_NamesSymbol);
    R_xlen_t n = XLENGTH(x);
    if (n > 0 && (TYPEOF(nm) != STRSXP || XLENGTH(nm) != n))
        error("orvel: `%s` must be a named list", what);
    for (R_xlen_t i = 0; i < n; i++)
        if (strcmp(CHAR(STRING_ELT(nm, i)), name) == 0) return VECTOR_ELT(x, i);
    if (required) error("orvel: `%s` lacks `%s`", what, name);
    return R_NilValue;
}

SEXP orvel_buffer_tag(void)
{
    static SEXP tag = NULL;
    if (!tag) tag = install("orvel_buffer");
    return tag;
}

SEXP orvel_arg_buffer(SEXP x, const char *name)
{
    SEXP v = TYPEOF(x) == EXTPTRSXP && R_ExternalPtrTag(x) == orvel_buffer_tag()
                 ? R_ExternalPtrProtected(x) : R_NilValue;
    if (TYPEOF(v) != REALSXP)
        error("orvel: `%s` must be a buffer of orvel_buffer_alloc() not yet taken", name);
    return v;
}

SEXP orvel_grid_result(SEXP z, int p, int se)
{
    SEXP dim = getAttrib(z, R_DimSymbol), dn = getAttrib(z, R_DimNamesSymbol);
    R_xlen_t n = XLENGTH(z);
    SEXP out = PROTECT(allocVector(VECSXP, (p == 3 ? 3 : 4) + (se != 0)));
    for (int i = 0; i < 3; i++) {
        SEXP v = orvel_alloc(n);
        SET_VECTOR_ELT(out, i, v);
        setAttrib(v, R_DimSymbol, dim);
        if (!isNull(dn)) setAttrib(v, R_DimNamesSymbol, dn);
    }
    /* The squares' coefficients, then the standard errors: arrays by 3, p. */
    for (int a = 0; a < 2; a++) {
        int m = a ? p : 3;
        if ((a == 0 && p == 3) || (a == 1 && !se)) continue;
        SEXP q = orvel_alloc(orvel_mul(m, n, "the outputs"));
        SET_VECTOR_ELT(out, a ? (p == 3 ? 3 : 4) : 3, q);
        SEXP d3 = PROTECT(allocVector(INTSXP, 3));
        INTEGER(d3)[0] = INTEGER(dim)[0];
        INTEGER(d3)[1] = INTEGER(dim)[1];
        INTEGER(d3)[2] = m;
        setAttrib(q, R_DimSymbol, d3);
        UNPROTECT(1);
    }
    return out;
}
