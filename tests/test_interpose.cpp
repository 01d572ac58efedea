// Runs as its own process: a foreign `solve` is loaded with global symbols
// before either of our libraries is loaded at all.
#include "common.h"

namespace {

TEST(Interpose, FitsUseTheirOwnSolverDespiteAForeignGlobalSolve)
{
    const std::string foreignPath = std::string(ORVEL_TESTDIR) + "/foreign_solve.so";
    void* foreign = dlopen(foreignPath.c_str(), RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(foreign, nullptr) << dlerror();
    // The foreign solve really is first in the global scope.
    auto global = reinterpret_cast<SolveFn>(dlsym(RTLD_DEFAULT, "solve"));
    ASSERT_EQ(global, reinterpret_cast<SolveFn>(dlsym(foreign, "solve")));

    const int ny = 6, nx = 5;
    std::vector<double> data((size_t)nx * ny);
    for (int jx = 0; jx < nx; ++jx)
        for (int jy = 0; jy < ny; ++jy)
            data[(size_t)jx * ny + jy] = 1.0 + 2.0 * jy / ny - 0.5 * jx / nx;
    const std::vector<double> K = gaussianKernel();
    for (auto [lib, entry] : {std::pair{"orvel-fit.so", "localPolynomials"},
                              std::pair{"orvel-holdout.so", "localPolynomialscv"}}) {
        void* h = openLibrary(lib);
        ASSERT_NE(h, nullptr);
        const FitFn fit = symbol<FitFn>(h, entry);
        ASSERT_NE(fit, nullptr);
        const Outputs out = runFit(fit, data, ny, nx, K.data());
        for (size_t n = 0; n < data.size(); ++n) {
            EXPECT_NEAR(out.F[n], data[n], 1e-12) << lib << " node " << n;
            EXPECT_NEAR(out.gFx[n], 2.0, 1e-11) << lib << " node " << n;
        }
        // Looked up through the library's own handle, `solve` is ours too.
        const SolveFn own = symbol<SolveFn>(h, "solve");
        ASSERT_NE(own, global) << lib;
        const double Q[9] = {2, 0, 0, 0, 4, 0, 0, 0, 8}, V[3] = {1, 1, 1};
        double res[3];
        own(Q, V, res);
        EXPECT_EQ(res[2], 0.125);
    }
}

} // namespace
