// Both entries, built for another architecture and run under emulation,
// against the literal oracle bit for bit (tools/cross-check.sh).
#include "oracle.h"
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <random>
#include <vector>
extern "C" void localPolynomials(const double*, const int*, const int*, const double*, double*, double*, double*);
extern "C" void localPolynomialscv(const double*, const int*, const int*, const double*, double*, double*, double*);
static bool same(double a, double b) { if (std::isnan(a) && std::isnan(b)) return true; uint64_t x, y; memcpy(&x, &a, 8); memcpy(&y, &b, 8); return x == y; }
int main() {
  std::mt19937_64 rng(5);
  const double sp[] = {NAN, INFINITY, -INFINITY, 0.0, -0.0, 1e300, -1e300, 1e-310};
  long checked = 0, bad = 0;
  for (int t = 0; t < 400; ++t) {
    int ny = 1 + rng() % 70, nx = 1 + rng() % 30;
    std::uniform_real_distribution<double> u(-5, 5);
    std::vector<double> d(ny * nx), K(49);
    for (auto& v : d) v = u(rng);
    for (auto& v : K) v = u(rng) * 0.2 + 0.5;
    if (t % 3 == 1) for (int k = 0; k < 3; ++k) d[rng() % d.size()] = sp[rng() % 8];
    if (t % 5 == 2) K[rng() % 49] = sp[rng() % 8];
    for (int cv = 0; cv < 2; ++cv) {
      std::vector<double> a(3 * d.size()), b(3 * d.size());
      size_t n = d.size();
      (cv ? localPolynomialscv : localPolynomials)(d.data(), &ny, &nx, K.data(), a.data(), a.data() + n, a.data() + 2 * n);
      oracle::localPolynomials(cv, d.data(), &ny, &nx, K.data(), b.data(), b.data() + n, b.data() + 2 * n);
      for (size_t i = 0; i < a.size(); ++i) { ++checked; if (!same(a[i], b[i])) ++bad; }
    }
  }
  printf("%ld outputs compared, %ld differ\n", checked, bad);
  return bad != 0;
}
