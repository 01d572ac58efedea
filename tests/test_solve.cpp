// The exported 3 x 3 solver of both libraries.
#include "common.h"

namespace {

std::vector<SolveFn> solvers()
{
    return {libs().solveFit, libs().solveHoldout};
}

TEST(Solve, BothLibrariesExportIt)
{
    ASSERT_NE(libs().solveFit, nullptr);
    ASSERT_NE(libs().solveHoldout, nullptr);
}

TEST(Solve, IdentityReturnsRightHandSideExactly)
{
    const double Q[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const double V[3] = {0.1, -3.75e200, 1.0 / 3.0};
    for (SolveFn s : solvers()) {
        double res[3];
        s(Q, V, res);
        for (int k = 0; k < 3; ++k)
            EXPECT_TRUE(sameBits(res[k], V[k])) << k;
    }
}

TEST(Solve, SingularGivesIeeeQuotients)
{
    const double zeros[9] = {};
    const double V[3] = {1, 2, 3};
    const double diag110[9] = {1, 0, 0, 0, 1, 0, 0, 0, 0};
    const double up[3] = {1, 2, 5}, down[3] = {1, 2, -5};
    for (SolveFn s : solvers()) {
        double res[3];
        s(zeros, V, res);
        for (double r : res)
            EXPECT_TRUE(std::isnan(r));
        s(diag110, up, res);
        EXPECT_EQ(res[2], INFINITY);
        s(diag110, down, res);
        EXPECT_EQ(res[2], -INFINITY);
        // 0/0 in the first two components: their numerators vanish as well.
        EXPECT_TRUE(std::isnan(res[0]) && std::isnan(res[1]));
    }
}

TEST(Solve, ReadsNineAndThreeWritesExactlyThree)
{
    std::mt19937_64 rng(1);
    for (SolveFn s : solvers()) {
        // Guards around every array: the solver sees only the middle part.
        std::vector<double> Q = uniformRandom(rng, 11, -2, 2);
        std::vector<double> V = uniformRandom(rng, 5, -2, 2);
        std::vector<double> res(5, 42.0);
        Q[0] = Q[10] = NAN;
        V[0] = V[4] = NAN;
        const std::vector<double> Q0 = Q, V0 = V;
        s(Q.data() + 1, V.data() + 1, res.data() + 1);
        EXPECT_TRUE(sameArrays(Q, Q0));
        EXPECT_TRUE(sameArrays(V, V0));
        EXPECT_EQ(res[0], 42.0);
        EXPECT_EQ(res[4], 42.0);
        // And the solution solves the system.
        for (int r = 0; r < 3; ++r) {
            long double lhs = 0;
            for (int c = 0; c < 3; ++c)
                lhs += (long double)Q[1 + 3 * r + c] * res[1 + c];
            EXPECT_NEAR((double)lhs, V[1 + r], 1e-9) << r;
        }
    }
}

} // namespace
