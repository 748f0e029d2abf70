// Preloaded into a program under test (LD_PRELOAD), this makes operator new of the main
// thread throw std::bad_alloc at its Nth call, counted from main's first setlocale call
// (ktdiag's first step), so static initialisation is never hit. N comes from
// KT_TEST_FAIL_NEW_AT; 0 only counts. With KT_TEST_COUNT_NEW set, the count is printed
// on standard error at exit as "allocations: <n>".

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <new>
#include <pthread.h>

namespace {

std::atomic<bool> g_armed{false};
std::atomic<long> g_count{0};
long g_failAt = 0;
pthread_t g_mainThread;

void report()
{
    std::fprintf(stderr, "allocations: %ld\n", g_count.load());
}

__attribute__((constructor)) void start()
{
    const char* at = std::getenv("KT_TEST_FAIL_NEW_AT");
    g_failAt = at != nullptr ? std::atol(at) : 0;
    g_mainThread = pthread_self();
    if (std::getenv("KT_TEST_COUNT_NEW") != nullptr) {
        std::atexit(report);
    }
}

} // namespace

extern "C" char* setlocale(int category, const char* locale)
{
    using Real = char* (*)(int, const char*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "setlocale"));
    g_armed = true;
    return real(category, locale);
}

void* operator new(std::size_t size)
{
    if (g_armed && pthread_equal(pthread_self(), g_mainThread) && ++g_count == g_failAt) {
        throw std::bad_alloc();
    }
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
