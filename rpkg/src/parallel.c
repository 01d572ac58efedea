/* Work split across threads.
 *
 * Threads take chunks from a shared counter, so a fast thread takes more of
 * them; which thread does a chunk never changes what the chunk computes.
 * The calling thread works too, and is the only one that talks to R: it
 * looks for a user interrupt between its chunks, inside R_UnwindProtect, so
 * that when R jumps out of the call the other threads are stopped and
 * joined and every buffer is freed on the way.
 *
 * POSIX: worker threads block every signal, since an interrupt is R's main
 * thread's to receive. Windows: Win32 threads (_beginthreadex, which sets up
 * the C runtime for the thread), so the library needs no thread library of
 * its own (winpthreads would be one more DLL or static runtime to carry);
 * Ctrl+C reaches R as a flag its main thread reads, and no signal reaches a
 * worker. */
#include <stdatomic.h>
#include <stdlib.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <process.h>
typedef HANDLE thread_t;
#else
#include <pthread.h>
#include <signal.h>
#include <time.h>
typedef pthread_t thread_t;
#endif

#include <R.h>
#include <Rinternals.h>

#include "parallel.h"

/* The most threads a job starts, whatever it is asked for. */
#define MAX_THREADS 256

/* How often the calling thread looks for a user interrupt. */
#define CHECK_SECONDS 0.005

typedef struct pool {
    ptrdiff_t n;
    atomic_ptrdiff_t next;  /* the next chunk not yet taken */
    atomic_int stop;        /* set on an interrupt: take no more chunks */
    orvel_chunk_fn *fn;
    void *job;
    size_t scratch;
    thread_t tid[MAX_THREADS];
    int started;            /* worker threads running */
    double *own;            /* the calling thread's scratch */
} pool;

/* Seconds on a monotonic clock. */
static double seconds(void)
{
#if defined(_WIN32)
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return (double) t.QuadPart / (double) f.QuadPart;
#else
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
#endif
}

/* Takes chunks until none are left (or the job is stopped). */
static void take(pool *p, double *scratch, int main_thread)
{
    double last = main_thread ? seconds() : 0, now;
    while (!atomic_load_explicit(&p->stop, memory_order_relaxed)) {
        ptrdiff_t k = atomic_fetch_add(&p->next, 1);
        if (k >= p->n) break;
        p->fn(p->job, k, scratch);
        if (main_thread && (now = seconds()) - last > CHECK_SECONDS) {
            R_CheckUserInterrupt();  /* may jump out: see finish() */
            last = now;
        }
    }
}

static void work(pool *p)
{
    /* No scratch, no work: the other threads take this one's chunks. */
    double *s = p->scratch ? malloc(p->scratch * sizeof(double)) : NULL;
    if (s || !p->scratch) take(p, s, 0);
    free(s);
}

#if defined(_WIN32)
static unsigned __stdcall worker(void *arg)
{
    work(arg);
    return 0;
}

/* Starts a worker: 1 on success. */
static int start(thread_t *t, pool *p)
{
    uintptr_t h = _beginthreadex(NULL, 0, worker, p, 0, NULL);
    if (!h) return 0;
    *t = (HANDLE) h;
    return 1;
}

static void join(thread_t t)
{
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

/* Starts up to n workers into p->tid, counted in p->started. */
static void start_workers(pool *p, int n)
{
    for (int i = 0; i < n; i++)
        if (start(&p->tid[p->started], p)) p->started++;
}
#else
static void *worker(void *arg)
{
    work(arg);
    return NULL;
}

static void join(thread_t t)
{
    pthread_join(t, NULL);
}

/* Starts up to n workers into p->tid, counted in p->started, with every
 * signal blocked in them. */
static void start_workers(pool *p, int n)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    for (int i = 0; i < n; i++)
        if (pthread_create(&p->tid[p->started], NULL, worker, p) == 0) p->started++;
    pthread_sigmask(SIG_SETMASK, &old, NULL);
}
#endif

static SEXP run(void *arg)
{
    pool *p = arg;
    take(p, p->own, 1);
    return R_NilValue;
}

/* After the run, or on the way out of an interrupt: stop and join the
 * workers, free the scratch. */
static void finish(void *arg, Rboolean jump)
{
    pool *p = arg;
    if (jump) atomic_store(&p->stop, 1);
    for (int i = 0; i < p->started; i++) join(p->tid[i]);
    p->started = 0;
    free(p->own);
    p->own = NULL;
}

void orvel_parallel(ptrdiff_t n, int threads, size_t scratch, orvel_chunk_fn *fn, void *job)
{
    if (n <= 0) return;
    pool *p = (pool *) R_alloc(1, sizeof(pool));
    p->n = n;
    atomic_init(&p->next, 0);
    atomic_init(&p->stop, 0);
    p->fn = fn;
    p->job = job;
    p->scratch = scratch;
    p->started = 0;
    p->own = NULL;
    if (scratch && !(p->own = malloc(scratch * sizeof(double))))
        error("orvel: cannot allocate %.0f bytes of scratch", (double) scratch * sizeof(double));
    if (threads > MAX_THREADS) threads = MAX_THREADS;
    if (threads > n) threads = (int) n;
    /* A thread that cannot be started leaves its share to the others. */
    if (threads > 1) start_workers(p, threads - 1);
    SEXP cont = PROTECT(R_MakeUnwindCont());
    R_UnwindProtect(run, p, finish, p, cont);
    UNPROTECT(1);
}

void orvel_chunks_init(orvel_chunks *c, ptrdiff_t ny, ptrdiff_t ix0, ptrdiff_t ix1,
                       ptrdiff_t mincols, ptrdiff_t rows, ptrdiff_t nodes)
{
    c->ny = ny;
    c->ix0 = ix0;
    c->ix1 = ix1;
    if (mincols < 1) mincols = 1;
    if (rows < 1 || rows > ORVEL_CHUNK) rows = ORVEL_CHUNK;
    if (nodes < 1 || nodes > ORVEL_CHUNK) nodes = ORVEL_CHUNK;
    c->rows = rows;
    if (ny > rows) {
        c->nseg = (ny + rows - 1) / rows;
        c->cols = mincols;
    } else {
        c->nseg = 1;
        c->cols = ny > 0 ? nodes / ny : 1;
        if (c->cols < mincols) c->cols = mincols;
    }
    c->n = (ix1 - ix0 + c->cols - 1) / c->cols * c->nseg;
}

void orvel_chunk(const orvel_chunks *c, ptrdiff_t k, ptrdiff_t *jx0, ptrdiff_t *jx1,
                 ptrdiff_t *jy0, ptrdiff_t *jy1)
{
    ptrdiff_t g = k / c->nseg, seg = k % c->nseg;
    *jx0 = c->ix0 + g * c->cols;
    *jx1 = *jx0 + c->cols < c->ix1 ? *jx0 + c->cols : c->ix1;
    *jy0 = seg * c->rows;
    *jy1 = *jy0 + c->rows < c->ny ? *jy0 + c->rows : c->ny;
}
