// The allocation counter and the allocation functions it fails.
//
// Both builds replace the whole global operator new/delete family (plain,
// array, nothrow, aligned, sized): a counted failure throws std::bad_alloc,
// or returns null from the nothrow forms.  The C allocations are caught
// differently in the two builds, because AddressSanitizer owns malloc and a
// second definition would collide with its allocator:
//
// - the g++ build (KXNET_SWEEP_INTERPOSE) replaces malloc, calloc and
//   realloc for the whole process, forwarding to glibc's __libc_* entry
//   points, so allocations inside the C library (fopen, opendir, scandir,
//   strdup, getline) fail too;
// - the sanitizer build links the test with -Wl,--wrap for malloc, calloc,
//   realloc, strdup and strndup, which redirects those calls made by the
//   library's own objects (and the test's) to the __wrap_* functions here;
//   the C library's calls that allocate inside (fopen, fdopen, opendir,
//   scandir) are wrapped as well and fail with ENOMEM as one allocation.
//   ASan's allocator hooks only observe and cannot fail an allocation.
//
// Only the arming thread counts; a forked child stops counting at once.
// To see who made a failing allocation, run one case under a debugger with
// KXNET_SWEEP_TRAP=N: the failure of allocation N then raises SIGTRAP.
#include "alloc_fail.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <new>
#include <csignal>
#include <pthread.h>

namespace kxsweep {

namespace {

thread_local bool counting = false;
thread_local bool fired = false;
thread_local uint64_t seen = 0;
thread_local uint64_t target = 0;
thread_local uint64_t trap_at = 0;

void stop_in_child() { counting = false; }

[[maybe_unused]] const int atfork_registered = pthread_atfork(nullptr, nullptr, stop_in_child);

} // namespace

// True when the allocation about to be made is the one to fail.
bool fail_this_allocation() {
    if (!counting) return false;
    if (++seen != target) return false;
    fired = true;
    if (seen == trap_at) raise(SIGTRAP);
    return true;
}

void arm(uint64_t fail_at) {
    seen = 0;
    fired = false;
    target = fail_at;
    const char *trap = getenv("KXNET_SWEEP_TRAP");
    trap_at = trap != nullptr ? strtoull(trap, nullptr, 10) : 0;
    counting = true;
}

bool disarm() {
    counting = false;
    return fired;
}

uint64_t counted() { return seen; }

} // namespace kxsweep

using kxsweep::fail_this_allocation;

#ifdef KXNET_SWEEP_INTERPOSE

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);

void *malloc(size_t size) noexcept {
    if (fail_this_allocation()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) noexcept {
    if (fail_this_allocation()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_calloc(count, size);
}

void *realloc(void *block, size_t size) noexcept {
    if (size != 0 && fail_this_allocation()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(block, size);
}
}

namespace {
void *raw_alloc(size_t size) { return __libc_malloc(size == 0 ? 1 : size); }
} // namespace

#else

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
char *__real_strdup(const char *s);
char *__real_strndup(const char *s, size_t n);
FILE *__real_fopen(const char *path, const char *mode);
FILE *__real_fdopen(int fd, const char *mode);
DIR *__real_opendir(const char *path);
int __real_scandir(const char *dir, struct dirent ***list, int (*select)(const struct dirent *),
                   int (*compare)(const struct dirent **, const struct dirent **));

#define KXSWEEP_FAIL_WITH(value)                                                                   \
    if (fail_this_allocation()) {                                                                  \
        errno = ENOMEM;                                                                            \
        return value;                                                                              \
    }

void *__wrap_malloc(size_t size) {
    KXSWEEP_FAIL_WITH(nullptr)
    return __real_malloc(size);
}

void *__wrap_calloc(size_t count, size_t size) {
    KXSWEEP_FAIL_WITH(nullptr)
    return __real_calloc(count, size);
}

void *__wrap_realloc(void *block, size_t size) {
    if (size != 0) {
        KXSWEEP_FAIL_WITH(nullptr)
    }
    return __real_realloc(block, size);
}

char *__wrap_strdup(const char *s) {
    KXSWEEP_FAIL_WITH(nullptr)
    return __real_strdup(s);
}

char *__wrap_strndup(const char *s, size_t n) {
    KXSWEEP_FAIL_WITH(nullptr)
    return __real_strndup(s, n);
}

FILE *__wrap_fopen(const char *path, const char *mode) {
    KXSWEEP_FAIL_WITH(nullptr)
    return __real_fopen(path, mode);
}

FILE *__wrap_fdopen(int fd, const char *mode) {
    KXSWEEP_FAIL_WITH(nullptr)
    return __real_fdopen(fd, mode);
}

DIR *__wrap_opendir(const char *path) {
    KXSWEEP_FAIL_WITH(nullptr)
    return __real_opendir(path);
}

int __wrap_scandir(const char *dir, struct dirent ***list, int (*select)(const struct dirent *),
                   int (*compare)(const struct dirent **, const struct dirent **)) {
    KXSWEEP_FAIL_WITH(-1)
    return __real_scandir(dir, list, select, compare);
}
}

namespace {
void *raw_alloc(size_t size) { return __real_malloc(size == 0 ? 1 : size); }
} // namespace

#endif

namespace {

void *counted_new(size_t size) {
    if (fail_this_allocation()) throw std::bad_alloc();
    void *block = raw_alloc(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void *counted_new_nothrow(size_t size) noexcept {
    if (fail_this_allocation()) return nullptr;
    return raw_alloc(size);
}

void *aligned_block(size_t size, std::align_val_t alignment) noexcept {
    size_t align = static_cast<size_t>(alignment);
    if (align < sizeof(void *)) align = sizeof(void *);
    void *block = nullptr;
    if (posix_memalign(&block, align, size == 0 ? 1 : size) != 0) return nullptr;
    return block;
}

void *counted_aligned_new(size_t size, std::align_val_t alignment) {
    if (fail_this_allocation()) throw std::bad_alloc();
    void *block = aligned_block(size, alignment);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void *counted_aligned_new_nothrow(size_t size, std::align_val_t alignment) noexcept {
    if (fail_this_allocation()) return nullptr;
    return aligned_block(size, alignment);
}

} // namespace

void *operator new(size_t size) { return counted_new(size); }
void *operator new[](size_t size) { return counted_new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return counted_new_nothrow(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return counted_new_nothrow(size); }
void *operator new(size_t size, std::align_val_t a) { return counted_aligned_new(size, a); }
void *operator new[](size_t size, std::align_val_t a) { return counted_aligned_new(size, a); }
void *operator new(size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
    return counted_aligned_new_nothrow(size, a);
}
void *operator new[](size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
    return counted_aligned_new_nothrow(size, a);
}

void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
