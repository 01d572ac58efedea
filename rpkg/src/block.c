/* A block of a raster: its layers or its statistics' sums.
 *
 * A block is the target rows and columns of a grid held in part: the
 * columns its windows reach (with their halo), each of the grid's ny rows
 * or, for a tile, the rows its windows reach. Every node is fitted with the
 * whole grid's geometry (the model's), so its bits never depend on the
 * block, the tile, the chunk or the thread it comes in. */
#include "fpcontract.h"
#include <math.h>
#include <string.h>

#include "args.h"
#include "block.h"
#include "engine.h"
#include "stats.h"

int block_arrays(const block_job *j)
{
    return j->m->p + 1 + (j->var ? ORVEL_LP_NVAR(j->m->p) : 0);
}

int block_fit(block_job *j, ptrdiff_t k, double *s, ptrdiff_t *x0, ptrdiff_t *x1, ptrdiff_t *y0,
              ptrdiff_t *y1)
{
    orvel_chunk(&j->c, k, x0, x1, y0, y1);
    *y0 += j->iy0;
    *y1 += j->iy0;
    ptrdiff_t h = *y1 - *y0, n = (*x1 - *x0) * h;
    int p = j->m->p;
    double *o[6], *v[ORVEL_LP_NVAR(6)];
    for (int i = 0; i < p; i++) o[i] = s + i * n;
    for (int i = 0; i < ORVEL_LP_NVAR(p); i++) v[i] = s + (p + 1 + i) * n;
    int status = orvel_model_fit(j->m, &j->d, *x0, *x1, *y0, *y1, o, h, j->var ? v : NULL, h,
                                 s + block_arrays(j) * n);
    if (status != ORVEL_OK) atomic_store(&j->status, status);
    return status == ORVEL_OK;
}

/* The statistics' sums of chunk k, per column in row order over the nodes
 * scored (and that `keep` flags). */
static void stats_chunk(void *arg, ptrdiff_t k, double *s)
{
    block_job *j = arg;
    ptrdiff_t x0, x1, y0, y1;
    if (!block_fit(j, k, s, &x0, &x1, &y0, &y1)) return;
    ptrdiff_t h = y1 - y0, n = (x1 - x0) * h, ny = j->m->ny, seg = y0 / j->c.rows;
    const double *hat = s + (2 * j->m->p + 1 + ORVEL_LP_HAT) * n;
    const double *v00 = s + (2 * j->m->p + 1 + ORVEL_LP_VAR00) * n;
    for (ptrdiff_t ix = x0; ix < x1; ix++) {
        ptrdiff_t g = ix * ny + y0, c = (ix - x0) * h;
        stats_add(j->d.z + (ix - j->d.col0) * ny + y0, s + c, hat + c, v00 + c, h, j->m->loo,
                  j->sums_scale, j->keep ? j->keep + g : NULL, j->can ? j->can + g : NULL,
                  j->slots + ((ix - j->c.ix0) * j->c.nseg + seg) * NSTAT);
    }
}

/* The geometry of request `req` (its element "geometry": list(dx, dy, sx,
 * sy), see .orvel_geometry()) on the model's grid. */
static void geom_read(SEXP req, const orvel_model *m, orvel_geom *g)
{
    SEXP geo = orvel_arg_field(req, "request", "geometry", 1);
    SEXP dx = orvel_arg_field(geo, "geometry", "dx", 1);
    orvel_arg_reals(dx, "dx", -1);
    if (XLENGTH(dx) != 1 && XLENGTH(dx) != m->nx)
        error("orvel: `dx` must hold one cell size or one per grid column");
    for (R_xlen_t i = 0; i < XLENGTH(dx); i++)
        if (!(REAL(dx)[i] > 0) || !isfinite(REAL(dx)[i]))
            error("orvel: `dx` must hold positive finite cell sizes");
    g->ny = m->ny;
    g->nx = m->nx;
    g->dx = REAL(dx);
    g->per_col = XLENGTH(dx) != 1;
    g->dy = orvel_arg_number(orvel_arg_field(geo, "geometry", "dy", 1), "dy");
    if (!(g->dy > 0)) error("orvel: `dy` must be a positive cell size");
    g->sx = orvel_arg_number(orvel_arg_field(geo, "geometry", "sx", 1), "sx");
    g->sy = orvel_arg_number(orvel_arg_field(geo, "geometry", "sy", 1), "sy");
    if ((g->sx != 1 && g->sx != -1) || (g->sy != 1 && g->sy != -1))
        error("orvel: `sx` and `sy` must each be 1 or -1");
}

/* model: a model of orvel_model_new() (K laid over the grid as the engines
 * take it); z: columns col0 .. of the model's grid (a block of raster rows
 * with its halo, as terra reads it: the grid's columns are raster rows);
 * req, the request, a named list:
 *   at: c(col0, ix0, ix1, pos, iy0, iy1): z's first column, the target
 *     columns ix0 .. ix1 - 1 and rows iy0 .. iy1 - 1 (a tile: z need hold
 *     only the rows their windows reach, see orvel_tile_grid()), whose
 *     layers go to position `pos` on in each layer of `out`;
 *   what: layer codes (see block.h; each at most once), or 0 alone for the
 *     statistics;
 *   threads;
 *   for layers: policy (0, 1, 2 for na.policy "all", "omit", "only"),
 *     geometry (see geom_read()), scale (the angles' unit: 1 radians, 180 /
 *     pi degrees), shade (the sun's altitude and azimuth in degrees, for
 *     the hillshade, or the terrain options, see orvel_terrain_opts_read()),
 *     sigma (the noise's standard deviation, for standard
 *     errors);
 *   for the statistics: keep, can: NULL or flags of orvel_flags_new()
 *     (`keep` also a raw vector), a flag per node of the whole grid: only
 *     nodes flagged in `keep` are scored, and the flag in `can` of a node
 *     that cannot be is cleared.
 * out: for layers, a buffer of orvel_buffer_alloc() not yet taken, to hold
 * the layers one after another, each in the grid's order, written in place
 * and returned; for the statistics, the
 * statistics' vector so far (see stats_total(): the sums, sigma-hat, which
 * is not read, and the sums' scale, NA for the scale of this block's data),
 * returned with this block's sums added at that scale. */
SEXP orvel_fit_block(SEXP model, SEXP z, SEXP req, SEXP out)
{
    const orvel_model *m = orvel_model_get(model);
    SEXP atv = orvel_arg_field(req, "request", "at", 1);
    const double *gm = orvel_arg_reals(atv, "at", 6);
    for (int i = 0; i < 6; i++)
        if (!isfinite(gm[i]) || gm[i] != floor(gm[i]) || gm[i] < 0 || gm[i] > R_XLEN_T_MAX)
            error("orvel: `at` must hold whole numbers");
    ptrdiff_t ny = m->ny, nx = m->nx, col0 = (ptrdiff_t) gm[0];
    ptrdiff_t ix0 = (ptrdiff_t) gm[1], ix1 = (ptrdiff_t) gm[2], pos = (ptrdiff_t) gm[3];
    ptrdiff_t iy0 = (ptrdiff_t) gm[4], iy1 = (ptrdiff_t) gm[5];
    R_xlen_t cells = (R_xlen_t) ny * nx;   /* checked by the model */
    if (iy0 > iy1 || iy1 > ny) error("orvel: `at` must give target rows within the grid");
    if (ix0 > ix1 || ix1 > nx || col0 > nx) error("orvel: `at` must give target columns within the grid");
    int nt = orvel_arg_threads(orvel_arg_field(req, "request", "threads", 1));
    SEXP what = orvel_arg_field(req, "request", "what", 1);
    int nl = orvel_arg_what(what, "what", 0, SE + NLAYER - 1);
    const int *w = INTEGER(what);
    if (nl == 0) error("orvel: `what` must name at least one layer");
    int cv = nl == 1 && w[0] == STATS, var = cv;
    if (cv && (iy0 != 0 || iy1 != ny)) error("orvel: the statistics are summed over whole columns");
    for (int l = 0; l < nl && !cv; l++) {
        int base = w[l] >= SE ? w[l] - SE : w[l];
        if (w[l] == STATS) error("orvel: `what` asks for the statistics alone or for layers");
        if (base < SMOOTH || base >= NLAYER || w[l] == SE + FEATURES)
            error("orvel: `what` code %d names no layer", w[l]);
        var |= w[l] > SE;
        for (int i = 0; i < l; i++)
            if (w[i] == w[l]) error("orvel: `what` must name each layer once");
        if (layer_needs_quadratic(base) && m->p < 6)
            error("orvel: second derivatives and curvatures need degree 2");
    }
    block_job j = {0};
    j.m = m;
    j.iy0 = iy0;
    j.th = iy1 - iy0;
    j.what = w;
    j.nl = nl;
    j.var = var;
    orvel_data_init(m, z, col0, &j.d);   /* PROTECTed there */
    /* The columns held must cover every target's window. */
    ptrdiff_t need0 = ix0 > m->halo ? ix0 - m->halo : 0;
    ptrdiff_t need1 = ix1 + m->halo < nx ? ix1 + m->halo : nx;
    if (ix0 < ix1 && (col0 > need0 || col0 + j.d.ncol < need1))
        error("orvel: `at` does not match the columns held in `z`");
    orvel_model_chunks(m, &j.c, j.th, ix0, ix1);
    ptrdiff_t chunk = orvel_mul(j.c.cols, j.th < j.c.rows ? j.th : j.c.rows, "a chunk");
    size_t scratch = orvel_add(orvel_mul(block_arrays(&j), chunk, "the scratch"),
                               orvel_model_scratch(m, &j.d, &j.c), "the scratch");
    if (cv) {
        /* The sums so far, sigma-hat and their scale: a previous block's
         * result, or zeros and NA for the scale of this block's data. */
        const double *acc = orvel_arg_reals(out, "out", NSTATV);
        double sk = acc[ST_SCALE];
        if (ISNAN(sk)) {
            j.sums_scale = stats_scale(abs_max(j.d.z, XLENGTH(z)));
        } else {
            if (sk != floor(sk) || fabs(sk) > 2200)
                error("orvel: `out` must end in the sums' scale, a whole number or NA");
            j.sums_scale = (int) sk;
        }
        /* `keep` is only read; `can` is written in place, and so must be
         * flags R code cannot see (orvel_flags_new()). */
        j.keep = orvel_arg_flags(orvel_arg_field(req, "request", "keep", 0), "keep", cells, 1);
        j.can = orvel_arg_flags(orvel_arg_field(req, "request", "can", 0), "can", cells, 0);
        ptrdiff_t np = orvel_mul(ix1 - ix0, j.c.nseg, "the statistics' sums");
        j.slots = (double *) R_alloc(np > 0 ? np : 1, NSTAT * sizeof(double));
        orvel_parallel(j.c.n, nt, scratch, stats_chunk, &j);
        orvel_check_fit(atomic_load(&j.status));
        double st[NSTATV];
        stats_total(j.slots, np, acc, j.sums_scale, st);
        UNPROTECT(1);
        return stats_vector(st);
    }
    j.policy = (int) orvel_arg_whole(orvel_arg_field(req, "request", "policy", 1), "policy", 0, 2);
    geom_read(req, m, &j.g);
    j.scale = orvel_arg_number(orvel_arg_field(req, "request", "scale", 1), "scale");
    orvel_terrain_opts_read(orvel_arg_field(req, "request", "shade", 1), &j.opts);
    /* (the noise's standard deviation in the elevations' scaled units) */
    j.sigma = orvel_arg_number(orvel_arg_field(req, "request", "sigma", 1), "sigma") *
              fabs(j.opts.zscale);
    SEXP buf = orvel_arg_buffer(out, "out");
    j.mlen = XLENGTH(buf) / nl;
    if (XLENGTH(buf) % nl != 0 || pos > j.mlen ||
        (j.th > 0 && ix1 - ix0 > (j.mlen - pos) / j.th))
        error("orvel: `out` has no room for the block's layers at `at`'s position");
    j.out = REAL(buf) + pos;
    orvel_parallel(j.c.n, nt, scratch, layer_chunk, &j);
    orvel_check_fit(atomic_load(&j.status));
    UNPROTECT(1);
    return out;
}
