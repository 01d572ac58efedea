/* The features detected once per process and the level capped by ORVEL_ISA
 * (cpu.h).  One word holds the whole answer, written once with release
 * order: the first caller detects, reads the environment and publishes;
 * a caller that meets a detection under way waits for it (microseconds). */
#include <stdlib.h>
#include <string.h>

#include "cpu/cpu.h"
#include "export.h"

enum {
    READY = 1u << 31,
    BAD_ENV = 1u << 30,
    LEVEL_SHIFT = 24,      /* the capped level, bits 24-25 */
    FEATURES = 0xffffffu   /* orvel_cpu_detect()'s bits */
};

static unsigned state;     /* 0 until published */
static int claimed;        /* the detection has been started */
static char bad_env[64];   /* ORVEL_ISA's unknown value, written before state */

static unsigned detect_once(void)
{
    const unsigned f = orvel_cpu_detect();
    int level = orvel_cpu_level_of(f);
    unsigned v = READY | (f & FEATURES);
    const char *e = getenv("ORVEL_ISA");
    if (e && *e) {
        const int cap = orvel_cpu_parse_level(e);
        if (cap < 0) {
            strncpy(bad_env, e, sizeof bad_env - 1);
            v |= BAD_ENV;
        } else if (cap < level) {
            level = cap;
        }
    }
    return v | (unsigned)level << LEVEL_SHIFT;
}

static unsigned answer(void)
{
    unsigned s = __atomic_load_n(&state, __ATOMIC_ACQUIRE);
    if (s)
        return s;
    if (!__atomic_exchange_n(&claimed, 1, __ATOMIC_ACQ_REL)) {
        s = detect_once();
        __atomic_store_n(&state, s, __ATOMIC_RELEASE);
        return s;
    }
    while (!(s = __atomic_load_n(&state, __ATOMIC_ACQUIRE))) {
    }
    return s;
}

ORVEL_HIDDEN unsigned orvel_cpu_features(void) { return answer() & FEATURES; }

ORVEL_HIDDEN orvel_isa_level orvel_cpu_level(void)
{
    return (orvel_isa_level)((answer() >> LEVEL_SHIFT) & 3);
}

ORVEL_HIDDEN const char *orvel_cpu_isa_env(void)
{
    return (answer() & BAD_ENV) ? bad_env : NULL;
}

ORVEL_HIDDEN const char *orvel_cpu_level_name(int level)
{
    switch (level) {
    case ORVEL_LEVEL_BASELINE: return "baseline";
    case ORVEL_LEVEL_AVX2: return "avx2";
    case ORVEL_LEVEL_AVX512: return "avx512";
    default: return "unknown";
    }
}

ORVEL_HIDDEN int orvel_cpu_parse_level(const char *name)
{
    for (int l = ORVEL_LEVEL_BASELINE; l <= ORVEL_LEVEL_AVX512; l++)
        if (name && strcmp(name, orvel_cpu_level_name(l)) == 0)
            return l;
    return -1;
}
