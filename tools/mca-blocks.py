#!/usr/bin/env python3
"""Cycles a node of a variant's blocks on CPU models, for each number of
vectors a block (how the block sizes of fit_generic.cpp on aarch64 and of the
AVX-512 variant against AVX2 on Zen 4 were judged).

    tools/mca-blocks.py [--variant generic|avx2|avx512] [--footprint 3]
                        [--cpus apple-m1,neoverse-n2] [--blocks 1,2,3,4,5]
                        [--cxx ...] [--mca llvm-mca-16]

Compiles the variant's file once per block size (generic for aarch64 with
aarch64-linux-gnu-g++, the others for x86-64 with g++), takes the finite-path
block loop of the plain fit for the footprint rows -a..a out of the assembly
and runs llvm-mca on it: the block loop as straight code (one pass through
each column loop) plus two more passes through each of its two column loops
(three columns on either side of the own column), divided by the nodes of a
block.  LLVM 14 models neoverse-n1 and -v1 as a Cortex-A57 and has no Zen 4;
LLVM 16 has models of the Neoverse N2 (also used for -v1) and of Zen 4
(znver4, whose 512-bit operations take two 256-bit slots).
"""
import argparse
import os
import re
import shutil
import subprocess
import tempfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ap = argparse.ArgumentParser()
ap.add_argument("--variant", default="generic", choices=["generic", "avx2", "avx512"])
ap.add_argument("--cxx")
ap.add_argument("--mca", default="llvm-mca-16" if shutil.which("llvm-mca-16") else "llvm-mca")
ap.add_argument("--footprint", default="3")
ap.add_argument("--cpus", default="apple-m1,neoverse-n2")
ap.add_argument("--blocks", default="1,2,3,4,5")
args = ap.parse_args()
arm = args.variant == "generic"
cxx = args.cxx or ("aarch64-linux-gnu-g++" if arm else "g++")
flags = {"generic": [], "avx2": ["-mavx2"], "avx512": ["-mavx512f"]}[args.variant]
lanes = {"generic": 2, "avx2": 4, "avx512": 8}[args.variant]
triple = "aarch64" if arm else "x86_64"
a = args.footprint
symbol = re.compile(r"^_Z\S*fitBlocksILb0ELb1ELi%sE\S*:" % a)
branch = re.compile(r"^\s+(b\.?\w*|cbn?z|tbn?z|j\w+)\s+.*?(\.L\w+)\s*$")
multiply = re.compile(r"\s+v?f?mul")


def block_function(R, tmp):
    asm = os.path.join(tmp, "g%d.s" % R)
    subprocess.run([cxx, "-std=c++17", "-O3", "-ffp-contract=off", "-fschedule-insns",
                    "-fsched-pressure", "-DORVEL_BLOCK=%d" % R] + flags +
                   ["-I" + os.path.join(root, "lib"), "-S", "-o", asm,
                    os.path.join(root, "lib/localfit/fit_%s.cpp" % args.variant)], check=True)
    lines = open(asm).read().split("\n")
    start = next(i for i, l in enumerate(lines) if symbol.match(l))
    end = next(i for i in range(start, len(lines)) if lines[i].strip().startswith(".size"))
    return lines[start:end]


def loops(body):
    """(first, last, instructions) of every loop closed by a backward branch."""
    labels, found = {}, []
    for i, l in enumerate(body):
        m = re.match(r"^(\.L\w+):", l)
        if m:
            labels[m.group(1)] = i
        m = branch.match(l)
        if m and labels.get(m.group(2), i) < i:
            first = labels[m.group(2)]
            found.append((first, i, [x.split("//")[0] for x in body[first:i + 1]
                                     if x.startswith("\t") and not x.strip().startswith(".")]))
    return found


def cycles(cpu, code):
    out = subprocess.run([args.mca, "-mtriple=" + triple, "-mcpu=" + cpu, "-iterations=200"],
                         input="\n".join(code), capture_output=True, text=True, check=True)
    return int(re.search(r"Total Cycles:\s+(\d+)", out.stdout).group(1)) / 200


with tempfile.TemporaryDirectory() as tmp:
    blocks = [int(r) for r in args.blocks.split(",")]
    bodies = {R: block_function(R, tmp) for R in blocks}
    print("cycles a node, %s, footprint -%s..%s, %s, %s" % (args.variant, a, a, cxx, args.mca))
    for cpu in args.cpus.split(","):
        row = []
        for R in blocks:
            fmuls = lambda t: sum(1 for x in t[2] if multiply.match(x))
            found = loops(bodies[R])
            outer = max(found, key=fmuls)
            columns = sorted((t for t in found if outer[0] < t[0] and t[1] < outer[1]),
                             key=fmuls)[-2:]
            total = cycles(cpu, outer[2]) + sum(2 * cycles(cpu, c[2]) for c in columns)
            row.append("%d: %6.1f" % (R, total / (lanes * R)))
        print("%-12s" % cpu, "   ".join(row))
