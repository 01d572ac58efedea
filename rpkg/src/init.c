/* The package's registered routines, found by R only through the objects
 * useDynLib() makes (C_orvel_...). */
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

SEXP orvel_model_new(SEXP fields);
SEXP orvel_fit_grid(SEXP model, SEXP z, SEXP req, SEXP work);
SEXP orvel_fit_block(SEXP model, SEXP z, SEXP req, SEXP out);
SEXP orvel_buffer_alloc(SEXP n);
SEXP orvel_buffer_take(SEXP buf);
SEXP orvel_tile_grid(SEXP vals, SEXP nx, SEXP c0);
SEXP orvel_flags_new(SEXP n);
SEXP orvel_flags_and(SEXP can, SEXP mine, SEXP and);
SEXP orvel_flags_read(SEXP flags);
SEXP orvel_isa(void);
SEXP orvel_angles(SEXP gx, SEXP gy, SEXP rows, SEXP cols, SEXP cx, SEXP ny, SEXP what,
                  SEXP scale, SEXP lanes);
SEXP orvel_angles_isa(void);
SEXP orvel_neighbours_block(SEXP z, SEXP geom, SEXP what, SEXP dx, SEXP dy, SEXP flip,
                            SEXP narm, SEXP out, SEXP threads);
SEXP orvel_ici_step(SEXP b, SEXP v, SEXP gammas, SEXP bw, SEXP lo, SEXP hi, SEXP alive,
                    SEXP cs, SEXP cb, SEXP cv);
SEXP orvel_wfit_grid(SEXP z, SEXP w, SEXP K, SEXP degree, SEXP holdout, SEXP narm,
                     SEXP threads, SEXP se, SEXP unit);

static const R_CallMethodDef calls[] = {
    {"orvel_model_new", (DL_FUNC) &orvel_model_new, 1},
    {"orvel_fit_grid", (DL_FUNC) &orvel_fit_grid, 4},
    {"orvel_fit_block", (DL_FUNC) &orvel_fit_block, 4},
    {"orvel_buffer_alloc", (DL_FUNC) &orvel_buffer_alloc, 1},
    {"orvel_buffer_take", (DL_FUNC) &orvel_buffer_take, 1},
    {"orvel_tile_grid", (DL_FUNC) &orvel_tile_grid, 3},
    {"orvel_flags_new", (DL_FUNC) &orvel_flags_new, 1},
    {"orvel_flags_and", (DL_FUNC) &orvel_flags_and, 3},
    {"orvel_flags_read", (DL_FUNC) &orvel_flags_read, 1},
    {"orvel_isa", (DL_FUNC) &orvel_isa, 0},
    {"orvel_angles", (DL_FUNC) &orvel_angles, 9},
    {"orvel_angles_isa", (DL_FUNC) &orvel_angles_isa, 0},
    {"orvel_neighbours_block", (DL_FUNC) &orvel_neighbours_block, 9},
    {"orvel_wfit_grid", (DL_FUNC) &orvel_wfit_grid, 9},
    {"orvel_ici_step", (DL_FUNC) &orvel_ici_step, 10},
    {NULL, NULL, 0}
};

void R_init_orvel(DllInfo *dll)
{
    R_registerRoutines(dll, NULL, calls, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
}
