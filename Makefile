# make test: install what is missing, build, run every test: the plain build,
#   R CMD check of the R package, the native suite over the package's own
#   libraries, the package built with clang and its tests, the Windows cross
#   build and its suite under wine, the workflow file read, the same suite
#   under address+undefined-behaviour sanitizers
#   and under the thread sanitizer, a short differential fuzz run, and the
#   package's tests in R under valgrind.
# make demo: smooth R's volcano with the package into out/volcano.png.
# make rpkg: the source package build/orvel_<version>.tar.gz.
# make install: install the package into your R library (the first of R's
#   .libPaths()); make install LIBRARY=~/R/library: into that library
#   instead (created if missing).
# make fuzz FUZZ_SECONDS=600: a longer fuzz run (corpus kept in build-fuzz).
# make test-clang: the package built with clang and clang++ (through R's
#   user Makevars, in a file of the build's own) into build-clang/rlib, and
#   its tests in R (ORVEL_TEST_FILTER=isa picks test files by name).
# make windows: cross-build for 64-bit Windows with mingw-w64 into
#   build-windows: both libraries, the package's orvel.dll and the native
#   suite.  make test-windows: their imports and exports checked, the suite
#   run under wine, its outputs compared bit for bit with the Linux build's.
# make bench: the native benchmark (nodes per second against the literal fit;
#   ORVEL_BENCH_REFERENCE=<build dir> adds another build's libraries).
BUILD ?= build
BUILD_TYPE ?= Release
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
WINDOWS_BUILD ?= build-windows
# The package installed for the demo and the tests (not your R library).
RLIB = $(BUILD)/rlib
VERSION := $(shell sed -n 's/^Version: *//p' rpkg/DESCRIPTION)
TARBALL = $(BUILD)/orvel_$(VERSION).tar.gz
# Total seconds of fuzzing, shared by the instruction-set variants.
FUZZ_SECONDS ?= 10

# Every sanitizer finding stops the program and fails its test; no
# suppressions.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:abort_on_error=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: all setup build test test-clang test-plain test-asan test-tsan fuzz valgrind-r demo bench clean \
	rpkg rpkg-install check test-package install windows test-windows check-workflow

all: build

setup:
	@tools/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD) -j2

# One after the other, also under make -j: each step uses both cores (but
# R CMD check, mostly one core's work, beside the Windows cross build and
# the clang build's tests).
test: build
	$(MAKE) --no-print-directory test-plain
	$(MAKE) --no-print-directory -j3 --output-sync=target check test-windows test-clang
	$(MAKE) --no-print-directory test-package
	$(MAKE) --no-print-directory check-workflow
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory test-tsan
	$(MAKE) --no-print-directory fuzz
	$(MAKE) --no-print-directory valgrind-r

# The R CMD check workflow is YAML that GitHub reads, with a run on each
# platform the package supports.
check-workflow:
	Rscript -e 'w <- yaml::read_yaml(".github/workflows/R-CMD-check.yaml"); os <- vapply(w$$jobs[["R-CMD-check"]]$$strategy$$matrix$$config, function(c) c$$os, ""); want <- c("windows-latest", "macos-latest", "macos-13", "ubuntu-latest"); if (!all(want %in% os)) stop("the workflow lacks ", paste(setdiff(want, os), collapse = ", ")); cat("workflow: R CMD check on", os, "\n")'

test-plain:
	cd $(BUILD) && ctest --output-on-failure

# The whole suite once more under each sanitizer, in a build of its own.
test-asan: SAN_BUILD = $(ASAN_BUILD)
test-asan: SANITIZE = address,undefined
test-tsan: SAN_BUILD = $(TSAN_BUILD)
test-tsan: SANITIZE = thread
# The thread sanitizer runs what starts threads or is called from several:
# concurrent calls, the package's thread pool, the first answer about the CPU.
test-tsan: SAN_TESTS = -R "Threads|parallel|Cpu"
test-asan test-tsan: setup
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_SANITIZE=$(SANITIZE)
	cmake --build $(SAN_BUILD) -j2
	cd $(SAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure $(SAN_TESTS)

fuzz: setup
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DORVEL_TESTS=OFF -DORVEL_FUZZ=ON -DORVEL_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(FUZZ_BUILD) -j2
	cd $(FUZZ_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure
	@grep -h -E '^(Running|stat::number_of_executed_units|stat::new_units_added)|DONE' \
	  $(FUZZ_BUILD)/Testing/Temporary/LastTest.log

# Cross-built with Debian's mingw-w64; orvel.dll with this host's R headers
# and against an import library of the R API it calls.
windows: setup
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/mingw-w64.cmake) \
	  -DCMAKE_BUILD_TYPE=Release -DORVEL_WINDOWS_PACKAGE=ON \
	  -DORVEL_R_INCLUDE="$$(Rscript -e 'cat(R.home("include"))')" \
	  -DORVEL_HOST_LIBR="$$(R RHOME)/lib/libR.so"
	cmake --build $(WINDOWS_BUILD) -j2

test-windows: build windows
	tools/windows-test.sh $(WINDOWS_BUILD) $(BUILD)

# Built again only when the package or the library sources change.
RPKG_SOURCES := CMakeLists.txt $(shell find rpkg lib -type f ! -name '*.so' ! -name '*.o' ! -name '*.html')

rpkg: $(TARBALL)

$(TARBALL): $(RPKG_SOURCES) | setup
	tools/build-rpkg.sh $(BUILD)

# The package in a library of the build's own, for the demo and the tests.
rpkg-install: $(RLIB)/orvel/DESCRIPTION

$(RLIB)/orvel/DESCRIPTION: $(TARBALL)
	mkdir -p $(RLIB)
	R CMD INSTALL -l $(RLIB) $(TARBALL)

# Help pages up to date, and R CMD check --as-cran of the tarball (which runs
# the package's tests and builds the vignette).
check: rpkg
	tools/check-rpkg.sh $(BUILD)

# The native suite over the libraries the package installed: the same bits as
# the CMake build's.
test-package: build rpkg-install
	ORVEL_TEST_LIBDIR=$(abspath $(RLIB))/orvel/libs $(BUILD)/tests/orvel_tests --gtest_brief=1

# The package as clang builds it (as on macOS): R's compilers replaced by
# clang's for this install only; nothing of the user's ~/.R is read.
CLANG_BUILD ?= build-clang
# The test files of compiled code run again in the clang build (the fits and
# terrain layers are compared with the GCC build bit for bit by same-bits.R; R CMD check
# runs them all with GCC); CLANG_TESTS=. runs every file.
CLANG_TESTS ?= core|isa|models|native|neighbourhood|weights|windows
CLANG_RLIB = $(CLANG_BUILD)/rlib

test-clang: rpkg-install
	mkdir -p $(CLANG_RLIB)
	printf 'CC = clang\nCXX = clang++\nCXX11 = clang++\nCXX14 = clang++\nCXX17 = clang++\n' \
	  >$(CLANG_BUILD)/Makevars
	R_MAKEVARS_USER=$(abspath $(CLANG_BUILD))/Makevars R CMD INSTALL -l $(CLANG_RLIB) $(TARBALL)
	R_LIBS=$(abspath $(CLANG_RLIB)) Rscript -e 'x <- orvel::orvel_isa(); cat("orvel built with clang runs", x$$level, "\n")'
	R_LIBS=$(abspath $(CLANG_RLIB)) ORVEL_TEST_FILTER="$(CLANG_TESTS)" Rscript tools/run-r-tests.R
	Rscript tools/same-bits.R $(RLIB) $(CLANG_RLIB)

valgrind-r: build rpkg-install
	tools/valgrind-r.sh $(BUILD)

demo: rpkg-install
	R_LIBS=$(abspath $(RLIB)) Rscript examples/volcano.R

# The library `make install` writes into: empty for R's default.
LIBRARY ?=

# Needs only R, CMake and a C++17 compiler (and the packages orvel imports,
# all of them R's own): none of the test toolchain, no vignette build.
install:
	tools/build-rpkg.sh --stage $(BUILD)
	$(if $(LIBRARY),mkdir -p $(LIBRARY))
	R CMD INSTALL $(if $(LIBRARY),-l $(LIBRARY)) $(BUILD)/rpkg-stage/orvel

bench: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DORVEL_BENCH=ON
	cmake --build $(BUILD) -j2
	$(BUILD)/bench/orvel_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
	  --benchmark_enable_random_interleaving=true

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD) out
