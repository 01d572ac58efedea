/* Checks of the arguments of the registered routines, and their result
 * vectors. Every check runs before any arithmetic on sizes, and each error
 * names the argument. */
#ifndef ORVEL_ARGS_H
#define ORVEL_ARGS_H

#include <R.h>
#include <Rinternals.h>
#include <R_ext/Visibility.h>

/* One finite number (double or integer, not NA). */
attribute_hidden double orvel_arg_number(SEXP x, const char *name);

/* One finite whole number in [lo, hi]. */
attribute_hidden R_xlen_t orvel_arg_whole(SEXP x, const char *name, double lo, double hi);

/* TRUE or FALSE. */
attribute_hidden int orvel_arg_flag(SEXP x, const char *name);

/* A double vector of exactly len values (any length if len < 0). */
attribute_hidden const double *orvel_arg_reals(SEXP x, const char *name, R_xlen_t len);

/* An integer vector of at most 64 codes, each in [lo, hi]; returns its
 * length. */
attribute_hidden int orvel_arg_what(SEXP x, const char *name, int lo, int hi);

/* a * b, or a + b, of sizes (neither negative); an error naming `what`
 * where the result would exceed R_XLEN_T_MAX. */
attribute_hidden R_xlen_t orvel_mul(R_xlen_t a, R_xlen_t b, const char *what);
attribute_hidden R_xlen_t orvel_add(R_xlen_t a, R_xlen_t b, const char *what);

/* n flags of nodes, written in place by the routines that take them: an
 * external pointer to a raw vector that R code never sees, so that no
 * copy of it can change with them. The bytes are not set. */
attribute_hidden SEXP orvel_flags_make(R_xlen_t n);

/* The n flags of `x`: NULL for NULL, else flags from orvel_flags_make()
 * (or, if `raw`, for flags only read, also a raw vector of n bytes). */
attribute_hidden Rbyte *orvel_arg_flags(SEXP x, const char *name, R_xlen_t n, int raw);

/* Element `name` of the named list `x` (a request or the fields of a model
 * to build), `what` naming x in messages: R_NilValue where it is
 * absent and not `required`, else an error naming both. */
attribute_hidden SEXP orvel_arg_field(SEXP x, const char *what, const char *name, int required);

/* The tag of the buffers of orvel_buffer_alloc(), and the vector of buffer
 * x (an error naming `name` for anything else, or a buffer taken). */
attribute_hidden SEXP orvel_buffer_tag(void);
attribute_hidden SEXP orvel_arg_buffer(SEXP x, const char *name);

/* The number of threads: a whole number from 1. */
attribute_hidden int orvel_arg_threads(SEXP x);

/* The result list of a grid's fit, shaped after the matrix z: F, gFx,
 * gFy (z's dimensions and names), for p = 6 the squares' coefficients (z's
 * rows and columns by 3), and with se the standard errors (by p); fresh
 * vectors of orvel_alloc(). PROTECTed once. */
attribute_hidden SEXP orvel_grid_result(SEXP z, int p, int se);

/* A fresh double vector of n values, its memory advised for huge pages
 * where the system has them. */
attribute_hidden SEXP orvel_alloc(R_xlen_t n);

#endif
