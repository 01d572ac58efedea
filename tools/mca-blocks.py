#!/usr/bin/env python3
"""Cycles a node of the generic variant's blocks on aarch64 CPU models, for
each number of vectors a block (how fit_generic.cpp's aarch64 block size was
chosen).

    tools/mca-blocks.py [--cxx aarch64-linux-gnu-g++] [--mca llvm-mca-16]
                        [--footprint 3,3] [--cpus apple-m1,neoverse-n2]

Compiles lib/localfit/fit_generic.cpp for aarch64 once per block size, takes
the dense finite-path block loop of the plain fit (footprint rows -a..b) out
of the assembly and runs llvm-mca on it: the block loop as straight code
(one pass through each column loop) plus two more passes through each of its
two column loops (three columns on either side of the own column), divided
by the nodes of a block.  LLVM 14 models neoverse-n1 and -v1 as a Cortex-A57;
LLVM 16 has a model of the Neoverse N2 (and uses it for -v1).
"""
import argparse
import os
import re
import subprocess
import tempfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ap = argparse.ArgumentParser()
ap.add_argument("--cxx", default="aarch64-linux-gnu-g++")
ap.add_argument("--mca", default="llvm-mca-16" if subprocess.run(
    ["sh", "-c", "command -v llvm-mca-16"], capture_output=True).returncode == 0 else "llvm-mca")
ap.add_argument("--footprint", default="3,3")
ap.add_argument("--cpus", default="apple-m1,neoverse-n2")
ap.add_argument("--blocks", default="1,2,3,4,5")
args = ap.parse_args()
a, b = args.footprint.split(",")
symbol = re.compile(r"^_Z\S*fitBlocksILb0ELb1ELi%sELi%sE\S*:" % (a, b))
branch = re.compile(r"^\s+(b\.?\w*|cbn?z|tbn?z)\s+.*?(\.L\w+)\s*$")


def block_function(R, tmp):
    asm = os.path.join(tmp, "g%d.s" % R)
    subprocess.run([args.cxx, "-std=c++17", "-O3", "-ffp-contract=off", "-fschedule-insns",
                    "-fsched-pressure", "-DORVEL_ENTRY_LOO=0", "-DORVEL_GENERIC_BLOCK=%d" % R,
                    "-I" + os.path.join(root, "lib"), "-S", "-o", asm,
                    os.path.join(root, "lib/localfit/fit_generic.cpp")], check=True)
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
    out = subprocess.run([args.mca, "-mtriple=aarch64", "-mcpu=" + cpu, "-iterations=200"],
                         input="\n".join(code), capture_output=True, text=True, check=True)
    return int(re.search(r"Total Cycles:\s+(\d+)", out.stdout).group(1)) / 200


with tempfile.TemporaryDirectory() as tmp:
    blocks = [int(r) for r in args.blocks.split(",")]
    bodies = {R: block_function(R, tmp) for R in blocks}
    print("cycles a node, footprint -%s..%s, %s, %s" % (a, b, args.cxx, args.mca))
    for cpu in args.cpus.split(","):
        row = []
        for R in blocks:
            fmuls = lambda t: sum(1 for x in t[2] if re.match(r"\s+fmul", x))
            found = loops(bodies[R])
            outer = max(found, key=fmuls)
            columns = sorted((t for t in found if outer[0] < t[0] and t[1] < outer[1]),
                             key=fmuls)[-2:]
            total = cycles(cpu, outer[2]) + sum(2 * cycles(cpu, c[2]) for c in columns)
            row.append("%d: %6.1f" % (R, total / (2 * R)))
        print("%-12s" % cpu, "   ".join(row))
