// Differential fuzzer: both entries, linked in with address and undefined
// behaviour checks, against the literal one-node-at-a-time oracle, bit for
// bit (any NaN equals any NaN).  Any difference, any change to an input, any
// output left unwritten and any access outside the arrays stops the run.
//
// Input bytes: ny, nx, a kernel mode, a data mode, then a stream of values.
// When the stream runs out, the remaining values come from a generator
// seeded by the input, so short inputs still fill large grids.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "oracle.h"

extern "C" {
void localPolynomials(const double*, const int*, const int*, const double*, double*, double*,
                      double*);
void localPolynomialscv(const double*, const int*, const int*, const double*, double*, double*,
                        double*);
}

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

[[noreturn]] void fail(const char* entry, int ny, int nx, const char* what, size_t at, double got,
                       double want)
{
    std::fprintf(stderr, "%s on %d x %d: %s[%zu] = %.17g, oracle %.17g\n", entry, ny, nx, what,
                 at, got, want);
    std::abort();
}

} // namespace

// The fuzzer of a variant this CPU cannot run stops at once, passing.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
#if defined(__x86_64__)
    const char* v = ORVEL_FUZZ_VARIANT;
    if ((std::strcmp(v, "avx2") == 0 && !__builtin_cpu_supports("avx2")) ||
        (std::strcmp(v, "avx512") == 0 && !__builtin_cpu_supports("avx512f"))) {
        std::fprintf(stderr, "note: this CPU cannot run the %s variant; not fuzzed\n", v);
        std::exit(0);
    }
#endif
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
        // Nothing may be read or written: null arrays fault on any access.
        localPolynomials(nullptr, &ny, &nx, nullptr, nullptr, nullptr, nullptr);
        localPolynomialscv(nullptr, &ny, &nx, nullptr, nullptr, nullptr, nullptr);
        return 0;
    }

    const size_t n = (size_t)nx * ny;
    // Exactly sized heap arrays, so any access past them is reported.
    std::vector<double> K(49), data(n);
    kernel(s, K.data());
    grid(s, ny, nx, data.data());
    const std::vector<double> K0 = K, data0 = data;

    for (bool cv : {false, true}) {
        const char* entry = cv ? "localPolynomialscv" : "localPolynomials";
        std::vector<double> F(n, 777.0), gFx(n, 777.0), gFy(n, 777.0);
        std::vector<double> wF(n), wgFx(n), wgFy(n);
        (cv ? localPolynomialscv : localPolynomials)(data.data(), &ny, &nx, K.data(), F.data(),
                                                     gFx.data(), gFy.data());
        oracleFit(cv, data0.data(), &ny, &nx, K0.data(), wF.data(), wgFx.data(),
                                 wgFy.data());
        if (std::memcmp(data.data(), data0.data(), n * 8) != 0 ||
            std::memcmp(K.data(), K0.data(), 49 * 8) != 0) {
            std::fprintf(stderr, "%s on %d x %d changed an input\n", entry, ny, nx);
            std::abort();
        }
        for (size_t i = 0; i < n; ++i) {
            if (!oracle::sameBits(F[i], wF[i]))
                fail(entry, ny, nx, "F", i, F[i], wF[i]);
            if (!oracle::sameBits(gFx[i], wgFx[i]))
                fail(entry, ny, nx, "gFx", i, gFx[i], wgFx[i]);
            if (!oracle::sameBits(gFy[i], wgFy[i]))
                fail(entry, ny, nx, "gFy", i, gFy[i], wgFy[i]);
        }
    }
    return 0;
}
