/* The package's own routines, registered so that R finds them only through
 * the objects useDynLib() makes (C_orvel_...). The fits themselves live in
 * the two separate libraries, which are loaded by path and called through
 * orvel_call (see R/native.R). */
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

SEXP orvel_call(SEXP sym, SEXP z, SEXP dims, SEXP K, SEXP work);
SEXP orvel_slope_aspect(SEXP gx, SEXP gy, SEXP from, SEXP rows, SEXP nc, SEXP cx,
                        SEXP ny, SEXP what, SEXP scale, SEXP out, SEXP lanes);
SEXP orvel_angles_isa(void);
SEXP orvel_gradient_layers(SEXP F, SEXP gx, SEXP gy, SEXP from, SEXP rows, SEXP nc, SEXP cx,
                           SEXP ny, SEXP out);

static const R_CallMethodDef calls[] = {
    {"orvel_call", (DL_FUNC) &orvel_call, 5},
    {"orvel_slope_aspect", (DL_FUNC) &orvel_slope_aspect, 11},
    {"orvel_angles_isa", (DL_FUNC) &orvel_angles_isa, 0},
    {"orvel_gradient_layers", (DL_FUNC) &orvel_gradient_layers, 9},
    {NULL, NULL, 0}
};

void R_init_orvel(DllInfo *dll)
{
    R_registerRoutines(dll, NULL, calls, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
}
