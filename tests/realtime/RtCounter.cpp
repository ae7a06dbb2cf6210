// Preloaded into the real-time check: counts calls into the C library's
// allocation, lock, sleep and file functions while armed, and forwards
// every call to the real function. rt_arm and rt_calls are found by the
// checker with dlsym; the first call counted is kept by name.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

std::atomic<bool> armed{false};
std::atomic<long> calls{0};
std::atomic<const char*> first{nullptr};

void count(const char* name) {
    if (!armed.load(std::memory_order_relaxed)) return;
    if (calls.fetch_add(1) == 0) first.store(name);
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using Lock = int (*)(pthread_mutex_t*);
using Sleep = int (*)(const timespec*, timespec*);
using ClockSleep = int (*)(clockid_t, int, const timespec*, timespec*);
using USleep = int (*)(useconds_t);
using Open = FILE* (*)(const char*, const char*);
using OpenFd = int (*)(const char*, int, ...);
using Write = ssize_t (*)(int, const void*, size_t);
Lock realLock, realTryLock;
Sleep realNanosleep;
ClockSleep realClockNanosleep;
USleep realUsleep;
Open realFopen;
OpenFd realOpen;
Write realWrite;

// Resolved before anything is armed: dlsym may allocate.
__attribute__((constructor)) void resolve() {
    realLock = next<Lock>("pthread_mutex_lock");
    realTryLock = next<Lock>("pthread_mutex_trylock");
    realNanosleep = next<Sleep>("nanosleep");
    realClockNanosleep = next<ClockSleep>("clock_nanosleep");
    realUsleep = next<USleep>("usleep");
    realFopen = next<Open>("fopen");
    realOpen = next<OpenFd>("open");
    realWrite = next<Write>("write");
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void rt_arm(int on) {
    if (on != 0) {
        calls = 0;
        first = nullptr;
    }
    armed = on != 0;
}
__attribute__((visibility("default"))) long rt_calls(const char** name) {
    *name = first.load();
    return calls.load();
}

void* malloc(std::size_t n) {
    count("malloc");
    return __libc_malloc(n);
}
void* calloc(std::size_t a, std::size_t b) {
    count("calloc");
    return __libc_calloc(a, b);
}
void* realloc(void* p, std::size_t n) {
    count("realloc");
    return __libc_realloc(p, n);
}
void free(void* p) {
    if (p != nullptr) count("free");
    __libc_free(p);
}
int posix_memalign(void** out, std::size_t align, std::size_t n) {
    count("posix_memalign");
    void* p = __libc_memalign(align, n);
    if (p == nullptr) return 12;  // ENOMEM
    *out = p;
    return 0;
}
void* aligned_alloc(std::size_t align, std::size_t n) {
    count("aligned_alloc");
    return __libc_memalign(align, n);
}
int pthread_mutex_lock(pthread_mutex_t* m) {
    count("pthread_mutex_lock");
    return realLock(m);
}
int pthread_mutex_trylock(pthread_mutex_t* m) {
    count("pthread_mutex_trylock");
    return realTryLock(m);
}
int nanosleep(const timespec* t, timespec* left) {
    count("nanosleep");
    return realNanosleep(t, left);
}
int clock_nanosleep(clockid_t c, int flags, const timespec* t, timespec* left) {
    count("clock_nanosleep");
    return realClockNanosleep(c, flags, t, left);
}
int usleep(useconds_t us) {
    count("usleep");
    return realUsleep(us);
}
FILE* fopen(const char* path, const char* mode) {
    count("fopen");
    return realFopen(path, mode);
}
int open(const char* path, int flags, ...) {
    count("open");
    va_list ap;
    va_start(ap, flags);
    const int mode = (flags & O_CREAT) != 0 ? va_arg(ap, int) : 0;
    va_end(ap);
    return realOpen(path, flags, mode);
}
ssize_t write(int fd, const void* data, size_t n) {
    count("write");
    return realWrite(fd, data, n);
}

}  // extern "C"
