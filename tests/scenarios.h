// The kinds of grids the bit-for-bit tests run on: what goes into the data
// and the kernel of one randomized case.
#ifndef ORVEL_TEST_SCENARIOS_H
#define ORVEL_TEST_SCENARIOS_H

#include <cfloat>
#include <cmath>
#include <iterator>
#include <random>
#include <vector>

#include "common.h"

inline const double kSpecials[] = {NAN,    -NAN,   INFINITY, -INFINITY, 0.0,   -0.0,
                                   1e300,  -1e300, 1e-310,   -4.9e-324, 1e154, DBL_MAX};

inline double special(std::mt19937_64& rng) { return kSpecials[rng() % std::size(kSpecials)]; }

// One randomized case: what goes into the data and the kernel.
struct Scenario {
    const char* name;
    void (*data)(std::mt19937_64&, std::vector<double>&, int ny);
    void (*kernel)(std::mt19937_64&, std::vector<double>&);
};

inline void finiteData(std::mt19937_64&, std::vector<double>&, int) {}
inline void sprinkled(std::mt19937_64& rng, std::vector<double>& d, int)
{
    for (int k = 0; k < 1 + (int)(d.size() / 97); ++k)
        d[rng() % d.size()] = special(rng);
}
// Non-finite values confined to one column: neighbouring columns switch
// between the paths for finite and non-finite windows.
inline void oneBadColumn(std::mt19937_64& rng, std::vector<double>& d, int ny)
{
    const size_t col = rng() % (d.size() / ny);
    d[col * ny + rng() % ny] = rng() % 2 ? NAN : -INFINITY;
}
inline void signedZeros(std::mt19937_64& rng, std::vector<double>& d, int)
{
    for (double& v : d)
        v = rng() % 3 == 0 ? 0.0 : rng() % 2 ? -0.0 : v;
}
inline void huge(std::mt19937_64& rng, std::vector<double>& d, int)
{
    for (double& v : d)
        v *= rng() % 4 == 0 ? 1e306 : 1.0;
}

inline void keepKernel(std::mt19937_64&, std::vector<double>&) {}
inline void signedKernel(std::mt19937_64& rng, std::vector<double>& K)
{
    for (double& w : K)
        w = rng() % 5 == 0 ? 0.0 : w - 0.4;
}
inline void specialKernel(std::mt19937_64& rng, std::vector<double>& K)
{
    K[rng() % 49] = special(rng);
}
inline void centreOnly(std::mt19937_64&, std::vector<double>& K)
{
    for (double& w : K)
        w = 0.0;
    K[24] = 1.0;
}
inline void hugeCentre(std::mt19937_64&, std::vector<double>& K) { K[24] = 1e308; }
inline void negativeZeroKernel(std::mt19937_64& rng, std::vector<double>& K)
{
    for (double& w : K)
        w = rng() % 3 == 0 ? -0.0 : w;
}

// Weights +0 or -0 outside a random box of offsets (rows r0..r1 and columns
// c0..c1 of the table), some with a row and a column of zeros inside too.
inline void boxKernel(std::mt19937_64& rng, std::vector<double>& K)
{
    const int r0 = (int)(rng() % 7), r1 = r0 + (int)(rng() % (7 - r0));
    const int c0 = (int)(rng() % 7), c1 = c0 + (int)(rng() % (7 - c0));
    const bool gaps = rng() % 3 == 0;
    const int gapRow = r0 + (int)(rng() % (r1 - r0 + 1));
    const int gapColumn = c0 + (int)(rng() % (c1 - c0 + 1));
    for (int k = 0; k < 49; ++k) {
        const int c = k / 7, r = k % 7;
        if (c < c0 || c > c1 || r < r0 || r > r1 || (gaps && (r == gapRow || c == gapColumn)))
            K[k] = rng() % 2 ? 0.0 : -0.0;
    }
}

inline const Scenario kScenarios[] = {
    {"finite", finiteData, keepKernel},
    {"finite, signed kernel with zeros", finiteData, signedKernel},
    {"sprinkled specials", sprinkled, keepKernel},
    {"one bad column", oneBadColumn, signedKernel},
    {"signed zeros", signedZeros, negativeZeroKernel},
    {"overflowing products", huge, keepKernel},
    {"special kernel entry", finiteData, specialKernel},
    {"special data and kernel", sprinkled, specialKernel},
    {"centre-only kernel", sprinkled, centreOnly},
    {"huge centre weight", finiteData, hugeCentre},
};

// One randomized grid of a scenario: small ones small in both directions,
// so that every window is clipped somewhere, the others tall enough for
// whole blocks of vectors.
struct Case {
    int ny, nx;
    std::vector<double> data, K;
};

inline Case randomCase(std::mt19937_64& rng, const Scenario& sc, bool small)
{
    Case c;
    c.ny = small ? 1 + (int)(rng() % 12) : 7 + (int)(rng() % 60);
    c.nx = small ? 1 + (int)(rng() % 12) : 1 + (int)(rng() % 24);
    c.data = uniformRandom(rng, (size_t)c.nx * c.ny, -50, 50);
    c.K = uniformRandom(rng, 49, 0.0, 1.0);
    sc.data(rng, c.data, c.ny);
    sc.kernel(rng, c.K);
    return c;
}

#endif
