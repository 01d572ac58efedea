// Concurrent calls: many threads run both entries of every build at once on
// one shared input, each into outputs of its own, and must get exactly the
// bits of a call made alone.
#include "common.h"

#include <atomic>
#include <thread>

namespace {

TEST(Threads, ConcurrentCallsGiveTheBitsOfSingleCalls)
{
    // A different grid shape per thread over the same input array: the
    // threads read the same memory through different strides.
    const std::pair<int, int> shapes[] = {{1, 1},  {3, 5},  {17, 9},  {40, 33},
                                          {64, 64}, {101, 7}, {7, 101}, {97, 89}};
    constexpr int kThreads = sizeof shapes / sizeof shapes[0];
    constexpr int kRounds = 12;
    size_t most = 0;
    for (auto [ny, nx] : shapes)
        most = std::max(most, (size_t)nx * ny);

    std::mt19937_64 rng(99);
    std::vector<double> data = uniformRandom(rng, most, -3, 3);
    data[most / 2] = NAN;
    data[most / 3] = -INFINITY;
    const std::vector<double> K = uniformRandom(rng, 49, 0.0, 1.0);

    // What each build gives for each shape when called alone.
    struct Job {
        FitFn fn;
        int ny, nx;
        Outputs want{0};
    };
    std::vector<std::vector<Job>> jobs(kThreads);
    for (int t = 0; t < kThreads; ++t)
        for (const Libraries& build : allBuilds())
            for (FitFn fn : {build.localPolynomials, build.localPolynomialscv}) {
                ASSERT_NE(fn, nullptr) << build.dir;
                auto [ny, nx] = shapes[t];
                Job j{fn, ny, nx};
                j.want = Outputs((size_t)nx * ny);
                fn(data.data(), &ny, &nx, K.data(), j.want.F.data(), j.want.gFx.data(),
                   j.want.gFy.data());
                jobs[t].push_back(std::move(j));
            }

    std::atomic<int> ready{0};
    std::atomic<long> mismatches{0}, calls{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t)
        pool.emplace_back([&, t] {
            // Start together so that the calls really overlap.
            ready.fetch_add(1);
            while (ready.load() < kThreads)
                std::this_thread::yield();
            for (int round = 0; round < kRounds; ++round)
                for (const Job& j : jobs[t]) {
                    int ny = j.ny, nx = j.nx;
                    Outputs got((size_t)nx * ny, (double)round);
                    j.fn(data.data(), &ny, &nx, K.data(), got.F.data(), got.gFx.data(),
                         got.gFy.data());
                    if (!sameOutputs(got, j.want))
                        mismatches.fetch_add(1);
                    calls.fetch_add(1);
                }
        });
    for (std::thread& th : pool)
        th.join();

    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(calls.load(), (long)kThreads * kRounds * 2 * (long)allBuilds().size());
}

} // namespace
