// Differential fuzzer: the engine, linked in with address and undefined
// behaviour checks and pinned to one instruction-set variant, against the
// literal one-node-at-a-time oracle, bit for bit (any NaN equals any NaN):
// over the whole grid, and over a range of it with only the columns its
// windows need (and a few more) held, its results one stride apart.  Any
// difference, any change to an input, any output left unwritten or written
// outside the range, and any access outside the arrays stops the run.
//
// Input bytes: ny, nx, the range, a kernel mode, a data mode, then a stream
// of values.  When the stream runs out, the remaining values come from a
// generator seeded by the input, so short inputs still fill large grids
// (and a range left unspecified is the whole grid).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "cpu/cpu.h"
#include "localfit/engine.h"
#include "oracle.h"

namespace {

// Grids stay small enough for thousands of runs a second: up to 40 x 40,
// with 0 and negative dimensions as well.
constexpr int kMaxDim = 40;
constexpr int kMinDim = -3;

struct Stream {
    const uint8_t* p;
    size_t left;
    uint64_t state;

    bool empty() const { return left == 0; }
    uint8_t byte()
    {
        if (left == 0)
            return 0;
        --left;
        return *p++;
    }
    uint64_t bytes(int n)
    {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= (uint64_t)byte() << (8 * i);
        return v;
    }
    double fromBits(uint64_t u)
    {
        double d;
        std::memcpy(&d, &u, 8);
        return d;
    }
    // Ordinary finite values once the input is used up.
    double filler()
    {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (double)(state >> 11) * 0x1p-53 * 20.0 - 10.0;
    }

    // One value: mostly small exact numbers, then every class of double that
    // can upset the arithmetic.
    double value()
    {
        if (empty())
            return filler();
        const uint8_t t = byte();
        if (t < 128)
            return (t - 64) / 4.0;
        if (t < 192) {
            // A 16-bit integer scaled by 2^e, e from -1088 to 928: denormals,
            // tiny, ordinary and huge magnitudes.
            const int16_t m = (int16_t)bytes(2);
            return std::ldexp((double)m, (t - 160) * 32 - 64);
        }
        switch (t) {
        case 192: return NAN;
        case 193: return -NAN;
        case 194: return fromBits(0x7ff0000000000001u);  // signalling NaN
        case 195: return INFINITY;
        case 196: return -INFINITY;
        case 197: return 0.0;
        case 198: return -0.0;
        case 199: return 1.7976931348623157e308;
        case 200: return -1.7976931348623157e308;
        case 201: return 2.2250738585072014e-308;
        case 202: return 4.9406564584124654e-324;
        case 203: return 1e300;
        case 204: return -1e300;
        case 205: return 1e-300;
        case 206: return 1e154;  // its square is near the top of the range
        default: return fromBits(bytes(8));
        }
    }
};

int dimension(uint8_t b) { return kMinDim + b % (kMaxDim - kMinDim + 1); }

void kernel(Stream& s, double* K)
{
    switch (s.byte() % 6) {
    case 0:  // every weight from the input
        for (int k = 0; k < 49; ++k)
            K[k] = s.value();
        break;
    case 1:  // centre only: every system is singular
        for (int k = 0; k < 49; ++k)
            K[k] = 0.0;
        K[24] = s.value();
        break;
    case 2:  // zeros, ones and minus ones
        for (int k = 0; k < 49; ++k)
            K[k] = (double)(s.byte() % 3) - 1.0;
        break;
    case 3: {  // weights inside a box of offsets (lopsided, one line, ...), +0 and -0 outside
        int c0 = s.byte() % 7 - 3, c1 = s.byte() % 7 - 3, r0 = s.byte() % 7 - 3,
            r1 = s.byte() % 7 - 3;
        if (c0 > c1)
            std::swap(c0, c1);
        if (r0 > r1)
            std::swap(r0, r1);
        for (int dx = -3; dx <= 3; ++dx)
            for (int dy = -3; dy <= 3; ++dy)
                K[(dx + 3) * 7 + dy + 3] = dx >= c0 && dx <= c1 && dy >= r0 && dy <= r1
                                               ? s.value()
                                               : s.byte() % 2 ? 0.0 : -0.0;
        break;
    }
    default: {  // a smooth kernel with a few weights replaced
        for (int dx = -3; dx <= 3; ++dx)
            for (int dy = -3; dy <= 3; ++dy)
                K[(dx + 3) * 7 + dy + 3] = std::exp(-0.2 * (dx * dx + dy * dy));
        const int edits = s.byte() % 8;
        for (int e = 0; e < edits; ++e) {
            const int at = s.byte() % 49;
            K[at] = s.value();
        }
    }
    }
}

void grid(Stream& s, int ny, int nx, double* data)
{
    const size_t n = (size_t)nx * ny;
    switch (s.byte() % 3) {
    case 0:  // every observation from the input
        for (size_t i = 0; i < n; ++i)
            data[i] = s.value();
        return;
    case 1: {  // an exact plane
        const double c = s.value(), a = s.value(), b = s.value();
        for (int jx = 0; jx < nx; ++jx)
            for (int jy = 0; jy < ny; ++jy)
                data[(size_t)jx * ny + jy] = c + a * ((double)jy / ny) + b * ((double)jx / nx);
        break;
    }
    default: {  // a constant
        const double c = s.value();
        for (size_t i = 0; i < n; ++i)
            data[i] = c;
    }
    }
    // ... with a few observations replaced.
    const int edits = s.byte() % 8;
    for (int e = 0; e < edits; ++e) {
        const size_t at = (size_t)s.bytes(2) % n;
        data[at] = s.value();
    }
}

[[noreturn]] void fail(const char* what, int ny, int nx, const char* how)
{
    std::fprintf(stderr, "%s on %d x %d: %s\n", what, ny, nx, how);
    std::abort();
}

// Compares n results with the oracle's.
void compare(const char* what, int ny, int nx, const char* array, const double* got,
             const double* want, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (!oracle::sameBits(got[i], want[i])) {
            std::fprintf(stderr, "%s on %d x %d: %s[%zu] = %.17g, oracle %.17g\n", what, ny, nx,
                         array, i, got[i], want[i]);
            std::abort();
        }
}

// Nodes ix0..ix1-1 by iy0..iy1-1, the columns held col0..col0+ncol-1, the
// results one stride apart.
struct Range {
    int ix0, ix1, iy0, iy1, col0, ncol;
    ptrdiff_t stride;
};

// Unspecified bytes (0) give the whole grid, its windows' columns held and
// a stride of one column.
Range range(Stream& s, int ny, int nx)
{
    Range r;
    r.ix0 = s.byte() % (nx + 1);
    r.ix1 = nx - s.byte() % (nx - r.ix0 + 1);
    r.iy0 = s.byte() % (ny + 1);
    r.iy1 = ny - s.byte() % (ny - r.iy0 + 1);
    const uint8_t b = s.byte();
    // Up to three columns more than the windows need on either side.
    r.col0 = std::max(std::max(r.ix0 - 3, 0) - (b & 3), 0);
    r.ncol = std::min(std::min(r.ix1 + 3, nx) + (b >> 2 & 3), nx) - r.col0;
    // Gaps between the columns of results; a single column any stride.
    const int rows = r.iy1 - r.iy0;
    r.stride = r.ix1 - r.ix0 == 1 && (b & 0x80) ? (b >> 4 & 7) - 4 : rows + (b >> 4 & 7);
    return r;
}

// The whole grid's results of one fit.
struct Results {
    std::vector<double> F, gFx, gFy;
};

// The range r of the fit, against the whole grid's results `want`: the
// columns held copied into an array of their own, the results into arrays
// just large enough, prefilled with a sentinel that must survive outside
// the range.
void fitRange(bool cv, int ny, int nx, const std::vector<double>& data, const double* K,
              const Range& r, const Results& want)
{
    const char* what = cv ? "leave-one-out range" : "range";
    const size_t n0 = (size_t)r.col0 * ny, held = (size_t)r.ncol * ny;
    const std::vector<double> block(data.begin() + n0, data.begin() + n0 + held);
    const std::vector<double> block0 = block;
    const ptrdiff_t cols = r.ix1 - r.ix0, rows = r.iy1 - r.iy0;
    const size_t extent = cols == 0 || rows == 0 ? 0 : (cols - 1) * r.stride + rows;
    Results got{std::vector<double>(extent, 777.0), std::vector<double>(extent, 777.0),
                std::vector<double>(extent, 777.0)};
    Results expected = got;
    for (int ix = r.ix0; ix < r.ix1; ++ix)
        for (int iy = r.iy0; iy < r.iy1; ++iy) {
            const size_t at = (ix - r.ix0) * r.stride + (iy - r.iy0), n = (size_t)ix * ny + iy;
            expected.F[at] = want.F[n];
            expected.gFx[at] = want.gFx[n];
            expected.gFy[at] = want.gFy[n];
        }
    const orvel_grid g = {ny, nx, block.data(), r.col0, r.ncol, K};
    const orvel_targets t = {r.ix0,        r.ix1,          r.iy0,          r.iy1,
                             got.F.data(), got.gFx.data(), got.gFy.data(), r.stride};
    if (orvel_localfit(&g, cv, &t, ORVEL_FUZZ_ISA) != ORVEL_OK)
        fail(what, ny, nx, "not fitted");
    if (std::memcmp(block.data(), block0.data(), held * 8) != 0)
        fail(what, ny, nx, "changed an input");
    compare(what, ny, nx, "F", got.F.data(), expected.F.data(), extent);
    compare(what, ny, nx, "gFx", got.gFx.data(), expected.gFx.data(), extent);
    compare(what, ny, nx, "gFy", got.gFy.data(), expected.gFy.data(), extent);
}

} // namespace

// The fuzzer of a variant this CPU cannot run stops at once, passing.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* v = ORVEL_FUZZ_VARIANT;
    const int level = orvel_cpu_level_of(orvel_cpu_detect());
    const bool runs = !(std::strcmp(v, "avx2") == 0 && level < ORVEL_LEVEL_AVX2) &&
                      !(std::strcmp(v, "avx512") == 0 && level < ORVEL_LEVEL_AVX512);
    if (orvel_localfit_isa(ORVEL_FUZZ_ISA) != (runs ? ORVEL_FUZZ_ISA : 0)) {
        std::fprintf(stderr, "the engine disagrees with the CPU about the %s variant\n",
                     ORVEL_FUZZ_VARIANT);
        std::abort();
    }
    if (!runs) {
        std::fprintf(stderr, "note: this CPU cannot run the %s variant; not fuzzed\n",
                     ORVEL_FUZZ_VARIANT);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    uint64_t seed = 1469598103934665603u;
    for (size_t i = 0; i < size; ++i)
        seed = (seed ^ bytes[i]) * 1099511628211u;
    Stream s{bytes, size, seed};
    const int ny = dimension(s.byte()), nx = dimension(s.byte());

    if (nx <= 0 || ny <= 0) {
        // Refused, and nothing read or written: null arrays fault on any
        // access.
        const orvel_grid g = {ny, nx, nullptr, 0, std::max(nx, 0), nullptr};
        const orvel_targets t = {0, std::max(nx, 0), 0, std::max(ny, 0),
                                 nullptr, nullptr, nullptr, ny};
        for (int loo : {0, 1})
            if (orvel_localfit(&g, loo, &t, ORVEL_FUZZ_ISA) != ORVEL_BAD_ARGS)
                fail("a fit", ny, nx, "not refused");
        return 0;
    }

    const Range r = range(s, ny, nx);
    const size_t n = (size_t)nx * ny;
    // Exactly sized heap arrays, so any access past them is reported.
    std::vector<double> K(49), data(n);
    kernel(s, K.data());
    grid(s, ny, nx, data.data());
    const std::vector<double> K0 = K, data0 = data;

    for (bool cv : {false, true}) {
        const char* what = cv ? "leave-one-out fit" : "fit";
        Results got{std::vector<double>(n, 777.0), std::vector<double>(n, 777.0),
                    std::vector<double>(n, 777.0)};
        Results want{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)};
        const orvel_grid g = {ny, nx, data.data(), 0, nx, K.data()};
        const orvel_targets t = {0, nx, 0, ny, got.F.data(), got.gFx.data(), got.gFy.data(), ny};
        if (orvel_localfit(&g, cv, &t, ORVEL_FUZZ_ISA) != ORVEL_OK)
            fail(what, ny, nx, "not fitted");
        oracleFit(cv, data0.data(), &ny, &nx, K0.data(), want.F.data(), want.gFx.data(),
                  want.gFy.data());
        if (std::memcmp(data.data(), data0.data(), n * 8) != 0 ||
            std::memcmp(K.data(), K0.data(), 49 * 8) != 0)
            fail(what, ny, nx, "changed an input");
        compare(what, ny, nx, "F", got.F.data(), want.F.data(), n);
        compare(what, ny, nx, "gFx", got.gFx.data(), want.gFx.data(), n);
        compare(what, ny, nx, "gFy", got.gFy.data(), want.gFy.data(), n);
        fitRange(cv, ny, nx, data, K.data(), r, want);
    }
    return 0;
}
