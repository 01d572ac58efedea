/* The package's thread pool (rpkg/src/parallel.c) outside R: the few R
 * entry points it calls are played here, R_CheckUserInterrupt jumping out
 * as R's does on an interrupt and R_UnwindProtect running the clean-up on
 * the way, so that the same checks run with POSIX threads and, under wine,
 * with Win32 threads. Exits 1 on any failure. */
#include <setjmp.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <R.h>
#include <Rinternals.h>

#include "parallel.h"

/* ---- The R entry points parallel.c calls ---- */

SEXP R_NilValue;
static jmp_buf *top;           /* where an error or an interrupt jumps */
static long interrupt_after;   /* checks before the interrupt; < 0: none */
static long checks;
static void *allocated[16];
static int nallocated;

void R_CheckUserInterrupt(void)
{
    if (interrupt_after >= 0 && checks++ >= interrupt_after) longjmp(*top, 1);
}

void Rf_error(const char *format, ...)
{
    fprintf(stderr, "error: %s\n", format);
    longjmp(*top, 2);
}

char *R_alloc(size_t n, int size)
{
    if (nallocated == (int) (sizeof allocated / sizeof *allocated)) abort();
    return allocated[nallocated++] = calloc(n, (size_t) size);
}

SEXP Rf_protect(SEXP x) { return x; }
void Rf_unprotect(int n) { (void) n; }
SEXP R_MakeUnwindCont(void) { return NULL; }

SEXP R_UnwindProtect(SEXP (*fun)(void *), void *data, void (*clean)(void *, Rboolean),
                     void *cleandata, SEXP cont)
{
    (void) cont;
    jmp_buf here, *outer = top;
    int code = setjmp(here);
    if (code) {
        top = outer;
        clean(cleandata, TRUE);
        longjmp(*outer, code);
    }
    top = &here;
    SEXP v = fun(data);
    top = outer;
    clean(cleandata, FALSE);
    return v;
}

/* ---- The job ---- */

#define MAX_CHUNKS 200000

typedef struct job {
    ptrdiff_t n;                     /* chunks asked for */
    atomic_int out_of_range;         /* calls for a chunk outside 0 .. n - 1 */
    size_t scratch;
    long spin;                       /* work a chunk: iterations */
    atomic_int done[MAX_CHUNKS];     /* times each chunk ran */
    uintptr_t thread[MAX_CHUNKS];    /* the thread that ran it */
    atomic_long bad_scratch;         /* chunks whose scratch another thread touched */
    atomic_int running;              /* chunks under way */
} job;

static _Thread_local char marker;   /* its address tells the threads apart */

static void chunk(void *arg, ptrdiff_t k, double *scratch)
{
    job *j = arg;
    if (k < 0 || k >= j->n || k >= MAX_CHUNKS) {
        atomic_fetch_add(&j->out_of_range, 1);
        return;
    }
    atomic_fetch_add(&j->running, 1);
    for (size_t i = 0; i < j->scratch; i++) scratch[i] = (double) k;
    volatile double x = 0;
    for (long i = 0; i < j->spin; i++) x += 1e-9 * i;
    for (size_t i = 0; i < j->scratch; i++)
        if (scratch[i] != (double) k) {
            atomic_fetch_add(&j->bad_scratch, 1);
            break;
        }
    j->thread[k] = (uintptr_t) &marker;
    atomic_fetch_add(&j->done[k], 1);
    atomic_fetch_sub(&j->running, 1);
}

static int failures;
#define CHECK(cond, ...)                                              \
    do {                                                              \
        if (!(cond)) {                                                \
            failures++;                                               \
            printf("FAIL %s:%d: ", __FILE__, __LINE__);               \
            printf(__VA_ARGS__);                                      \
            printf("\n");                                             \
        }                                                             \
    } while (0)

/* Runs the job as R would call it; 0 when it returned, else how it jumped. */
static int run(job *j, ptrdiff_t n, int threads)
{
    jmp_buf base;
    int code = setjmp(base);
    j->n = n;
    if (code == 0) {
        top = &base;
        orvel_parallel(n, threads, j->scratch, chunk, j);
    }
    top = NULL;
    for (int i = 0; i < nallocated; i++) free(allocated[i]);
    nallocated = 0;
    return code;
}

static job *fresh(size_t scratch, long spin)
{
    job *j = calloc(1, sizeof *j);
    if (!j) abort();
    j->scratch = scratch;
    j->spin = spin;
    return j;
}

static long total(job *j, ptrdiff_t n)
{
    long s = 0;
    for (ptrdiff_t k = 0; k < n; k++) s += atomic_load(&j->done[k]);
    return s;
}

static int distinct_threads(job *j, ptrdiff_t n)
{
    uintptr_t seen[300];
    int m = 0;
    for (ptrdiff_t k = 0; k < n; k++) {
        int i = 0;
        while (i < m && seen[i] != j->thread[k]) i++;
        if (i == m && m < 300) seen[m++] = j->thread[k];
    }
    return m;
}

/* Every chunk exactly once, each thread on a scratch of its own, more than
 * one thread at work when there are several and enough chunks, never more
 * threads than asked for (or than 256). */
static void every_chunk_once(void)
{
    const ptrdiff_t sizes[] = {0, 1, 7, 3000};
    const int thread_counts[] = {1, 2, 3, 8, 300};
    const size_t scratches[] = {0, 64};
    for (size_t a = 0; a < sizeof sizes / sizeof *sizes; a++)
        for (size_t b = 0; b < sizeof thread_counts / sizeof *thread_counts; b++)
            for (size_t c = 0; c < 2; c++) {
                ptrdiff_t n = sizes[a];
                int threads = thread_counts[b];
                job *j = fresh(scratches[c], 2000);
                interrupt_after = -1;
                int code = run(j, n, threads);
                CHECK(code == 0, "n %td, %d threads: jumped out (%d)", n, threads, code);
                CHECK(atomic_load(&j->running) == 0, "n %td, %d threads: chunks under way at the return",
                      n, threads);
                CHECK(atomic_load(&j->out_of_range) == 0, "n %td, %d threads: chunks outside 0 .. n - 1",
                      n, threads);
                int once = 1;
                for (ptrdiff_t k = 0; k < n; k++) once &= atomic_load(&j->done[k]) == 1;
                CHECK(once, "n %td, %d threads: a chunk not run exactly once", n, threads);
                CHECK(atomic_load(&j->bad_scratch) == 0,
                      "n %td, %d threads: a scratch shared between threads", n, threads);
                int d = distinct_threads(j, n);
                int most = threads < 256 ? threads : 256;
                CHECK(d <= most && d <= (n ? n : 1), "n %td, %d threads: %d threads worked", n,
                      threads, d);
                if (threads > 1 && n == 3000)
                    CHECK(d >= 2, "n %td, %d threads: only one thread worked", n, threads);
                free(j);
            }
}

/* An interrupt: the call jumps out, the job is stopped part way (the other
 * threads after the chunk they are on) and no thread works on after it. */
static void interrupt_stops_every_thread(void)
{
    for (int threads = 1; threads <= 4; threads *= 2) {
        const ptrdiff_t n = MAX_CHUNKS;
        job *j = fresh(16, 20000);
        interrupt_after = 0;
        checks = 0;
        int code = run(j, n, threads);
        int running = atomic_load(&j->running);
        long at_return = total(j, n);
        volatile double x = 0;  /* some time for a straggler to show */
        for (long i = 0; i < 50000000; i++) x += 1e-9;
        long later = total(j, n);
        CHECK(code == 1, "%d threads: the interrupt did not reach the caller (%d)", threads, code);
        CHECK(at_return > 0 && at_return < n, "%d threads: %ld of %td chunks done", threads,
              at_return, n);
        CHECK(running == 0, "%d threads: %d chunks still under way at the return", threads,
              running);
        CHECK(later == at_return, "%d threads: %ld chunks done after the return", threads,
              later - at_return);
        int once = 1;
        for (ptrdiff_t k = 0; k < n; k++) once &= atomic_load(&j->done[k]) <= 1;
        CHECK(once, "%d threads: a chunk run twice", threads);
        free(j);
    }
    interrupt_after = -1;
}

int main(void)
{
    every_chunk_once();
    interrupt_stops_every_thread();
    if (failures) {
        printf("%d failures\n", failures);
        return 1;
    }
    printf("thread pool: as expected\n");
    return 0;
}
