/* Benchmarks of the OS abstraction layer against the C library and POSIX.
 *
 * Every benchmark comes in a pair named "<what>/module/<arg>" and
 * "<what>/reference/<arg>", run by the same binary in the same process, so
 * that bench/ratios.js can set the two side by side.  The reference
 * functions are called through volatile pointers: the compiler can neither
 * inline them nor drop a call whose result looks unused, so both sides pay
 * for one real out-of-line call, as the module's callers do. */
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <semaphore.h>
#include <string.h>
#include <sys/random.h>

#include <string>
#include <vector>

#include "osa/osa.h"

namespace {

using MemcpyFn = void *(*)(void *, const void *, size_t);
using MemcmpFn = int (*)(const void *, const void *, size_t);
MemcpyFn volatile libcMemcpy = memcpy;
MemcpyFn volatile libcMemmove = memmove;
MemcmpFn volatile libcMemcmp = memcmp;

constexpr int64_t kSizes[] = {64, 4096, 1 << 20};

/* Two buffers of n bytes with the same contents, 64-byte aligned. */
struct Buffers {
    explicit Buffers(size_t n) : a(n + 64, 0x5A), b(n + 64, 0x5A), size(n) {}
    uint8_t *first() { return align(a.data()); }
    uint8_t *second() { return align(b.data()); }
    static uint8_t *align(uint8_t *p) {
        return reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(p) + 63) & ~uintptr_t{63});
    }
    std::vector<uint8_t> a, b;
    size_t size;
};

void memcpyModule(benchmark::State &state) {
    Buffers buf(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            OSA_memcpy(buf.first(), buf.second(), static_cast<uint32_t>(buf.size)));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void memcpyReference(benchmark::State &state) {
    Buffers buf(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(libcMemcpy(buf.first(), buf.second(), buf.size));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

/* memmove over overlapping areas, the destination 64 bytes above the source,
 * so that the copy must run backwards. */
void memmoveModule(benchmark::State &state) {
    Buffers buf(static_cast<size_t>(state.range(0)) + 64);
    const auto n = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(OSA_memmove(buf.first() + 64, buf.first(), n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void memmoveReference(benchmark::State &state) {
    Buffers buf(static_cast<size_t>(state.range(0)) + 64);
    const auto n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(libcMemmove(buf.first() + 64, buf.first(), n));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

/* memcmp of two equal buffers: the whole length is compared. */
void memcmpModule(benchmark::State &state) {
    Buffers buf(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            OSA_memcmp(buf.first(), buf.second(), static_cast<uint32_t>(buf.size)));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void memcmpReference(benchmark::State &state) {
    Buffers buf(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(libcMemcmp(buf.first(), buf.second(), buf.size));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

/* One post and one wait per iteration, uncontended: the count goes 0, 1, 0. */
void semaphoreModule(benchmark::State &state) {
    Semx semx;
    if (semx_init(&semx, 0, 0) != 0) {
        state.SkipWithError("semx_init failed");
        return;
    }
    for (auto _ : state) {
        semx_post(&semx);
        semx_wait(&semx);
    }
    semx_destroy(&semx);
}

void semaphoreReference(benchmark::State &state) {
    sem_t sem;
    if (sem_init(&sem, 0, 0) != 0) {
        state.SkipWithError("sem_init failed");
        return;
    }
    for (auto _ : state) {
        sem_post(&sem);
        sem_wait(&sem);
    }
    sem_destroy(&sem);
}

/* One read lock and its unlock per iteration, uncontended. */
void rwlockModule(benchmark::State &state) {
    OsaRwLock rw;
    if (OSA_rw_init(&rw) != 0) {
        state.SkipWithError("OSA_rw_init failed");
        return;
    }
    for (auto _ : state) {
        OSA_rw_rdlock(&rw);
        OSA_rw_unlock(&rw);
    }
    OSA_rw_destroy(&rw);
}

void rwlockReference(benchmark::State &state) {
    pthread_rwlock_t rw = PTHREAD_RWLOCK_INITIALIZER;
    for (auto _ : state) {
        pthread_rwlock_rdlock(&rw);
        pthread_rwlock_unlock(&rw);
    }
    pthread_rwlock_destroy(&rw);
}

/* Seed material: the layer reads the random device and mixes in clocks and
 * process state; the reference is the kernel's generator alone. */
void randomModule(benchmark::State &state) {
    std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        OSA_GetRandom(buffer.data(), static_cast<uint32_t>(buffer.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void randomReference(benchmark::State &state) {
    std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        if (getrandom(buffer.data(), buffer.size(), 0) != static_cast<ssize_t>(buffer.size())) {
            state.SkipWithError("getrandom failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

using BenchFn = void (*)(benchmark::State &);

void registerPair(const std::string &what, BenchFn module, BenchFn reference,
                  const std::vector<int64_t> &args) {
    for (const int64_t arg : args) {
        // The argument, when there is one, is appended to the name by Arg().
        std::string moduleName = what;
        moduleName.append("/module");
        std::string referenceName = what;
        referenceName.append("/reference");
        auto *m = benchmark::RegisterBenchmark(moduleName.c_str(), module);
        auto *r = benchmark::RegisterBenchmark(referenceName.c_str(), reference);
        if (arg != 0) {
            m->Arg(arg);
            r->Arg(arg);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<int64_t> sizes(std::begin(kSizes), std::end(kSizes));
    registerPair("memcpy", memcpyModule, memcpyReference, sizes);
    registerPair("memmove", memmoveModule, memmoveReference, sizes);
    registerPair("memcmp", memcmpModule, memcmpReference, sizes);
    registerPair("semaphore_post_wait", semaphoreModule, semaphoreReference, {0});
    registerPair("rwlock_rdlock_unlock", rwlockModule, rwlockReference, {0});
    registerPair("random", randomModule, randomReference, {16, 256});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
