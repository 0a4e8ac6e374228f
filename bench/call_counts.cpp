// The interposers: the executable defines the C library's names and exports
// them, so the core (linked in), libstdc++ and the plugins all call these,
// which count and forward to the C library's own.
#include "call_counts.h"

#include <atomic>
#include <cstddef>
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

struct Counters {
    std::atomic<uint64_t> heap{0}, locks{0}, signals{0}, waits{0};
};
Counters g_counts[3];         ///< by role; relaxed: read after the counted work is over
std::atomic<bool> g_on{false}; ///< relaxed: switched between measured phases
thread_local int t_role = 1;

inline void add(std::atomic<uint64_t> Counters::*which) noexcept {
    if (g_on.load(std::memory_order_relaxed)) (g_counts[t_role].*which).fetch_add(1, std::memory_order_relaxed);
}

template <typename Fn>
Fn real(char const* name) noexcept {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}
/// The condition variables of today's ABI, never the compatibility versions.
template <typename Fn>
Fn realCond(char const* name) noexcept {
    void* f = ::dlvsym(RTLD_NEXT, name, "GLIBC_2.3.2");
    return reinterpret_cast<Fn>(f ? f : ::dlsym(RTLD_NEXT, name));
}

} // namespace

namespace dvr::bench {

void markThread(Role role) noexcept { t_role = static_cast<int>(role); }

void startCounting() noexcept {
    for (auto& c : g_counts)
        for (auto* a : {&c.heap, &c.locks, &c.signals, &c.waits}) a->store(0, std::memory_order_relaxed);
    g_on.store(true, std::memory_order_relaxed);
}

CallCounts counted(Role role) noexcept {
    Counters const& c = g_counts[static_cast<int>(role)];
    return {c.heap.load(std::memory_order_relaxed), c.locks.load(std::memory_order_relaxed),
            c.signals.load(std::memory_order_relaxed), c.waits.load(std::memory_order_relaxed)};
}

CallCounts stopCounting(Role role) noexcept {
    g_on.store(false, std::memory_order_relaxed);
    return counted(role);
}

} // namespace dvr::bench

extern "C" {

void* malloc(size_t n) {
    add(&Counters::heap);
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    add(&Counters::heap);
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    add(&Counters::heap);
    return __libc_realloc(p, n);
}
void free(void* p) {
    if (p) add(&Counters::heap);
    __libc_free(p);
}
void* aligned_alloc(size_t a, size_t n) {
    add(&Counters::heap);
    return __libc_memalign(a, n);
}
void* memalign(size_t a, size_t n) {
    add(&Counters::heap);
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
    add(&Counters::heap);
    void* p = __libc_memalign(a, n);
    if (!p) return 12; // ENOMEM
    *out = p;
    return 0;
}

int pthread_mutex_lock(pthread_mutex_t* m) {
    static auto const f = real<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    add(&Counters::locks);
    return f(m);
}
int pthread_mutex_trylock(pthread_mutex_t* m) {
    static auto const f = real<int (*)(pthread_mutex_t*)>("pthread_mutex_trylock");
    int const r = f(m);
    if (r == 0) add(&Counters::locks);
    return r;
}
int pthread_cond_signal(pthread_cond_t* c) {
    static auto const f = realCond<int (*)(pthread_cond_t*)>("pthread_cond_signal");
    add(&Counters::signals);
    return f(c);
}
int pthread_cond_broadcast(pthread_cond_t* c) {
    static auto const f = realCond<int (*)(pthread_cond_t*)>("pthread_cond_broadcast");
    add(&Counters::signals);
    return f(c);
}
int pthread_cond_wait(pthread_cond_t* c, pthread_mutex_t* m) {
    static auto const f = realCond<int (*)(pthread_cond_t*, pthread_mutex_t*)>("pthread_cond_wait");
    add(&Counters::waits);
    return f(c, m);
}
int pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m, timespec const* t) {
    static auto const f = realCond<int (*)(pthread_cond_t*, pthread_mutex_t*, timespec const*)>("pthread_cond_timedwait");
    add(&Counters::waits);
    return f(c, m, t);
}
int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock, timespec const* t) {
    static auto const f =
        real<int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, timespec const*)>("pthread_cond_clockwait");
    add(&Counters::waits);
    return f(c, m, clock, t);
}

} // extern "C"
