/* Work split across threads, and the chunks it is split into. */
#ifndef ORVEL_PARALLEL_H
#define ORVEL_PARALLEL_H

#include <stddef.h>
#include <R_ext/Visibility.h>

/* Does chunk `chunk` of a job; `scratch` is the calling thread's own. */
typedef void orvel_chunk_fn(void *job, ptrdiff_t chunk, double *scratch);

/* Runs fn on chunks 0 .. n - 1 on up to `threads` threads, the calling one
 * (R's main thread) among them, each with `scratch` doubles of its own, and
 * returns when all are done. Only the calling thread talks to R: every few
 * milliseconds it checks for a user interrupt; on one, the other threads
 * stop after the chunk they are on, every thread and buffer is released,
 * and the interrupt goes on to R. */
attribute_hidden void orvel_parallel(ptrdiff_t n, int threads, size_t scratch,
                                     orvel_chunk_fn *fn, void *job);

/* Target columns ix0 .. ix1 - 1 of a grid of ny rows, cut into chunks of
 * about `nodes` nodes (at most ORVEL_CHUNK) and at least `mincols`
 * columns: whole columns, several to a chunk, when ny is at most `rows`
 * (at most ORVEL_CHUNK), else segments of `rows` rows of `mincols` columns.
 * The caller takes all three from its model alone, so the cut of the rows
 * depends on ny and the model, never on the number of threads or the
 * block a column comes in: sums formed per (column, segment) and added in
 * column order are the same bits however the work is split. A chunk is
 * the calling thread's unit between looks for a user interrupt: the
 * caller keeps one's work to some tens of milliseconds. */
#define ORVEL_CHUNK 65536

typedef struct orvel_chunks {
    ptrdiff_t ny, ix0, ix1;
    ptrdiff_t rows;  /* rows a segment */
    ptrdiff_t nseg;  /* segments a column: 1, or ceil(ny / rows) */
    ptrdiff_t cols;  /* columns a chunk */
    ptrdiff_t n;     /* chunks */
} orvel_chunks;

attribute_hidden void orvel_chunks_init(orvel_chunks *c, ptrdiff_t ny, ptrdiff_t ix0,
                                        ptrdiff_t ix1, ptrdiff_t mincols, ptrdiff_t rows,
                                        ptrdiff_t nodes);

/* Columns [*jx0, *jx1) and rows [*jy0, *jy1) of chunk k. */
attribute_hidden void orvel_chunk(const orvel_chunks *c, ptrdiff_t k, ptrdiff_t *jx0,
                                  ptrdiff_t *jx1, ptrdiff_t *jy0, ptrdiff_t *jy1);

#endif
