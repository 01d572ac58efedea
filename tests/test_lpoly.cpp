// The general local polynomial engine against weighted least squares node by
// node, and its independence of how the targets are cut up.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "cpu/cpu.h"
#include "lpoly/lpoly.h"

namespace {

struct Model {
    int ky, kx, degree, flags;
    std::vector<double> K;
};

// Node (iy, ix) from the definition: the observed cells with weight in the
// clipped window, normal equations in long double, Gauss-Jordan with
// partial pivoting. Returns false where the scaled design is close to
// singular (smallest pivot below `tol`).
bool oracle(const std::vector<double>& z, int ny, int nx, const Model& m, int iy, int ix,
            double* beta, long double tol)
{
    const int hy = m.ky / 2, hx = m.kx / 2, p = m.degree == 1 ? 3 : 6;
    long double M[6][7] = {};
    for (int dx = -hx; dx <= hx; dx++)
        for (int dy = -hy; dy <= hy; dy++) {
            int y = iy + dy, x = ix + dx;
            if (y < 0 || y >= ny || x < 0 || x >= nx) continue;
            if ((m.flags & ORVEL_LP_LOO) && dy == 0 && dx == 0) continue;
            double w = m.K[(dx + hx) * m.ky + dy + hy], v = z[(size_t)x * ny + y];
            if (w == 0) continue;
            if (!std::isfinite(v)) {
                if (!(m.flags & ORVEL_LP_NARM)) return false;
                continue;
            }
            long double u = (long double)dy / hy, s = (long double)dx / hx;
            long double f[6] = {1, u, s, u * u, u * s, s * s};
            for (int i = 0; i < p; i++) {
                for (int j = 0; j < p; j++) M[i][j] += w * f[i] * f[j];
                M[i][p] += w * f[i] * v;
            }
        }
    long double d[6];
    for (int i = 0; i < p; i++) {
        if (!(M[i][i] > 0)) return false;
        d[i] = 1 / std::sqrt(M[i][i]);
    }
    for (int i = 0; i < p; i++) {
        for (int j = 0; j < p; j++) M[i][j] *= d[i] * d[j];
        M[i][p] *= d[i];
    }
    for (int c = 0; c < p; c++) {
        int piv = c;
        for (int r = c + 1; r < p; r++)
            if (std::fabs(M[r][c]) > std::fabs(M[piv][c])) piv = r;
        std::swap(M[c], M[piv]);
        if (std::fabs(M[c][c]) < tol) return false;
        for (int r = 0; r < p; r++)
            if (r != c) {
                long double f = M[r][c] / M[c][c];
                for (int j = c; j <= p; j++) M[r][j] -= f * M[c][j];
            }
    }
    const int ea[6] = {0, 1, 0, 2, 1, 0}, eb[6] = {0, 0, 1, 0, 1, 2};
    for (int i = 0; i < p; i++)
        beta[i] = (double)(M[i][p] / M[i][i] * d[i] / std::pow((long double)hy, ea[i]) /
                           std::pow((long double)hx, eb[i]));
    return true;
}

// The covariance factors of node (iy, ix)'s coefficients, per node step,
// from the definition: V = A^-1 B A^-1 (p x p, row-major), A = X'WX and
// B = X'W^2X over the cells of the fit; inv00 = (A^-1)_00. Assumes the
// node has a fit.
void oracle_var(const std::vector<double>& z, int ny, int nx, const Model& m, int iy, int ix,
                double* v, double* inv00)
{
    const int hy = m.ky / 2, hx = m.kx / 2, p = m.degree == 1 ? 3 : 6;
    long double A[6][12] = {}, B[6][6] = {};
    for (int dx = -hx; dx <= hx; dx++)
        for (int dy = -hy; dy <= hy; dy++) {
            int y = iy + dy, x = ix + dx;
            if (y < 0 || y >= ny || x < 0 || x >= nx) continue;
            if ((m.flags & ORVEL_LP_LOO) && dy == 0 && dx == 0) continue;
            double w = m.K[(dx + hx) * m.ky + dy + hy];
            if (w == 0 || !std::isfinite(z[(size_t)x * ny + y])) continue;
            long double f[6] = {(long double)1, (long double)dy, (long double)dx,
                                (long double)dy * dy, (long double)dy * dx, (long double)dx * dx};
            for (int i = 0; i < p; i++)
                for (int j = 0; j < p; j++) {
                    A[i][j] += w * f[i] * f[j];
                    B[i][j] += (long double)w * w * f[i] * f[j];
                }
        }
    for (int i = 0; i < p; i++) A[i][p + i] = 1;
    for (int c = 0; c < p; c++) {
        int piv = c;
        for (int r = c + 1; r < p; r++)
            if (std::fabs(A[r][c]) > std::fabs(A[piv][c])) piv = r;
        std::swap(A[c], A[piv]);
        for (int r = 0; r < p; r++)
            if (r != c) {
                long double f = A[r][c] / A[c][c];
                for (int j = c; j < 2 * p; j++) A[r][j] -= f * A[c][j];
            }
    }
    long double I[6][6], T[6][6] = {};
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++) I[i][j] = A[i][p + j] / A[i][i];
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++)
            for (int l = 0; l < p; l++) T[i][j] += I[i][l] * B[l][j];
    for (int r = 0; r < p; r++)
        for (int c = 0; c < p; c++) {
            long double x = 0;
            for (int l = 0; l < p; l++) x += T[r][l] * I[l][c];
            v[r * p + c] = (double)x;
        }
    *inv00 = (double)I[0][0];
}

// The coefficients of the targets (p arrays of the targets' nodes), then
// their variance factors (ORVEL_LP_NVAR(p) arrays).
std::vector<double> fit(const std::vector<double>& z, int ny, int nx, const Model& m, int ix0,
                        int ix1, int iy0, int iy1, int mode = ORVEL_LP_ALL,
                        std::vector<double> init = {}, int level = -1)
{
    orvel_lp* plan = orvel_lp_new(m.K.data(), m.ky, m.kx, m.degree, ny, nx, m.flags);
    EXPECT_NE(plan, nullptr);
    int p = orvel_lp_ncoef(plan);
    size_t n = (size_t)(ix1 - ix0) * (iy1 - iy0);
    std::vector<double> out = init.empty() ? std::vector<double>(p * n, -1.0) : init;
    out.resize((p + ORVEL_LP_NVAR(p)) * n, -1.0);
    std::vector<double> scratch(orvel_lp_scratch(plan));
    double *o[6], *v[ORVEL_LP_NVAR(6)];
    for (int k = 0; k < p; k++) o[k] = out.data() + k * n;
    for (int k = 0; k < ORVEL_LP_NVAR(p); k++) v[k] = out.data() + (p + k) * n;
    const double scale[6] = {1, 1, 1, 1, 1, 1};
    // The level in use, or the one asked for.
    EXPECT_EQ(level < 0 ? orvel_lp_fit(plan, z.data(), 0, nx, ix0, ix1, iy0, iy1, o, iy1 - iy0,
                                       scale, mode, v, iy1 - iy0, scratch.data())
                        : orvel_lp_fit_at(level, plan, z.data(), 0, nx, ix0, ix1, iy0, iy1, o,
                                          iy1 - iy0, scale, mode, v, iy1 - iy0, scratch.data()),
              0);
    orvel_lp_free(plan);
    return out;
}

Model randomModel(std::mt19937_64& rng)
{
    const int sizes[] = {3, 5, 7, 9, 15};
    Model m{sizes[rng() % 5], sizes[rng() % 5], 1 + (int)(rng() % 2), (int)(rng() % 4), {}};
    std::uniform_real_distribution<double> U(0, 1);
    double by = 0.5 + 3 * U(rng), bx = 0.5 + 3 * U(rng);
    int kind = rng() % 3;  // Gaussian (separable), lopsided random, disc
    for (int dx = -(m.kx / 2); dx <= m.kx / 2; dx++)
        for (int dy = -(m.ky / 2); dy <= m.ky / 2; dy++) {
            double r2 = dy * dy / (by * by) + dx * dx / (bx * bx);
            m.K.push_back(kind == 0 ? std::exp(-r2 / 2)
                          : kind == 1 ? (rng() % 4 ? U(rng) : 0)
                                      : (r2 < 1 ? 1 - r2 : 0));
        }
    return m;
}

}  // namespace

TEST(Lpoly, MatchesWeightedLeastSquares)
{
    std::mt19937_64 rng(11);
    std::normal_distribution<double> N(0, 1);
    int checked = 0, undetermined = 0;
    for (int rep = 0; rep < 60; rep++) {
        int ny = 2 + rng() % 30, nx = 2 + rng() % 30;
        Model m = randomModel(rng);
        std::vector<double> z(ny * nx);
        for (int x = 0; x < nx; x++)
            for (int y = 0; y < ny; y++)
                z[x * ny + y] = 50 + 0.3 * y - 0.2 * x + 0.01 * x * y + N(rng);
        if (rep % 2)
            for (int k = 0; k < 1 + ny * nx / 20; k++)
                z[rng() % z.size()] = rng() % 2 ? NAN : INFINITY;
        std::vector<double> out = fit(z, ny, nx, m, 0, nx, 0, ny);
        int p = m.degree == 1 ? 3 : 6;
        size_t n = (size_t)ny * nx;
        for (int x = 0; x < nx; x++)
            for (int y = 0; y < ny; y++) {
                double beta[6];
                // Clearly determined or clearly not: nodes in between are
                // left to the tolerance.
                bool clear = oracle(z, ny, nx, m, y, x, beta, 1e-7L);
                bool none = !oracle(z, ny, nx, m, y, x, beta, 1e-13L);
                double b0 = out[(size_t)x * ny + y];
                if (none) {
                    EXPECT_TRUE(std::isnan(b0)) << rep << " " << y << " " << x;
                    undetermined++;
                } else if (clear) {
                    for (int k = 0; k < p; k++)
                        EXPECT_NEAR(out[k * n + (size_t)x * ny + y], beta[k],
                                    1e-9 * (100 + std::fabs(beta[k])))
                            << "case " << rep << " node " << y << "," << x << " coef " << k;
                    // The variance factors: the plan's fit's, then the hat
                    // value and smooth's variance of the full fit.
                    double V[36], Vf[36], i00, v[ORVEL_LP_NVAR(6)];
                    oracle_var(z, ny, nx, m, y, x, V, &i00);
                    Model full = m;
                    full.flags &= ~ORVEL_LP_LOO;
                    oracle_var(z, ny, nx, full, y, x, Vf, &i00);
                    double c = m.K[(m.kx / 2) * m.ky + m.ky / 2];
                    for (int k = 0; k < p; k++) v[k] = V[k * p + k];
                    v[p + ORVEL_LP_COV12] = V[p + 2];
                    v[p + ORVEL_LP_HAT] = c * i00;
                    v[p + ORVEL_LP_VAR00] = Vf[0];
                    for (int k = 0; k < p; k++)
                        for (int l = k + 1; l < p; l++) v[ORVEL_LP_COV(p, k, l)] = V[k * p + l];
                    bool obs = std::isfinite(z[(size_t)x * ny + y]);
                    for (int k = 0; k < ORVEL_LP_NVAR(p); k++) {
                        bool own = k == p + ORVEL_LP_HAT || k == p + ORVEL_LP_VAR00;
                        if (own && !obs) continue;   // used where observed
                        // A covariance to within 1e-9 of its variances' scale.
                        int a = k, b = k;
                        if (k == p + ORVEL_LP_COV12) a = 1, b = 2;
                        for (int q = 0; q < p; q++)
                            for (int l = q + 1; l < p; l++)
                                if (k == ORVEL_LP_COV(p, q, l)) a = q, b = l;
                        double got = out[(p + k) * n + (size_t)x * ny + y];
                        double tol = 1e-9 * (own ? std::fabs(v[k]) : std::sqrt(V[a * p + a] * V[b * p + b]));
                        EXPECT_NEAR(got, v[k], tol + 1e-300)
                            << "case " << rep << " node " << y << "," << x << " var " << k;
                    }
                    checked++;
                }
            }
    }
    EXPECT_GT(checked, 10000);
    EXPECT_GT(undetermined, 100);
}

TEST(Lpoly, SameBitsWhateverTheCut)
{
    std::mt19937_64 rng(5);
    std::normal_distribution<double> N(0, 1);
    for (int rep = 0; rep < 20; rep++) {
        int ny = 40 + rng() % 3000, nx = 20 + rng() % 30;
        Model m = randomModel(rng);
        std::vector<double> z(ny * nx);
        for (double& v : z) v = N(rng);
        for (int k = 0; k < 5 * (rep % 2); k++) z[rng() % z.size()] = NAN;
        std::vector<double> whole = fit(z, ny, nx, m, 0, nx, 0, ny);
        int p = m.degree == 1 ? 3 : 6;
        int x0 = rng() % nx, x1 = x0 + 1 + rng() % (nx - x0), y0 = rng() % ny,
            y1 = y0 + 1 + rng() % (ny - y0);
        std::vector<double> part = fit(z, ny, nx, m, x0, x1, y0, y1);
        size_t n = (size_t)(x1 - x0) * (y1 - y0), nw = (size_t)ny * nx;
        for (int k = 0; k < p + ORVEL_LP_NVAR(p); k++)
            for (int x = x0; x < x1; x++)
                for (int y = y0; y < y1; y++) {
                    double a = part[k * n + (size_t)(x - x0) * (y1 - y0) + y - y0],
                           b = whole[k * nw + (size_t)x * ny + y];
                    ASSERT_TRUE(std::memcmp(&a, &b, sizeof a) == 0) << rep;
                }
    }
}

// Merging into the exact engine's fit: undetermined shapes and windows with
// a weighted missing value change; the rest is left as it is.
TEST(Lpoly, MergeTouchesOnlyWhatItMust)
{
    const int ny = 9, nx = 8;
    Model m{7, 7, 1, 0, std::vector<double>(49, 0.0)};
    m.K[3 * 7 + 3] = m.K[3 * 7 + 4] = m.K[4 * 7 + 3] = m.K[4 * 7 + 4] = 1;  // dy, dx in {0, 1}
    std::vector<double> z(ny * nx, 1.0);
    z[4 * ny + 4] = NAN;
    std::vector<double> init(3 * ny * nx, 7.0);
    std::vector<double> out = fit(z, ny, nx, m, 0, nx, 0, ny, ORVEL_LP_MERGE, init);
    for (int x = 0; x < nx; x++)
        for (int y = 0; y < ny; y++) {
            bool edge = y == ny - 1 || x == nx - 1;   // only a line of cells left
            bool hit = (y == 3 || y == 4) && (x == 3 || x == 4);
            EXPECT_EQ(std::isnan(out[x * ny + y]), edge || hit) << y << "," << x;
            if (!edge && !hit) EXPECT_EQ(out[x * ny + y], 7.0);
        }
    EXPECT_EQ(orvel_lp_new(m.K.data(), 6, 7, 1, ny, nx, 0), nullptr);
    EXPECT_EQ(orvel_lp_new(m.K.data(), 7, 7, 3, ny, nx, 0), nullptr);
}

// Standard errors alone: the square roots of the variance factors, scaled,
// where the fit writes them, whatever is missing.
TEST(Lpoly, StandardErrorsAloneAreTheFactorsRoots)
{
    std::mt19937_64 rng(17);
    for (int rep = 0; rep < 20; rep++) {
        int ny = 5 + rng() % 40, nx = 5 + rng() % 30;
        Model m = randomModel(rng);
        std::vector<double> z(ny * nx);
        for (size_t i = 0; i < z.size(); i++) z[i] = (double)(rng() % 1000) / 7;
        if (rep % 2)
            for (int k = 0; k < 1 + ny * nx / 15; k++) z[rng() % z.size()] = NAN;
        std::vector<double> all = fit(z, ny, nx, m, 0, nx, 0, ny);
        orvel_lp* plan = orvel_lp_new(m.K.data(), m.ky, m.kx, m.degree, ny, nx, m.flags);
        int p = orvel_lp_ncoef(plan);
        size_t n = (size_t)ny * nx;
        std::vector<double> se(p * n, -1.0), scratch(orvel_lp_scratch(plan));
        double* v[ORVEL_LP_NVAR(6)] = {};
        for (int k = 0; k < p; k++) v[k] = se.data() + k * n;
        const double scale[6] = {-2, 3, 0.5, 1, -1, 4};
        ASSERT_EQ(orvel_lp_fit(plan, z.data(), 0, nx, 0, nx, 0, ny, nullptr, ny, scale, ORVEL_LP_SE,
                               v, ny, scratch.data()),
                  0);
        orvel_lp_free(plan);
        for (int k = 0; k < p; k++)
            for (size_t i = 0; i < n; i++) {
                double f = all[(p + k) * n + i], want = std::sqrt(f) * std::fabs(scale[k]);
                if (std::isnan(f))
                    EXPECT_TRUE(std::isnan(se[k * n + i])) << rep << " " << k << " " << i;
                else
                    EXPECT_NEAR(se[k * n + i], want, 4e-16 * want) << rep << " " << k << " " << i;
            }
    }
}

// Every instruction-set level this CPU runs gives the baseline's bits:
// coefficients and variance factors, plain and leave-one-out, with and
// without missing values, separable kernels and not, on grids tall enough
// for whole vector blocks and their tails; a level beyond the CPU is
// refused without a write.
TEST(Lpoly, EveryLevelGivesTheBaselinesBits)
{
    const int top = orvel_cpu_level_of(orvel_cpu_detect());
    if (top == ORVEL_LEVEL_BASELINE)
        GTEST_SKIP() << "only the baseline runs on this CPU";
    std::mt19937_64 rng(26);
    std::normal_distribution<double> N(0, 1);
    for (int rep = 0; rep < 40; rep++) {
        int ny = 1 + rng() % 150, nx = 1 + rng() % 25;
        Model m = randomModel(rng);
        std::vector<double> z(ny * nx);
        for (double& v : z) v = 20 * N(rng);
        if (rep % 2)
            for (int k = 0; k < 1 + ny * nx / 30; k++) z[rng() % z.size()] = NAN;
        for (int mode : {ORVEL_LP_ALL, ORVEL_LP_MERGE}) {
            // MERGE fills in over what is there: start from the same values.
            std::vector<double> init(size_t(6) * ny * nx, 3.0);
            std::vector<double> base = fit(z, ny, nx, m, 0, nx, 0, ny, mode, init, 0);
            for (int l = ORVEL_LEVEL_AVX2; l <= top; l++) {
                std::vector<double> got = fit(z, ny, nx, m, 0, nx, 0, ny, mode, init, l);
                ASSERT_EQ(got.size(), base.size());
                ASSERT_EQ(std::memcmp(got.data(), base.data(), got.size() * sizeof(double)), 0)
                    << "case " << rep << ", level " << orvel_cpu_level_name(l) << ", mode "
                    << mode << ", " << ny << "x" << nx;
            }
        }
    }
    // Beyond this CPU (or no level at all): refused.
    std::vector<double> K(9, 1.0);
    orvel_lp* plan = orvel_lp_new(K.data(), 3, 3, 1, 4, 4, 0);
    std::vector<double> z(16, 1.0), out(48, -1.0), scratch(orvel_lp_scratch(plan));
    double* o[3] = {out.data(), out.data() + 16, out.data() + 32};
    const double scale[3] = {1, 1, 1};
    for (int bad : {-1, top + 1})
        EXPECT_EQ(orvel_lp_fit_at(bad, plan, z.data(), 0, 4, 0, 4, 0, 4, o, 4, scale,
                                  ORVEL_LP_ALL, nullptr, 4, scratch.data()),
                  2)
            << bad;
    EXPECT_EQ(out, std::vector<double>(48, -1.0));
    orvel_lp_free(plan);
}
