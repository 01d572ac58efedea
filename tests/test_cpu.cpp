// The CPU module: detection against what the operating system reports, the
// cached answer against the detection and the ORVEL_ISA cap (the suite runs
// again under each value of it, see CMakeLists.txt), the first answer
// raced for by many threads; and the exact engine at every level this CPU
// runs against the oracle, bit for bit.
#include "common.h"
#include "scenarios.h"

#include "cpu/cpu.h"
#include "localfit/engine.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// The level the cached answer must give: the CPU's, capped by ORVEL_ISA
// where that names a level.
int expectedLevel()
{
    const int cpu = orvel_cpu_level_of(orvel_cpu_detect());
    const char* e = std::getenv("ORVEL_ISA");
    const int cap = e && *e ? orvel_cpu_parse_level(e) : -1;
    return cap >= 0 && cap < cpu ? cap : cpu;
}

std::vector<int> runnableLevels()
{
    std::vector<int> v;
    for (int l = ORVEL_LEVEL_BASELINE; l <= orvel_cpu_level_of(orvel_cpu_detect()); ++l)
        v.push_back(l);
    return v;
}

TEST(Cpu, CachedAnswerIsTheDetectionCappedByTheEnvironment)
{
    const unsigned f = orvel_cpu_detect();
    EXPECT_EQ(orvel_cpu_detect(), f);
    EXPECT_EQ(orvel_cpu_features(), f);
    EXPECT_EQ((int)orvel_cpu_level(), expectedLevel())
        << "ORVEL_ISA=" << (std::getenv("ORVEL_ISA") ? std::getenv("ORVEL_ISA") : "(unset)");
    // A run that says which level it must see (the ctest entries under
    // ORVEL_ISA=baseline).
    const char* want = std::getenv("ORVEL_TEST_EXPECT_LEVEL");
    if (want && *want)
        EXPECT_STREQ(orvel_cpu_level_name(orvel_cpu_level()), want);

    // An unknown value is reported as it was, and caps nothing.
    const char* e = std::getenv("ORVEL_ISA");
    if (e && *e && orvel_cpu_parse_level(e) < 0) {
        ASSERT_NE(orvel_cpu_isa_env(), nullptr);
        EXPECT_STREQ(orvel_cpu_isa_env(), e);
        EXPECT_EQ(orvel_cpu_level(), orvel_cpu_level_of(f));
    } else {
        EXPECT_EQ(orvel_cpu_isa_env(), nullptr);
    }

    // Levels by features: each needs the ones below it.
    const int level = orvel_cpu_level_of(f);
    EXPECT_EQ(level >= ORVEL_LEVEL_AVX2, (f & ORVEL_CPU_AVX2) != 0);
    EXPECT_EQ(level >= ORVEL_LEVEL_AVX512, (f & ORVEL_CPU_AVX2) && (f & ORVEL_CPU_AVX512F));
    if (f & (ORVEL_CPU_AVX2 | ORVEL_CPU_FMA | ORVEL_CPU_AVX512F))
        EXPECT_TRUE(f & ORVEL_CPU_AVX);
    const unsigned wide = ORVEL_CPU_AVX512DQ | ORVEL_CPU_AVX512BW | ORVEL_CPU_AVX512VL;
    if (f & wide)
        EXPECT_TRUE(f & ORVEL_CPU_AVX512F);
    EXPECT_EQ(orvel_cpu_level_of(ORVEL_CPU_AVX512F), ORVEL_LEVEL_BASELINE);
    EXPECT_EQ(orvel_cpu_level_of(ORVEL_CPU_AVX | ORVEL_CPU_AVX2), ORVEL_LEVEL_AVX2);

    for (int l = ORVEL_LEVEL_BASELINE; l <= ORVEL_LEVEL_AVX512; ++l)
        EXPECT_EQ(orvel_cpu_parse_level(orvel_cpu_level_name(l)), l);
    for (const char* odd : {"", "AVX2", "avx", "avx512f", "baseline ", "sse2"})
        EXPECT_EQ(orvel_cpu_parse_level(odd), -1) << odd;
    EXPECT_EQ(orvel_cpu_parse_level(nullptr), -1);
}

#if defined(__linux__) && defined(__x86_64__)
// The features as Linux reports them in /proc/cpuinfo, where a flag stands
// only if the kernel also saves the registers it needs.
TEST(Cpu, FeaturesAreTheOnesLinuxReports)
{
    std::ifstream in("/proc/cpuinfo");
    std::string line, flags;
    while (std::getline(in, line))
        if (line.rfind("flags", 0) == 0) {
            flags = " " + line.substr(line.find(':') + 1) + " ";
            break;
        }
    if (flags.empty())
        GTEST_SKIP() << "no flags in /proc/cpuinfo";
    const unsigned f = orvel_cpu_detect();
    const std::pair<unsigned, const char*> named[] = {
        {ORVEL_CPU_AVX, "avx"},           {ORVEL_CPU_AVX2, "avx2"},
        {ORVEL_CPU_FMA, "fma"},           {ORVEL_CPU_AVX512F, "avx512f"},
        {ORVEL_CPU_AVX512DQ, "avx512dq"}, {ORVEL_CPU_AVX512BW, "avx512bw"},
        {ORVEL_CPU_AVX512VL, "avx512vl"}};
    for (const auto& [bit, name] : named)
        EXPECT_EQ((f & bit) != 0, flags.find(std::string(" ") + name + " ") != std::string::npos)
            << name;
}
#endif

// Threads that ask at the same moment, in a fresh process whose answer has
// not been formed yet: every one gets the same, the detection's.
TEST(Cpu, FirstAnswerIsTheSameOnEveryThread)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            constexpr int n = 8;
            std::atomic<int> ready{0};
            unsigned features[n];
            int levels[n];
            const char* env[n];
            std::vector<std::thread> threads;
            for (int i = 0; i < n; ++i)
                threads.emplace_back([&, i] {
                    ready.fetch_add(1);
                    while (ready.load() < n) {
                    }
                    levels[i] = orvel_cpu_level();
                    features[i] = orvel_cpu_features();
                    env[i] = orvel_cpu_isa_env();
                });
            for (std::thread& t : threads)
                t.join();
            bool same = true;
            for (int i = 0; i < n; ++i)
                same = same && features[i] == orvel_cpu_detect() &&
                       levels[i] == expectedLevel() && env[i] == env[0];
            std::exit(same ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Fits the whole grid c with the exact engine at `level`.
Outputs fitAt(const Case& c, bool loo, int level)
{
    Outputs got((size_t)c.ny * c.nx);
    const orvel_grid g = {c.ny, c.nx, c.data.data(), 0, c.nx, c.K.data()};
    const orvel_targets t = {0, c.nx, 0, c.ny, got.F.data(), got.gFx.data(), got.gFy.data(),
                             c.ny};
    EXPECT_EQ(orvel_localfit_at(&g, loo, &t, level), ORVEL_OK);
    return got;
}

TEST(Levels, ExactEngineAtEveryLevelIsTheOracle)
{
    // Each level runs the variant of its name, one the CPU runs.
    EXPECT_EQ(orvel_localfit_isa_at(ORVEL_LEVEL_BASELINE), ORVEL_ISA_GENERIC);
#if defined(__x86_64__)
    EXPECT_EQ(orvel_localfit_isa_at(ORVEL_LEVEL_AVX2), ORVEL_ISA_AVX2);
    EXPECT_EQ(orvel_localfit_isa_at(ORVEL_LEVEL_AVX512), ORVEL_ISA_AVX512);
#endif
    for (int l : runnableLevels())
        EXPECT_EQ(orvel_localfit_isa(orvel_localfit_isa_at(l)), orvel_localfit_isa_at(l)) << l;
    // The top level is the one the raw libraries' entries choose.
    EXPECT_EQ(orvel_localfit_isa_at(runnableLevels().back()), orvel_localfit_isa(ORVEL_ISA_AUTO));

    std::mt19937_64 rng(26);
    int grids = 0;
    for (const Scenario& sc : kScenarios)
        for (int trial = 0; trial < 6; ++trial) {
            const Case c = randomCase(rng, sc, trial % 3 == 0);
            for (bool loo : {false, true}) {
                const Outputs want = runOracle(loo, c.data, c.ny, c.nx, c.K.data());
                for (int l : runnableLevels())
                    EXPECT_TRUE(sameOutputs(fitAt(c, loo, l), want))
                        << sc.name << ", level " << orvel_cpu_level_name(l) << ", loo " << loo
                        << ", " << c.ny << "x" << c.nx;
            }
            ++grids;
        }
    EXPECT_GT(grids, 0);

    // Arguments are still checked; nothing is fitted on inconsistent ones.
    const orvel_grid g = {5, 5, nullptr, 0, 5, nullptr};
    Outputs got(25);
    const orvel_targets t = {0, 5, 0, 5, got.F.data(), got.gFx.data(), got.gFy.data(), 5};
    for (int l : runnableLevels())
        EXPECT_EQ(orvel_localfit_at(&g, 0, &t, l), ORVEL_BAD_ARGS);
    EXPECT_EQ(got.F, std::vector<double>(25, 777.0));
}

} // namespace
