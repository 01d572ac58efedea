// Memory the libraries must stay inside: arrays placed flush against an
// inaccessible page, so that a single element read or written past either
// end faults at once.
#ifndef ORVEL_TEST_GUARDED_H
#define ORVEL_TEST_GUARDED_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
// The few calls used below, on Windows' virtual memory functions: a fault is
// an access violation there, which ends the program just the same.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#undef small
#define PROT_NONE PAGE_NOACCESS
#define PROT_READ PAGE_READONLY
#define PROT_READ_WRITE PAGE_READWRITE
#define MAP_FAILED nullptr
inline void* mapPages(size_t size, DWORD prot)
{
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, prot);
}
inline int mprotect(void* at, size_t size, DWORD prot)
{
    DWORD old;
    return VirtualProtect(at, size, prot, &old) ? 0 : -1;
}
inline void unmapPages(void* at, size_t) { VirtualFree(at, 0, MEM_RELEASE); }
inline size_t pageSize()
{
    static const size_t page = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return (size_t)info.dwPageSize;
    }();
    return page;
}
#else
#include <sys/mman.h>
#include <unistd.h>
#define PROT_READ_WRITE (PROT_READ | PROT_WRITE)
inline void* mapPages(size_t size, int prot)
{
    return mmap(nullptr, size, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}
inline void unmapPages(void* at, size_t size) { munmap(at, size); }
inline size_t pageSize()
{
    static const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return page;
}
#endif

enum class Side { Left, Right };

// n doubles in whole pages between two PROT_NONE pages.  Side::Left puts the
// first element at the start of the first usable page, Side::Right the last
// element at the end of the last one.  The usable bytes around the array are
// filled with a pattern, so a stray write on the side away from the guard
// shows as well.
class Guarded {
public:
    static constexpr unsigned char kPattern = 0xA5;

    Guarded(size_t n, Side side) : n_(n)
    {
        const size_t page = pageSize();
        usable_ = (n * sizeof(double) + page - 1) / page * page;
        if (usable_ == 0)
            usable_ = page;
        size_ = usable_ + 2 * page;
        void* m = mapPages(size_, PROT_READ_WRITE);
        if (m == MAP_FAILED)
            std::abort();
        base_ = static_cast<unsigned char*>(m);
        if (mprotect(base_, page, PROT_NONE) != 0 ||
            mprotect(base_ + page + usable_, page, PROT_NONE) != 0)
            std::abort();
        std::memset(base_ + page, kPattern, usable_);
        unsigned char* start = base_ + page;
        if (side == Side::Right)
            start += usable_ - n * sizeof(double);
        array_ = reinterpret_cast<double*>(start);
    }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    ~Guarded() { unmapPages(base_, size_); }

    double* get() const { return array_; }
    size_t size() const { return n_; }

    // The array becomes read-only: a write to an input faults too.
    void readOnly()
    {
        if (mprotect(base_ + pageSize(), usable_, PROT_READ) != 0)
            std::abort();
    }

    // Whether every usable byte outside the array still holds the pattern.
    bool surroundingsIntact() const
    {
        const unsigned char* lo = base_ + pageSize();
        const unsigned char* a = reinterpret_cast<const unsigned char*>(array_);
        const unsigned char* hi = lo + usable_;
        for (const unsigned char* p = lo; p < a; ++p)
            if (*p != kPattern)
                return false;
        for (const unsigned char* p = a + n_ * sizeof(double); p < hi; ++p)
            if (*p != kPattern)
                return false;
        return true;
    }

private:
    size_t n_ = 0, usable_ = 0, size_ = 0;
    unsigned char* base_ = nullptr;
    double* array_ = nullptr;
};

// Pages nobody may touch, for arguments that must be neither read nor written.
class Inaccessible {
public:
    explicit Inaccessible(size_t pages = 4) : size_(pages * pageSize())
    {
        void* m = mapPages(size_, PROT_NONE);
        if (m == MAP_FAILED)
            std::abort();
        base_ = static_cast<unsigned char*>(m);
    }
    Inaccessible(const Inaccessible&) = delete;
    Inaccessible& operator=(const Inaccessible&) = delete;
    ~Inaccessible() { unmapPages(base_, size_); }

    // A double pointer at byte offset `at` (a multiple of 8) into the pages.
    double* at(size_t at) const { return reinterpret_cast<double*>(base_ + at); }

private:
    size_t size_;
    unsigned char* base_;
};

#endif
