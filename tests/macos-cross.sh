#!/bin/sh
# Cross-builds both libraries for macOS, arm64 and x86_64, with the project's
# own CMake build (tests/macos/toolchain.cmake, against the stub SDK of
# tests/macos/make-sdk.sh) and inspects the Mach-O files: what R loads on a
# Mac is checked here as far as it can be without running it.
#   macos-cross.sh <cmake> <source dir> <work dir> <clang> <clang++> <llvm-objdump> <llvm-nm>
# The builds stay in <work dir>/<arch>.
set -u
cmake=$1 src=$2 work=$3 cc=$4 cxx=$5 objdump=$6 nm=$7
# Nothing of this host's build environment reaches the macOS build.
unset CFLAGS CXXFLAGS LDFLAGS CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH LIBRARY_PATH \
  SDKROOT MACOSX_DEPLOYMENT_TARGET CMAKE_OSX_ARCHITECTURES
status=0
fail() {
  echo "FAIL $*"
  status=1
}
# same <what> <got> <expected>: word lists compared as sets.
same() {
  got=$(printf '%s\n' $2 | sort | tr '\n' ' ')
  want=$(printf '%s\n' $3 | sort | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "$1: $got(expected $want)"
}

mkdir -p "$work"
"$src/tests/macos/make-sdk.sh" "$work/sdk" || exit 1

for arch in arm64 x86_64; do
  b=$work/$arch
  rm -rf "$b"
  if ! { "$cmake" -S "$src" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$src/tests/macos/toolchain.cmake" \
           -DORVEL_MACOS_ARCH=$arch -DORVEL_MACOS_SDK="$work/sdk" \
           -DORVEL_CLANG="$cc" -DORVEL_CLANGXX="$cxx" -DORVEL_TESTS=OFF \
           -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON &&
         "$cmake" --build "$b" -j2 --target orvel-fit orvel-holdout; } >"$b.log" 2>&1; then
    cat "$b.log"
    fail "$arch: configure or build"
    continue
  fi
  if grep -q -i -E 'warning' "$b.log"; then
    grep -i -E -A3 'warning' "$b.log"
    fail "$arch: the build warns"
  fi

  case $arch in
    arm64) cpu=ARM64 fma='^(fmadd|fmsub|fnmadd|fnmsub|fmla|fmls)(\.|$)' mul='^fmul' ;;
    x86_64) cpu=X86_64 fma='^vfn?m(add|sub)' mul='^v?mul[sp]d' ;;
  esac
  for lib in orvel-fit orvel-holdout; do
    f=$b/$lib.so
    what="$arch $lib.so"
    if [ ! -f "$f" ]; then
      fail "$what: not built"
      continue
    fi
    # Mach header: magic cputype cpusubtype caps filetype ...
    header=$("$objdump" --macho --private-header "$f" | awk '$1 ~ /^MH_MAGIC/ {print $2, $5}')
    [ "$header" = "$cpu DYLIB" ] || fail "$what: cputype and filetype '$header', expected '$cpu DYLIB'"

    # The install name and the libraries loaded, from the load commands.
    dylibs=$("$objdump" --macho --private-headers "$f" |
      awk '$1 == "cmd" {cmd = $2} $1 == "name" && cmd ~ /DYLIB$/ {print cmd, $2; cmd = ""}')
    same "$what: install name" "$(echo "$dylibs" | awk '$1 == "LC_ID_DYLIB" {print $2}')" "$lib.so"
    case $lib in
      orvel-fit) want="libSystem.B.dylib" entry=_localPolynomials ;;
      orvel-holdout) want="libSystem.B.dylib libR.dylib CoreFoundation" entry=_localPolynomialscv ;;
    esac
    # By file name; a weak or re-exported one shows with its command.
    same "$what: libraries loaded" "$(echo "$dylibs" | awk '$1 != "LC_ID_DYLIB" {
      n = split($2, p, "/"); print ($1 == "LC_LOAD_DYLIB" ? "" : $1 ":") p[n]}')" "$want"

    same "$what: exported symbols" "$("$nm" -g --defined-only "$f" | awk '{print $NF}')" "_solve $entry"

    # Every product and sum as written: no fused multiply-add anywhere (and
    # the disassembly does hold the multiplications).
    mnemonics=$("$objdump" --macho -d --no-show-raw-insn "$f" | awk -F '\t' 'NF >= 2 {print $2}')
    echo "$mnemonics" | grep -q -E "$mul" || fail "$what: no multiplication found in the disassembly"
    fused=$(echo "$mnemonics" | grep -E "$fma" | sort | uniq -c | tr -s ' \n' ' ')
    [ -z "$fused" ] && [ -n "$mnemonics" ] || fail "$what: fused multiply-adds:$fused"

    # The x86_64 build runs its wider variants on 256-bit (or wider) vectors.
    if [ $arch = x86_64 ] && ! "$objdump" --macho -d "$f" | grep -q -E '%[yz]mm'; then
      fail "$what: no instruction on ymm/zmm registers: the wider variants are missing"
    fi
  done

  # Compile commands: which instruction-set variants the engine (linked into
  # both libraries) is built with, the stack protector in all of
  # orvel-holdout, the engine included, and no floating-point contraction
  # anywhere.
  cmds=$(grep '"command":' "$b/compile_commands.json")
  variants=$(echo "$cmds" | grep 'orvel_localfit\.dir/' |
    sed -n 's|.*lib/localfit/fit_\([a-z0-9]*\)\.cpp.*|\1|p' | sort -u | tr '\n' ' ')
  variants=${variants% }
  case $arch in
    arm64) [ "$variants" = "generic" ] ||
      fail "$arch: variants '$variants', expected the generic one only" ;;
    x86_64) echo "$variants" | grep -q -w generic && [ $(echo $variants | wc -w) -ge 2 ] ||
      fail "$arch: variants '$variants', expected the generic one and wider ones" ;;
  esac
  holdout=$(echo "$cmds" | grep -E '(orvel-holdout|orvel_localfit)\.dir/')
  echo "$holdout" | grep -q 'orvel-holdout\.dir/' || fail "$arch: no compile command for orvel-holdout"
  echo "$holdout" | grep -v -q -E ' -fstack-protector(-strong|-all)? ' &&
    fail "$arch: orvel-holdout compiled without the stack protector"
  echo "$holdout" | grep -q -- '-fno-stack-protector' &&
    fail "$arch: orvel-holdout compiled with -fno-stack-protector"
  echo "$cmds" | grep -v -q -- ' -ffp-contract=off ' &&
    fail "$arch: compiled without -ffp-contract=off"
  echo "$cmds" | grep -q -E -- '-ffp-contract=(on|fast)|-ffast-math' &&
    fail "$arch: floating-point contraction or fast-math enabled"

  echo "$arch: variants $variants; Mach-O files in $b"
done
[ $status -eq 0 ] && echo "macOS builds as expected"
exit $status
