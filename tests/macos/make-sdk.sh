#!/bin/sh
# Writes a minimal stand-in for the macOS SDK and the R framework into <dir>,
# just enough to compile and link both libraries for macOS on a machine that
# has neither:
#   - string.h, the one C header the sources take from the SDK (stddef.h and
#     cpuid.h come with clang itself);
#   - text stubs (.tbd, the format Apple's SDKs ship instead of the dylibs)
#     for libSystem, libc++, CoreFoundation and R 3.3's libR, each under its usual
#     path and with its real install name, which is what a Mach-O file
#     records in its load commands.
# A stub lists the symbols the linker may resolve against it; libSystem's
# lists only what compiled code of this kind calls (memory copies and
# clearing, the stack protector's guard and handler, the lazy-binding
# helper), so any other dependency of the code fails the link.  It is test
# scaffolding: nothing of it ships or ends up inside the libraries.
#   make-sdk.sh <dir>
set -eu
sdk=$1
rm -rf "$sdk"
mkdir -p "$sdk/usr/include" "$sdk/usr/lib"

cat >"$sdk/usr/include/string.h" <<'EOF'
#ifndef _STRING_H_
#define _STRING_H_
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
void *memcpy(void *dst, const void *src, size_t n);
#ifdef __cplusplus
}
#endif
#endif
EOF

# tbd <file> <install name> [symbol...]
tbd() {
  file=$1 name=$2
  shift 2
  mkdir -p "$(dirname "$file")"
  {
    echo '--- !tapi-tbd'
    echo 'tbd-version: 4'
    echo 'targets: [ x86_64-macos, arm64-macos ]'
    echo "install-name: '$name'"
    if [ $# -gt 0 ]; then
      echo 'exports:'
      echo '  - targets: [ x86_64-macos, arm64-macos ]'
      echo "    symbols: [ $(echo "$@" | sed 's/ /, /g') ]"
    fi
    echo '...'
  } >"$file"
}

tbd "$sdk/usr/lib/libSystem.tbd" /usr/lib/libSystem.B.dylib \
  _memcpy _memset _bzero ___bzero ___stack_chk_fail ___stack_chk_guard dyld_stub_binder

# Exports nothing: only CMake's check that the C++ compiler links a program
# needs it (the libraries are linked by the C driver and must not load it).
tbd "$sdk/usr/lib/libc++.tbd" /usr/lib/libc++.1.dylib

cf=System/Library/Frameworks/CoreFoundation.framework
tbd "$sdk/$cf/CoreFoundation.tbd" "/$cf/Versions/A/CoreFoundation" _CFRelease _CFRetain

# R's framework layout: Resources is Versions/Current/Resources, and R's own
# build links packages with -L<Resources>/lib -lR.
r=Library/Frameworks/R.framework
tbd "$sdk/$r/Versions/3.3/Resources/lib/libR.dylib" "/$r/Versions/3.3/Resources/lib/libR.dylib" \
  _Rf_error _R_registerRoutines
ln -s 3.3 "$sdk/$r/Versions/Current"
ln -s Versions/Current/Resources "$sdk/$r/Resources"
