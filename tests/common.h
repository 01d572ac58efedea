// Shared helpers for the native tests: loading the built libraries the way R
// does (by path, symbols looked up by name), grids, kernels and comparisons.
#ifndef ORVEL_TEST_COMMON_H
#define ORVEL_TEST_COMMON_H

#if defined(_WIN32)
// The libraries are DLLs (named .so) loaded by full path, as R's dyn.load
// loads a package's DLL: LoadLibraryEx with the DLL's own directory searched
// for what it imports.  dlopen's flags mean nothing there.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#undef small
#define RTLD_NOW 0
#define RTLD_LOCAL 0
inline void* dlopen(const char* path, int)
{
    std::string p = path;
    for (char& c : p)
        if (c == '/')
            c = '\\';
    return reinterpret_cast<void*>(LoadLibraryExA(p.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}
inline void* dlsym(void* handle, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
inline std::string dlerror() { return "error " + std::to_string(GetLastError()); }
#else
#include <dlfcn.h>
#endif
#include <gtest/gtest.h>

#include "cpu/cpu.h"
#include "oracle.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using SolveFn = void (*)(const double*, const double*, double*);
using FitFn = void (*)(const double*, const int*, const int*, const double*, double*, double*,
                       double*);

// The directory of the libraries under test: the build's own, unless
// ORVEL_TEST_LIBDIR names another build of them (the R package's, say).
inline std::string mainLibDir()
{
    const char* dir = std::getenv("ORVEL_TEST_LIBDIR");
    return dir && *dir ? dir : ORVEL_LIBDIR;
}

inline void* openLibrary(const std::string& name, int flags = RTLD_NOW | RTLD_LOCAL,
                         const std::string& dir = mainLibDir())
{
    const std::string path = dir + "/" + name;
    void* handle = dlopen(path.c_str(), flags);
    if (!handle)
        ADD_FAILURE() << "dlopen " << path << ": " << dlerror();
    return handle;
}

template <typename Fn>
Fn symbol(void* handle, const char* name)
{
    return handle ? reinterpret_cast<Fn>(dlsym(handle, name)) : nullptr;
}

// Whether this CPU can run the variant a pinned build directory is named for
// (the directory's last component, "...avx2" needing AVX2).
inline bool cpuRuns(const std::string& dir)
{
    const std::string name = dir.substr(dir.rfind('/') + 1);
    auto endsWith = [&](const char* s) {
        const size_t n = std::strlen(s);
        return name.size() >= n && name.compare(name.size() - n, n, s) == 0;
    };
    const int level = orvel_cpu_level_of(orvel_cpu_detect());
    if (endsWith("avx2"))
        return level >= ORVEL_LEVEL_AVX2;
    if (endsWith("avx512"))
        return level >= ORVEL_LEVEL_AVX512;
    return true;
}

// Every directory holding a build of both libraries: the real one first, then
// (from a colon-separated list the test build passes)
// one per instruction-set variant pinned by the test build.
inline std::vector<std::string> libraryDirs()
{
    std::vector<std::string> dirs{mainLibDir()};
    const std::string list = ORVEL_VARIANT_DIRS;
    for (size_t at = 0, end; at < list.size(); at = end + 1) {
        end = list.find(':', at);
        if (end == std::string::npos)
            end = list.size();
        if (end > at && cpuRuns(list.substr(at, end - at)))
            dirs.push_back(list.substr(at, end - at));
        else if (end > at)
            std::fprintf(stderr, "note: this CPU cannot run %s; not tested\n",
                         list.substr(at, end - at).c_str());
    }
    return dirs;
}

struct Libraries {
    std::string dir = mainLibDir();
    void* fit = openLibrary("orvel-fit.so", RTLD_NOW | RTLD_LOCAL, dir);
    void* holdout = openLibrary("orvel-holdout.so", RTLD_NOW | RTLD_LOCAL, dir);
    FitFn localPolynomials = symbol<FitFn>(fit, "localPolynomials");
    FitFn localPolynomialscv = symbol<FitFn>(holdout, "localPolynomialscv");
    SolveFn solveFit = symbol<SolveFn>(fit, "solve");
    SolveFn solveHoldout = symbol<SolveFn>(holdout, "solve");

    FitFn entry(bool cv) const { return cv ? localPolynomialscv : localPolynomials; }
};

inline const Libraries& libs()
{
    static const Libraries l;
    return l;
}

// The libraries of every directory of libraryDirs(), loaded once.
inline const std::vector<Libraries>& allBuilds()
{
    static const std::vector<Libraries> all = [] {
        std::vector<Libraries> v;
        for (const std::string& d : libraryDirs())
            v.push_back(Libraries{d});
        return v;
    }();
    return all;
}

// Three output arrays of one grid, prefilled with a sentinel so that unwritten
// elements show.
struct Outputs {
    std::vector<double> F, gFx, gFy;
    explicit Outputs(size_t n, double fill = 777.0) : F(n, fill), gFx(n, fill), gFy(n, fill) {}
};

inline Outputs runFit(FitFn fn, const std::vector<double>& data, int ny, int nx,
                      const double* K)
{
    Outputs out(data.size());
    fn(data.data(), &ny, &nx, K, out.F.data(), out.gFx.data(), out.gFy.data());
    return out;
}

inline Outputs runOracle(bool cv, const std::vector<double>& data, int ny, int nx,
                         const double* K)
{
    Outputs out(data.size());
    oracle::localPolynomials(cv, data.data(), &ny, &nx, K, out.F.data(), out.gFx.data(),
                             out.gFy.data());
    return out;
}

using oracle::sameBits;

inline ::testing::AssertionResult sameArrays(const std::vector<double>& got,
                                             const std::vector<double>& want)
{
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "sizes " << got.size() << " vs " << want.size();
    for (size_t i = 0; i < got.size(); ++i)
        if (!sameBits(got[i], want[i]))
            return ::testing::AssertionFailure()
                   << "element " << i << ": " << got[i] << " vs " << want[i];
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult sameOutputs(const Outputs& got, const Outputs& want)
{
    for (auto [g, w, name] : {std::tuple{&got.F, &want.F, "F"},
                              std::tuple{&got.gFx, &want.gFx, "gFx"},
                              std::tuple{&got.gFy, &want.gFy, "gFy"}}) {
        auto r = sameArrays(*g, *w);
        if (!r)
            return r << " in " << name;
    }
    return ::testing::AssertionSuccess();
}

// Kernel array entry for the neighbour dx columns and dy rows away.
inline int kidx(int dx, int dy) { return (dx + 3) * 7 + (dy + 3); }

inline std::vector<double> gaussianKernel(double bw = 1.5)
{
    std::vector<double> K(49);
    for (int dx = -3; dx <= 3; ++dx)
        for (int dy = -3; dy <= 3; ++dy)
            K[kidx(dx, dy)] = std::exp(-0.5 * (dx * dx + dy * dy) / (bw * bw));
    return K;
}

inline std::vector<double> uniformRandom(std::mt19937_64& rng, size_t n, double lo, double hi)
{
    std::uniform_real_distribution<double> u(lo, hi);
    std::vector<double> v(n);
    for (auto& e : v)
        e = u(rng);
    return v;
}

#endif
