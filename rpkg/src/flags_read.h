/* Reading node flags of orvel_flags_new() from R.
 *
 * orvel_flags_read(flags): a logical vector of the flags' values (TRUE
 * where set). Checks that `flags` are flags; costs one pass over them. */
#ifndef ORVEL_FLAGS_READ_H
#define ORVEL_FLAGS_READ_H
#include <R.h>
#include <Rinternals.h>

SEXP orvel_flags_read(SEXP flags);

#endif
