/* Small routines of the package: a tile's grid, result buffers, flags of
 * nodes, and what the CPU runs. */
#include "fpcontract.h"
#include <string.h>

#include <R.h>
#include <Rinternals.h>

#include "args.h"
#include "cpu.h"
#include "engine.h"

/* A tile's grid for orvel_fit_block(): `vals`, the nrows x ncols cells of
 * a raster's rows from column c0 (0-based) on as terra reads them, a row
 * after another, placed at their columns in a vector of nrows rows of the
 * raster's nx columns (each a column of the fitting engine's grid, which
 * then has the whole raster's geometry). Only the rows' cells at c0 ..
 * c0 + ncols - 1 are written; the rest is left as allocated, untouched, so
 * that the memory a tile takes is its own cells' (the operating system
 * maps only pages that are written), not the width of the raster. */
SEXP orvel_tile_grid(SEXP vals, SEXP nx, SEXP c0)
{
    const double *v = orvel_arg_reals(vals, "vals", -1);
    R_xlen_t n = (R_xlen_t) orvel_arg_whole(nx, "nx", 1, R_XLEN_T_MAX);
    R_xlen_t c = (R_xlen_t) orvel_arg_whole(c0, "c0", 0, (double) n - 1);
    /* ncols cells a row: the caller's rows hold them all (vals's length
     * over the rows is checked by the caller's own geometry). */
    SEXP dims = getAttrib(vals, R_DimSymbol);
    if (TYPEOF(dims) != INTSXP || LENGTH(dims) != 2)
        error("orvel: `vals` must be a matrix of the tile's columns by its rows");
    R_xlen_t w = INTEGER(dims)[0], rows = INTEGER(dims)[1];
    if (w < 1 || w > n - c) error("orvel: the tile's columns must lie within the raster's");
    if (XLENGTH(vals) != w * rows)
        error("orvel: `vals` does not hold its dimensions' number of values");
    R_xlen_t len = orvel_mul(rows, n, "the tile's grid");
    /* Not orvel_alloc(): huge pages would map the cells never written. */
    SEXP z = PROTECT(allocVector(REALSXP, len));
    double *o = REAL(z);
    for (R_xlen_t r = 0; r < rows; r++) memcpy(o + r * n + c, v + r * w, w * sizeof(double));
    UNPROTECT(1);
    return z;
}

/* A buffer of n doubles for orvel_fit_block() to fill in place: an
 * external pointer holding a fresh vector that R code never sees until
 * orvel_buffer_take() hands it over, so no copy of it can change with the
 * writes, however many functions pass the buffer on. */
SEXP orvel_buffer_alloc(SEXP n)
{
    SEXP v = PROTECT(orvel_alloc(orvel_arg_whole(n, "n", 0, R_XLEN_T_MAX)));
    SEXP p = R_MakeExternalPtr(NULL, orvel_buffer_tag(), v);
    UNPROTECT(1);
    return p;
}

/* The vector of buffer `buf`, which is then no longer written to. */
SEXP orvel_buffer_take(SEXP buf)
{
    SEXP v = PROTECT(orvel_arg_buffer(buf, "buf"));
    R_SetExternalPtrProtected(buf, R_NilValue);
    UNPROTECT(1);
    return v;
}

/* The instruction sets of this process: a list of the level in use (the
 * CPU's capped by ORVEL_ISA), the CPU's own level, the variant the exact
 * engine runs ("avx512", "avx2" or "generic"), the CPU's named features and
 * ORVEL_ISA's value if it named no level (else NULL). */
SEXP orvel_isa(void)
{
    static const char *names[] = {"level", "cpu", "engine", "features", "ignored", ""};
    static const struct { unsigned bit; const char *name; } feat[] = {
        {ORVEL_CPU_AVX, "avx"},         {ORVEL_CPU_AVX2, "avx2"},
        {ORVEL_CPU_FMA, "fma"},         {ORVEL_CPU_AVX512F, "avx512f"},
        {ORVEL_CPU_AVX512DQ, "avx512dq"}, {ORVEL_CPU_AVX512BW, "avx512bw"},
        {ORVEL_CPU_AVX512VL, "avx512vl"}};
    const int nfeat = (int) (sizeof feat / sizeof feat[0]);
    const unsigned f = orvel_cpu_features();
    const orvel_isa_level level = orvel_cpu_level();
    SEXP out = PROTECT(mkNamed(VECSXP, names));
    SET_VECTOR_ELT(out, 0, mkString(orvel_cpu_level_name(level)));
    SET_VECTOR_ELT(out, 1, mkString(orvel_cpu_level_name(orvel_cpu_level_of(f))));
    const char *engine = "generic";
    switch (orvel_localfit_isa_at(level)) {
    case ORVEL_ISA_AVX512: engine = "avx512"; break;
    case ORVEL_ISA_AVX2: engine = "avx2"; break;
    default: break;
    }
    SET_VECTOR_ELT(out, 2, mkString(engine));
    int n = 0;
    for (int i = 0; i < nfeat; i++) n += (f & feat[i].bit) != 0;
    SEXP fs = allocVector(STRSXP, n);
    SET_VECTOR_ELT(out, 3, fs);
    for (int i = 0, j = 0; i < nfeat; i++)
        if (f & feat[i].bit) SET_STRING_ELT(fs, j++, mkChar(feat[i].name));
    const char *bad = orvel_cpu_isa_env();
    SET_VECTOR_ELT(out, 4, bad ? mkString(bad) : R_NilValue);
    UNPROTECT(1);
    return out;
}

/* Flags of n nodes for orvel_select(), all set (see orvel_flags_make()). */
SEXP orvel_flags_new(SEXP n)
{
    R_xlen_t len = orvel_arg_whole(n, "n", 0, R_XLEN_T_MAX);
    SEXP v = orvel_flags_make(len);
    memset(RAW(R_ExternalPtrProtected(v)), 1, len);
    return v;
}

/* The number of flags of orvel_flags_new() x: 0 for NULL. */
static R_xlen_t flags_length(SEXP x)
{
    SEXP v = TYPEOF(x) == EXTPTRSXP ? R_ExternalPtrProtected(x) : R_NilValue;
    return TYPEOF(v) == RAWSXP ? XLENGTH(v) : 0;
}

/* can &= mine where `and`, and mine set back to ones, both in place: flags
 * of one length from orvel_flags_new(). Returns the number of flags set in
 * can. */
SEXP orvel_flags_and(SEXP can, SEXP mine, SEXP and)
{
    R_xlen_t n = flags_length(can);
    Rbyte *c = orvel_arg_flags(can, "can", n, 0), *m = orvel_arg_flags(mine, "mine", n, 0);
    if (!c || !m) error("orvel: `can` and `mine` must be flags from orvel_flags_new()");
    if (c == m) error("orvel: `can` and `mine` must be distinct flags");
    int a = orvel_arg_flag(and, "and");
    double set = 0;
    for (R_xlen_t i = 0; i < n; i++) {
        if (a) c[i] &= m[i];
        m[i] = 1;
        set += c[i] != 0;
    }
    return ScalarReal(set);
}
