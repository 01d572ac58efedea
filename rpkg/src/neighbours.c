/* TPI, TRI, roughness and flow direction of each cell's 3 x 3
 * neighbourhood, for orvel_terrain() (see neighbours.h). A raster block's
 * target rows are cut into chunks of whole rows (or segments of a row) as
 * the fits are, and each chunk reads its cells and their neighbours once
 * and writes every layer asked for. */
#include "fpcontract.h"
#include <math.h>
#include <stdatomic.h>
#include <R.h>
#include <Rinternals.h>

#include "args.h"
#include "neighbours.h"
#include "parallel.h"

typedef struct nb_job {
    const double *z;
    ptrdiff_t nc, nz, t0;
    orvel_chunks c;
    const int *what;
    int nl, narm;
    const double *dx;
    int per_row;
    double dy;
    int fx, fy;
    double *out;        /* layer l of target cell (r, c) at l * mlen + (r - t0) * nc + c */
    ptrdiff_t mlen;
} nb_job;

/* The neighbours in the order of the sums: (row, column) offsets in the
 * array, north-west, west, south-west, north, south, north-east, east,
 * south-east. */
static const int sum_dr[8] = {-1, 0, 1, -1, 1, -1, 0, 1};
static const int sum_dc[8] = {-1, -1, -1, 0, 0, 1, 1, 1};

/* The flow directions in the order of their codes 1, 2, 4, ..., 128: map
 * (south, east) offsets, east first and then clockwise. */
static const int map_ds[8] = {0, 1, 1, 1, 0, -1, -1, -1};
static const int map_de[8] = {1, 1, 0, -1, -1, -1, 0, 1};

/* The layers of one cell, row r of z, column c, into o[l * mlen]. */
static void nb_cell(const nb_job *j, ptrdiff_t r, ptrdiff_t c, double *o)
{
    const double *z = j->z;
    ptrdiff_t nc = j->nc, i = r * nc + c;
    double z0 = z[i];
    int c0 = isfinite(z0);
    double v[8];
    int have[8], n = 0, lost = !c0;
    for (int k = 0; k < 8; k++) {
        ptrdiff_t rr = r + sum_dr[k], cc = c + sum_dc[k];
        have[k] = 0;
        if (rr < 0 || rr >= j->nz || cc < 0 || cc >= nc) continue;
        v[k] = z[rr * nc + cc];
        if (isfinite(v[k])) {
            have[k] = 1;
            n++;
        } else {
            lost = 1;
        }
    }
    if (lost && !j->narm) {
        for (int l = 0; l < j->nl; l++) o[l * j->mlen] = NA_REAL;
        return;
    }
    for (int l = 0; l < j->nl; l++) {
        double res = NA_REAL;
        switch (j->what[l]) {
        case NB_TPI:
            if (c0 && n) {
                double s = 0;
                for (int k = 0; k < 8; k++)
                    if (have[k]) s += v[k];
                res = z0 - s / n;
            }
            break;
        case NB_TRI:
            if (c0 && n) {
                double s = 0;
                for (int k = 0; k < 8; k++)
                    if (have[k]) s += fabs(v[k] - z0);
                res = s / n;
            }
            break;
        case NB_ROUGHNESS:
            if (c0 || n) {
                double lo = c0 ? z0 : INFINITY, hi = c0 ? z0 : -INFINITY;
                for (int k = 0; k < 8; k++)
                    if (have[k]) {
                        if (v[k] < lo) lo = v[k];
                        if (v[k] > hi) hi = v[k];
                    }
                res = hi - lo;
            }
            break;
        case NB_FLOWDIR:
            if (c0 && n) {
                double ex = j->dx[j->per_row ? r : 0], ny = j->dy;
                double diag = sqrt(ex * ex + ny * ny);
                int edge = r == 0 || r == j->nz - 1 || c == 0 || c == nc - 1;
                double best = -INFINITY;
                int code = 0;
                for (int k = 0; k < 8; k++) {
                    /* the map's offset as the array's */
                    ptrdiff_t rr = r + map_ds[k] * j->fy, cc = c + map_de[k] * j->fx;
                    if (edge && (rr < 0 || rr >= j->nz || cc < 0 || cc >= nc)) continue;
                    double zk = z[rr * nc + cc];
                    double d = map_ds[k] == 0 ? ex : map_de[k] == 0 ? ny : diag;
                    double drop = (z0 - zk) / d;
                    /* (without branches on the data: a missing neighbour
                     * never wins) */
                    int gt = isfinite(zk) & (drop > best);
                    best = gt ? drop : best;
                    code = gt ? 1 << k : code;
                }
                if (code) res = code;
            }
            break;
        default:
            break;
        }
        o[l * j->mlen] = res;
    }
}

static void nb_chunk(void *arg, ptrdiff_t k, double *scratch)
{
    (void) scratch;
    const nb_job *j = arg;
    ptrdiff_t x0, x1, y0, y1;
    orvel_chunk(&j->c, k, &x0, &x1, &y0, &y1);
    /* x: rows of z, y: cells along a row */
    for (ptrdiff_t r = x0; r < x1; r++)
        for (ptrdiff_t c = y0; c < y1; c++)
            nb_cell(j, r, c, j->out + (r - j->t0) * j->nc + c);
}

SEXP orvel_neighbours_block(SEXP z, SEXP geom, SEXP what, SEXP dx, SEXP dy, SEXP flip,
                            SEXP narm, SEXP out, SEXP threads)
{
    const double *gm = orvel_arg_reals(geom, "geom", 5);
    for (int i = 0; i < 5; i++)
        if (!isfinite(gm[i]) || gm[i] != floor(gm[i]) || gm[i] < 0 || gm[i] > R_XLEN_T_MAX)
            error("orvel: `geom` must hold whole numbers");
    ptrdiff_t nc = (ptrdiff_t) gm[0], nz = (ptrdiff_t) gm[1], t0 = (ptrdiff_t) gm[2];
    ptrdiff_t t1 = (ptrdiff_t) gm[3], at = (ptrdiff_t) gm[4];
    if (nc < 1 || nz < 1) error("orvel: `geom` must give at least one row of one cell");
    R_xlen_t cells = orvel_mul(nc, nz, "`geom`'s rows of cells");
    if (t0 > t1 || t1 > nz) error("orvel: `geom` must give target rows within `z`");
    orvel_arg_reals(z, "z", cells);
    int nl = orvel_arg_what(what, "what", NB_TPI, NB_FLOWDIR);
    if (nl == 0) error("orvel: `what` must name at least one layer");
    const int *w = INTEGER(what);
    for (int l = 0; l < nl; l++)
        for (int i = 0; i < l; i++)
            if (w[i] == w[l]) error("orvel: `what` must name each layer once");
    const double *ex = orvel_arg_reals(dx, "dx", -1);
    if (XLENGTH(dx) != 1 && XLENGTH(dx) != nz)
        error("orvel: `dx` must hold one cell size or one per row of `z`");
    for (R_xlen_t i = 0; i < XLENGTH(dx); i++)
        if (!(ex[i] > 0) || !isfinite(ex[i]))
            error("orvel: `dx` must hold positive finite cell sizes");
    double d_y = orvel_arg_number(dy, "dy");
    if (!(d_y > 0)) error("orvel: `dy` must be a positive cell size");
    const double *fl = orvel_arg_reals(flip, "flip", 2);
    for (int i = 0; i < 2; i++)
        if (fl[i] != 1 && fl[i] != -1) error("orvel: `flip` must hold two of 1 and -1");
    int rm = orvel_arg_flag(narm, "narm");
    int nt = orvel_arg_threads(threads);
    SEXP buf = orvel_arg_buffer(out, "out");
    ptrdiff_t mlen = XLENGTH(buf) / nl;
    if (XLENGTH(buf) % nl != 0 || at > mlen || (t1 - t0) > (mlen - at) / nc)
        error("orvel: `out` has no room for the block's layers at `geom`'s position");
    nb_job j = {REAL(z), nc, nz, t0, {0}, w, nl, rm, ex, XLENGTH(dx) != 1, d_y,
                (int) fl[0], (int) fl[1], REAL(buf) + at, mlen};
    orvel_chunks_init(&j.c, nc, t0, t1, 1, ORVEL_CHUNK, ORVEL_CHUNK);
    orvel_parallel(j.c.n, nt, 0, nb_chunk, &j);
    return out;
}
