// Writes the inputs and the fitted outputs of the scenarios' grids, both
// entries of every build of the libraries, as hex, one case a line: two
// platforms' files are the same bytes exactly when every build gives the
// same bits on both (tests/compare-dumps.sh compares them).
//   orvel_dump <file>
// Builds are named by their directory ("main" for the real libraries); a
// CPU that cannot run a pinned variant leaves its lines out, so compare
// dumps made on CPUs with the same instruction sets.
#include "common.h"
#include "scenarios.h"

#include <cinttypes>

namespace {

void writeHex(std::FILE* f, const char* label, const std::vector<double>& v)
{
    std::fprintf(f, " %s", label);
    for (double x : v) {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        std::fprintf(f, " %016" PRIx64, bits);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvel_dump <file>\n");
        return 2;
    }
    // Binary: the same bytes on Windows, whose text mode ends lines in CR LF.
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    int failures = 0;
    for (const Libraries& build : allBuilds()) {
        const std::string name =
            build.dir == mainLibDir() ? "main" : build.dir.substr(build.dir.rfind('/') + 1);
        for (size_t s = 0; s < std::size(kScenarios); ++s) {
            // The same grids for every build: a generator per scenario.
            std::mt19937_64 rng(1000 + s);
            for (int trial = 0; trial < 4; ++trial) {
                const Case c = randomCase(rng, kScenarios[s], trial % 2 == 0);
                for (bool cv : {false, true}) {
                    if (!build.entry(cv)) {
                        ++failures;
                        continue;
                    }
                    const Outputs out = runFit(build.entry(cv), c.data, c.ny, c.nx, c.K.data());
                    std::fprintf(f, "%s scenario %zu trial %d cv %d %dx%d", name.c_str(), s, trial,
                                 (int)cv, c.ny, c.nx);
                    writeHex(f, "data", c.data);
                    writeHex(f, "K", c.K);
                    writeHex(f, "F", out.F);
                    writeHex(f, "gFx", out.gFx);
                    writeHex(f, "gFy", out.gFy);
                    std::fputc('\n', f);
                }
            }
        }
    }
    if (std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    if (failures)
        std::fprintf(stderr, "orvel_dump: %d entries not found\n", failures);
    return failures ? 1 : 0;
}
