#!/bin/sh
# Installs what building and testing orvel needs from Debian's packages, if
# anything is missing.  As root it installs; otherwise it prints the command.
set -eu
need="cmake g++ make libgtest-dev libbenchmark-dev r-base-core r-base-dev r-cran-testthat r-cran-roxygen2 r-cran-knitr r-cran-rmarkdown r-cran-codetools r-cran-matrix r-cran-terra r-cran-parallelly r-cran-stars r-cran-raster r-cran-locfit r-cran-future r-cran-progressr r-cran-yaml pandoc qpdf clang libclang-rt-14-dev valgrind"
# The macOS build is cross-compiled and inspected with LLVM's Mach-O linker
# (ld64.lld) and tools (llvm-objdump, llvm-nm).
need="$need lld llvm"
# On x86-64 the suite also runs on an emulated CPU without AVX2 (qemu-user),
# so the baseline code path is exercised whatever this machine has, and the
# aarch64 build under emulation (a cross compiler).
[ "$(uname -m)" = x86_64 ] && need="$need qemu-user g++-aarch64-linux-gnu"
# The Windows build is cross-compiled with mingw-w64 (its POSIX-thread
# flavour, GoogleTest from Debian's sources of it) and run under wine.
[ "$(uname -m)" = x86_64 ] && need="$need g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix googletest wine64"
missing=""
for p in $need; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "orvel needs:$missing"
  echo "install them with:  sudo apt-get update && sudo apt-get install -y$missing"
  exit 1
fi
echo "installing:$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
