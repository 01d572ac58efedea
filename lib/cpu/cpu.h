/* What the CPU offers the wider instruction-set variants, and which of them
 * runs.
 *
 * Two ways to ask:
 *   - orvel_cpu_detect(): the CPU and the operating system asked afresh, on
 *     every call (x86-64: CPUID leaves 0, 1 and 7 and one XGETBV; a virtual
 *     machine may trap each at some microseconds).  No static data, no
 *     environment: what a library bound to keep no state uses, once per
 *     grid.
 *   - orvel_cpu_features() / orvel_cpu_level(): detected once per process and
 *     cached (thread-safe; the first caller pays the detection, the others a
 *     load), the level capped by the environment variable ORVEL_ISA, read
 *     once with the detection: "baseline", "avx2" or "avx512" runs at most
 *     that; unset or empty, no cap; any other value, no cap either, and
 *     orvel_cpu_isa_env() reports it.
 *
 * A feature counts only where the operating system saves the registers it
 * uses across context switches (XCR0): AVX2 needs the XMM and YMM state,
 * AVX-512 the opmask and both halves of the ZMM state as well.  Built for
 * anything but x86-64 (arm64 and others) every call answers the baseline.
 * Plain C, usable from C and C++, GCC >= 9 and clang >= 14. */
#ifndef ORVEL_CPU_H
#define ORVEL_CPU_H

#ifdef __cplusplus
extern "C" {
#endif

/* Named features (bits of orvel_cpu_detect()'s value), each with the
 * operating system's support for its registers. */
enum {
    ORVEL_CPU_AVX = 1u << 0,
    ORVEL_CPU_AVX2 = 1u << 1,
    ORVEL_CPU_FMA = 1u << 2,
    ORVEL_CPU_AVX512F = 1u << 3,
    ORVEL_CPU_AVX512DQ = 1u << 4,
    ORVEL_CPU_AVX512BW = 1u << 5,
    ORVEL_CPU_AVX512VL = 1u << 6
};

/* Instruction-set levels, each including the ones below it. */
typedef enum orvel_isa_level {
    ORVEL_LEVEL_BASELINE = 0, /* SSE2 on x86-64, NEON on arm64: what the build targets */
    ORVEL_LEVEL_AVX2 = 1,     /* AVX and AVX2 with their state saved */
    ORVEL_LEVEL_AVX512 = 2    /* AVX-512F as well, with its state saved */
} orvel_isa_level;

/* The features of this CPU and operating system, asked now. */
unsigned orvel_cpu_detect(void);

/* The highest level the features f allow. */
orvel_isa_level orvel_cpu_level_of(unsigned f);

/* "baseline", "avx2" or "avx512" ("unknown" for anything else). */
const char *orvel_cpu_level_name(int level);

/* The level a name stands for (as ORVEL_ISA spells it), or -1. */
int orvel_cpu_parse_level(const char *name);

/* The features detected once, the same as orvel_cpu_detect() would answer. */
unsigned orvel_cpu_features(void);

/* The level in use: the CPU's, capped by ORVEL_ISA. */
orvel_isa_level orvel_cpu_level(void);

/* ORVEL_ISA as read with the detection: its value if it was set to
 * something that is not a level name (and so capped nothing), else null. */
const char *orvel_cpu_isa_env(void);

#ifdef __cplusplus
}
#endif

#endif
