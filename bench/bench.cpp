// Throughput of both entries against the literal transcription, on one core,
// in CPU time (on a machine shared with other work, wall time also counts
// the time the benchmark is not running).
//
//   build/bench/orvel_bench [--ny=1500 --nx=1200] [google benchmark flags]
//   (make bench runs it with five repetitions and reports medians)
//
// Reports nodes per second for the oracle (compiled at -O2), the libraries as
// loaded by R (runtime choice of instruction set), every pinned variant, and
// the engine linked in fitting the grid a block of columns at a time, each
// with three kernels: the dense Gaussian, Horn's 3 x 3 slope weights and a
// compact Epanechnikov kernel, then each as a multiple of the oracle's
// throughput with the same kernel in the same run.
//
// ORVEL_BENCH_REFERENCE=<build directory> adds the libraries of another
// build (its runtime choice and pinned variants, as "ref-..."), to compare
// two versions in one process.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../tests/oracle.h"
#include "cpu/cpu.h"
#include "localfit/engine.h"
#include "lpoly/lpoly.h"

namespace {

using FitFn = void (*)(const double*, const int*, const int*, const double*, double*, double*,
                       double*);

int ny = 1500, nx = 1200;

struct Grid {
    std::vector<double> data, F, gFx, gFy;
};

// The kernels by name, each a 7 x 7 table indexed (dx + 3) * 7 + dy + 3.
std::vector<double> kernel(const std::string& name)
{
    std::vector<double> K(49, 0.0);
    for (int dx = -3; dx <= 3; ++dx)
        for (int dy = -3; dy <= 3; ++dy) {
            double& w = K[(dx + 3) * 7 + dy + 3];
            const double r2 = dx * dx + dy * dy;
            if (name == "gauss")  // bandwidth 1.5, dense
                w = std::exp(-r2 / (2 * 1.5 * 1.5));
            else if (name == "horn")  // [1 2 1] x [1 2 1], zero outside the 3 x 3 centre
                w = std::abs(dx) <= 1 && std::abs(dy) <= 1 ? (2 - std::abs(dx)) * (2 - std::abs(dy))
                                                           : 0.0;
            else  // Epanechnikov, bandwidth 2.5: 21 non-zero weights
                w = r2 < 2.5 * 2.5 ? 1 - r2 / (2.5 * 2.5) : 0.0;
        }
    return K;
}
const char* const kKernels[] = {"gauss", "horn", "epan2.5"};

Grid& grid()
{
    static Grid g = [] {
        Grid g;
        const size_t n = (size_t)nx * ny;
        std::mt19937_64 rng(42);
        std::normal_distribution<double> noise(0.0, 0.1);
        g.data.resize(n);
        for (int jx = 0; jx < nx; ++jx)
            for (int jy = 0; jy < ny; ++jy)
                g.data[(size_t)jx * ny + jy] =
                    std::sin(0.01 * jy) * std::cos(0.013 * jx) + noise(rng);
        g.F.resize(n);
        g.gFx.resize(n);
        g.gFy.resize(n);
        return g;
    }();
    return g;
}

// The grid through orvel_localfit, `block` columns a call, each call holding
// only the columns its windows reach.
void fitBlocks(bool cv, int block, const std::vector<double>& K, Grid& g)
{
    for (int ix0 = 0; ix0 < nx; ix0 += block) {
        const int ix1 = std::min(nx, ix0 + block);
        const int col0 = std::max(ix0 - 3, 0), ncol = std::min(ix1 + 3, nx) - col0;
        const orvel_grid grid = {ny, nx, g.data.data() + (size_t)col0 * ny, col0, ncol, K.data()};
        const size_t at = (size_t)ix0 * ny;
        const orvel_targets t = {ix0, ix1, 0, ny, g.F.data() + at, g.gFx.data() + at,
                                 g.gFy.data() + at, ny};
        if (orvel_localfit(&grid, cv, &t, ORVEL_ISA_AUTO) != ORVEL_OK)
            std::abort();
    }
}

// One of the libraries' entries (fn), the engine in blocks (block > 0) or
// the oracle.
void run(benchmark::State& state, bool cv, FitFn fn, int block, const std::vector<double>& K)
{
    Grid& g = grid();
    for (auto _ : state) {
        if (fn)
            fn(g.data.data(), &ny, &nx, K.data(), g.F.data(), g.gFx.data(), g.gFy.data());
        else if (block > 0)
            fitBlocks(cv, block, K, g);
        else
            oracleFit(cv, g.data.data(), &ny, &nx, K.data(), g.F.data(), g.gFx.data(),
                      g.gFy.data());
        benchmark::DoNotOptimize(g.F.data());
        benchmark::ClobberMemory();
    }
    state.counters["Mnodes/s"] = benchmark::Counter(
        double(nx) * ny * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

// Benchmarks named entry/kernel/build; an empty dir is the oracle, or with
// block > 0 the engine linked in, that many columns a call.
void registerBuild(const std::string& label, const std::string& dir, int block = 0)
{
    for (auto [lib, entry, cv] : {std::tuple{"orvel-fit.so", "localPolynomials", false},
                                  std::tuple{"orvel-holdout.so", "localPolynomialscv", true}}) {
        FitFn fn = nullptr;
        if (!dir.empty()) {
            void* h = dlopen((dir + "/" + lib).c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!h) {
                std::fprintf(stderr, "skipping %s: %s\n", label.c_str(), dlerror());
                continue;
            }
            fn = reinterpret_cast<FitFn>(dlsym(h, entry));
        }
        for (const char* k : kKernels)
            benchmark::RegisterBenchmark((std::string(entry) + "/" + k + "/" + label).c_str(),
                                         [=, cv = cv, K = kernel(k)](benchmark::State& s) {
                                             run(s, cv, fn, block, K);
                                         })
                ->Unit(benchmark::kMillisecond);
    }
}

// The general engine (the R package's fits beyond the 7 x 7 plane) on the
// same grid, a chunk of 128 columns a call as the package calls it, on one
// core: a plane and a quadratic with the Gaussian of bandwidth 1.5 on
// 7 x 7, and a quadratic with a Gaussian of bandwidth 5 on 31 x 31; at
// each instruction-set level this CPU runs (general/gauss/<model>/<level>).
void registerGeneral()
{
    struct Model {
        const char* name;
        int k, degree;
        double bw;
    };
    for (Model m : {Model{"plane-7x7", 7, 1, 1.5}, Model{"quadratic-7x7", 7, 2, 1.5},
                    Model{"quadratic-31x31-bw5", 31, 2, 5.0}})
    for (int level = ORVEL_LEVEL_BASELINE; level <= orvel_cpu_level(); ++level) {
        benchmark::RegisterBenchmark((std::string("general/gauss/") + m.name + "/" +
                                      orvel_cpu_level_name(level)).c_str(),
                                     [m, level](benchmark::State& state) {
            Grid& g = grid();
            std::vector<double> K(m.k * m.k);
            const int h = m.k / 2;
            for (int dx = -h; dx <= h; ++dx)
                for (int dy = -h; dy <= h; ++dy)
                    K[(dx + h) * m.k + dy + h] = std::exp(-(dx * dx + dy * dy) / (2 * m.bw * m.bw));
            orvel_lp* plan = orvel_lp_new(K.data(), m.k, m.k, m.degree, ny, nx, 0);
            const int p = orvel_lp_ncoef(plan);
            std::vector<double> out(size_t(p) * nx * ny), scratch(orvel_lp_scratch(plan));
            const double scale[6] = {1, 1, 1, 1, 1, 1};
            for (auto _ : state) {
                for (int x0 = 0; x0 < nx; x0 += 128) {
                    const int x1 = std::min(nx, x0 + 128);
                    double* o[6];
                    for (int k = 0; k < p; ++k)
                        o[k] = out.data() + size_t(k) * nx * ny + size_t(x0) * ny;
                    if (orvel_lp_fit_at(level, plan, g.data.data(), 0, nx, x0, x1, 0, ny, o,
                                        ny, scale, ORVEL_LP_ALL, nullptr, 0, scratch.data()))
                        std::abort();
                }
                benchmark::DoNotOptimize(out.data());
                benchmark::ClobberMemory();
            }
            orvel_lp_free(plan);
            state.counters["Mnodes/s"] = benchmark::Counter(
                double(nx) * ny * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
        })->Unit(benchmark::kMillisecond);
    }
}

// The model name, with family and model numbers where the name is as vague
// as "AMD EPYC" (family 25 is Zen 3 and 4, family 26 Zen 5).
std::string cpuModel()
{
    std::FILE* f = std::fopen("/proc/cpuinfo", "r");
    char line[256];
    std::string model = "unknown", family, number;
    auto value = [&] {
        std::string v = std::strchr(line, ':') ? std::strchr(line, ':') + 2 : line;
        return v.erase(v.find_last_not_of("\n") + 1);
    };
    while (f && std::fgets(line, sizeof line, f) && line[0] != '\n') {
        if (std::strncmp(line, "model name", 10) == 0)
            model = value();
        else if (std::strncmp(line, "cpu family", 10) == 0)
            family = value();
        else if (std::strncmp(line, "model\t", 6) == 0)
            number = value();
    }
    if (f)
        std::fclose(f);
    return family.empty() ? model : model + " (family " + family + ", model " + number + ")";
}

// The console report, then each entry's throughput as a multiple of the
// oracle's in the same run (from the medians when repeated, else from the
// single runs), and of the reference build's where there is one.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            const bool repeated = r.run_type == Run::RT_Aggregate;
            if (repeated && r.aggregate_name != "median")
                continue;
            const auto it = r.counters.find("Mnodes/s");
            if (it != r.counters.end())
                rates_[r.run_name.function_name] = {it->second.value, repeated};
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-42s %12s %10s %8s\n", "entry/kernel/build", "Mnodes/s", "x oracle",
                    "x ref");
        for (const auto& [name, rate] : rates_) {
            const size_t slash = name.rfind('/');
            const std::string entryKernel = name.substr(0, slash);
            const auto oracle = rates_.find(entryKernel + "/oracle-O2");
            if (oracle == rates_.end())
                continue;
            const auto ref = rates_.find(entryKernel + "/ref-" + name.substr(slash + 1));
            char versus[16] = "";
            if (ref != rates_.end())
                std::snprintf(versus, sizeof versus, "%.3f", rate.first / ref->second.first);
            std::printf("%-42s %12.2f %10.1f %8s%s\n", name.c_str(), rate.first,
                        rate.first / oracle->second.first, versus,
                        rate.second ? "" : "  (single run)");
        }
        // The general engine against the exact plane with the same kernel.
        const auto exact = rates_.find("localPolynomials/gauss/dispatch");
        if (exact == rates_.end())
            return;
        std::printf("\n%-42s %12s %10s\n", "general engine, Gaussian", "Mnodes/s", "x exact");
        for (const auto& [name, rate] : rates_)
            if (name.rfind("general/", 0) == 0)
                std::printf("%-42s %12.2f %10.2f\n", name.c_str(), rate.first,
                            rate.first / exact->second.first);
    }

private:
    std::map<std::string, std::pair<double, bool>> rates_;
};

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--ny=", 5) == 0)
            ny = std::atoi(argv[i] + 5);
        else if (std::strncmp(argv[i], "--nx=", 5) == 0)
            nx = std::atoi(argv[i] + 5);
        else
            rest.push_back(argv[i]);
    }
    int rc = (int)rest.size();
    benchmark::AddCustomContext("grid", std::to_string(ny) + " x " + std::to_string(nx));
    benchmark::AddCustomContext("library build type", ORVEL_BUILD_TYPE);
    benchmark::AddCustomContext("cpu", cpuModel());
    benchmark::AddCustomContext("cpu level",
                                orvel_cpu_level_name(orvel_cpu_level_of(orvel_cpu_detect())));
    benchmark::AddCustomContext("level in use (ORVEL_ISA)", orvel_cpu_level_name(orvel_cpu_level()));
    registerBuild("oracle-O2", "");
    const char* reference = std::getenv("ORVEL_BENCH_REFERENCE");
    for (const std::string prefix : {"", "ref-"}) {
        if (!prefix.empty() && !(reference && *reference))
            continue;
        const std::string dir = prefix.empty() ? ORVEL_LIBDIR : reference;
        registerBuild(prefix + "dispatch", dir);
        const std::string variants = ORVEL_VARIANTS;
        for (size_t at = 0, end; at < variants.size(); at = end + 1) {
            end = variants.find(':', at);
            if (end == std::string::npos)
                end = variants.size();
            const std::string v = variants.substr(at, end - at);
            if (!v.empty())
                registerBuild(prefix + v, dir + "/tests/isa/" + v);
        }
    }
    registerBuild("engine-32-columns", "", 32);
    registerGeneral();
    if (reference && *reference)
        benchmark::AddCustomContext("reference (ref-)", reference);
    benchmark::Initialize(&rc, rest.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
