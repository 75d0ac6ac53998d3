/* Benchmarks of the OS abstraction layer against the C library and POSIX.
 *
 * At a few nanoseconds a call, on a machine that other work shares, two
 * benchmarks timed one after the other measure the machine's mood as much as
 * the code.  So each pair is measured as one benchmark that alternates
 * between the two sides in short blocks:
 *
 * - a block is k calls of one side, timed on the monotonic clock, with k
 *   chosen once so that a module block and a reference block together take
 *   about 20 microseconds; blocks of the module and of the reference follow
 *   each other (in alternating order), so any load from other processes falls
 *   on both sides alike, and a block hit by preemption is one outlier among
 *   thousands;
 * - each repetition reports the median time per call of each side and the
 *   median of the block-by-block ratio (reference time / module time, so
 *   1.00 is equal and below 1 slower); the repetitions (bench/run asks for
 *   several, in random order) give the spread: quartiles and extremes;
 * - both sides call through a function pointer read from a volatile, so the
 *   compiler can neither inline one side nor drop a call, and both pay for
 *   the same indirect call, as the module's callers do through the dynamic
 *   symbol table; the loops of both sides start on a cache line
 *   (bench/CMakeLists.txt);
 * - both sides work on the same buffers and lock objects, allocated once at
 *   page alignment, with the destination 2 KiB off the source's page offset
 *   so that no side gains or loses by 4 KiB aliasing.
 *
 * At the end a table sets the pairs against their targets (to standard
 * error, so that standard output stays the report in the format asked for,
 * JSON for bench/run). */
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "osa/osa.h"

namespace {

constexpr double kMinTime = 0.05;  // seconds per repetition
constexpr int64_t kSizes[] = {64, 4096, 1 << 20};
constexpr size_t kPage = 4096;
constexpr size_t kLargest = 1 << 20;

/* ---- Shared buffers ---------------------------------------------------- */

/* Source and destination (or the two compared areas) for every memory pair,
 * filled with the same byte so that compares run the whole length.  The
 * destination starts 2 MiB + 2 KiB after the source. */
struct Arena {
    uint8_t *source;
    uint8_t *destination;
};

Arena &SharedArena() {
    // Released when the process ends.
    static std::unique_ptr<uint8_t, decltype(&free)> storage(nullptr, free);
    static Arena arena = [] {
        constexpr size_t kSpan = 2 * kLargest;
        const size_t total = kSpan + kPage / 2 + kLargest + kPage;
        storage.reset(static_cast<uint8_t *>(aligned_alloc(kPage, total)));
        if (storage == nullptr) {
            fprintf(stderr, "bench_osa: out of memory\n");
            exit(1);
        }
        memset(storage.get(), 0x5A, total);
        return Arena{storage.get(), storage.get() + kSpan + kPage / 2};
    }();
    return arena;
}

/* ---- Paired measurement ------------------------------------------------ */

constexpr double kBlockPairNs = 20000;  // a module block and a reference block

/* Nanoseconds per call of k calls of one side. */
template <typename Call>
[[gnu::noinline]] double TimeBlock(const Call &call, int64_t k) {
    const auto start = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < k; ++i) {
        call();
    }
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / static_cast<double>(k);
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    const size_t middle = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(middle), v.end());
    return v[middle];
}

/* Alternates blocks of the two sides; see the comment at the top. */
template <typename ModuleCall, typename ReferenceCall>
void PairBench(benchmark::State &state, const ModuleCall &module, const ReferenceCall &reference) {
    // Warm both sides, then double k until a pair of blocks is long enough.
    int64_t k = 1;
    while (k < (int64_t{1} << 24)) {
        const double pair =
            (TimeBlock(module, k) + TimeBlock(reference, k)) * static_cast<double>(k);
        if (pair >= kBlockPairNs) {
            break;
        }
        k *= 2;
    }
    std::vector<double> moduleNs, referenceNs, ratios;
    bool moduleFirst = true;
    for (auto _ : state) {
        double m, r;
        if (moduleFirst) {
            m = TimeBlock(module, k);
            r = TimeBlock(reference, k);
        } else {
            r = TimeBlock(reference, k);
            m = TimeBlock(module, k);
        }
        moduleFirst = !moduleFirst;
        moduleNs.push_back(m);
        referenceNs.push_back(r);
        ratios.push_back(r / m);
    }
    state.counters["module_ns"] = Median(moduleNs);
    state.counters["reference_ns"] = Median(referenceNs);
    state.counters["ratio"] = Median(ratios);
    state.counters["calls_per_block"] = static_cast<double>(k);
}

/* ---- Memory pairs ------------------------------------------------------ */

using ModuleCopy = void *(*)(void *, const void *, uint32_t);
using LibraryCopy = void *(*)(void *, const void *, size_t);
using ModuleCompare = int32_t (*)(const void *, const void *, uint32_t);
using LibraryCompare = int (*)(const void *, const void *, size_t);

/* The C library's functions and the module's, read through volatile pointers
 * so that the compiler knows nothing about what is called. */
LibraryCopy volatile libraryMemcpy = memcpy;
LibraryCopy volatile libraryMemmove = memmove;
LibraryCompare volatile libraryMemcmp = memcmp;
ModuleCopy volatile moduleMemcpy = OSA_memcpy;
ModuleCopy volatile moduleMemmove = OSA_memmove;
ModuleCompare volatile moduleMemcmp = OSA_memcmp;

/* n bytes from the source area to `to`, by each side's function. */
void TransferPair(benchmark::State &state, ModuleCopy module, LibraryCopy library, uint8_t *to) {
    const uint8_t *from = SharedArena().source;
    const auto n = static_cast<size_t>(state.range(0));
    PairBench(
        state,
        [&] {
            benchmark::DoNotOptimize(module(to, from, static_cast<uint32_t>(n)));
            benchmark::ClobberMemory();
        },
        [&] {
            benchmark::DoNotOptimize(library(to, from, n));
            benchmark::ClobberMemory();
        });
}

/* Copies n bytes from the source to the destination. */
void CopyPair(benchmark::State &state) {
    TransferPair(state, moduleMemcpy, libraryMemcpy, SharedArena().destination);
}

/* Moves n bytes 64 bytes up within the source area: the areas overlap with
 * the destination above, so the move must run backwards. */
void MovePair(benchmark::State &state) {
    TransferPair(state, moduleMemmove, libraryMemmove, SharedArena().source + 64);
}

/* Compares two equal areas of n bytes: the whole length is read. */
void ComparePair(benchmark::State &state) {
    const Arena &arena = SharedArena();
    const auto n = static_cast<size_t>(state.range(0));
    const ModuleCompare module = moduleMemcmp;
    const LibraryCompare library = libraryMemcmp;
    PairBench(
        state,
        [&] {
            benchmark::DoNotOptimize(
                module(arena.source, arena.destination, static_cast<uint32_t>(n)));
        },
        [&] { benchmark::DoNotOptimize(library(arena.source, arena.destination, n)); });
}

/* ---- Locks ------------------------------------------------------------- */

/* Lock objects of both sides, each at the start of its own cache lines. */
struct alignas(128) Locks {
    Semx semx;
    alignas(128) sem_t sem;
    alignas(128) OsaRwLock rw;
    alignas(128) pthread_rwlock_t posixRw;
};
Locks locks;

/* One uncontended round per call, Take then Give, on the layer's object
 * against the same on the reference's.  Both objects are made (`made`)
 * before the pair and destroyed after it. */
template <auto Take, auto Give, auto Destroy, auto ReferenceTake, auto ReferenceGive,
          auto ReferenceDestroy, typename Object, typename Reference>
void RoundPair(benchmark::State &state, bool made, Object *object, Reference *reference) {
    if (!made) {
        state.SkipWithError("initialisation failed");
        return;
    }
    PairBench(
        state,
        [object] {
            Take(object);
            Give(object);
        },
        [reference] {
            ReferenceTake(reference);
            ReferenceGive(reference);
        });
    Destroy(object);
    ReferenceDestroy(reference);
}

/* One post and one wait per call: the count goes 0, 1, 0. */
void SemaphorePair(benchmark::State &state) {
    RoundPair<semx_post, semx_wait, semx_destroy, sem_post, sem_wait, sem_destroy>(
        state, semx_init(&locks.semx, 0, 0) == 0 && sem_init(&locks.sem, 0, 0) == 0, &locks.semx,
        &locks.sem);
}

/* One read lock and its unlock per call. */
void RwLockPair(benchmark::State &state) {
    RoundPair<OSA_rw_rdlock, OSA_rw_unlock, OSA_rw_destroy, pthread_rwlock_rdlock,
              pthread_rwlock_unlock, pthread_rwlock_destroy>(
        state, OSA_rw_init(&locks.rw) == 0 && pthread_rwlock_init(&locks.posixRw, nullptr) == 0,
        &locks.rw, &locks.posixRw);
}

/* ---- Seed material (informational) -------------------------------------- */

/* The layer reads the random device and mixes in clocks and process state;
 * the reference is the kernel's generator alone. */
void RandomPair(benchmark::State &state) {
    std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)));
    PairBench(
        state,
        [&] {
            OSA_GetRandom(buffer.data(), static_cast<uint32_t>(buffer.size()));
            benchmark::ClobberMemory();
        },
        [&] {
            benchmark::DoNotOptimize(getrandom(buffer.data(), buffer.size(), 0));
            benchmark::ClobberMemory();
        });
}

/* ---- Statistics and the pair table -------------------------------------- */

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const double at = q * static_cast<double>(v.size() - 1);
    const auto low = static_cast<size_t>(at);
    const size_t high = std::min(low + 1, v.size() - 1);
    return v[low] + (v[high] - v[low]) * (at - static_cast<double>(low));
}

double Minimum(const std::vector<double> &v) {
    return Quantile(v, 0);
}
double LowerQuartile(const std::vector<double> &v) {
    return Quantile(v, 0.25);
}
double UpperQuartile(const std::vector<double> &v) {
    return Quantile(v, 0.75);
}
double Maximum(const std::vector<double> &v) {
    return Quantile(v, 1);
}

/* The pair families, in the order they are registered. */
std::vector<std::string> families;

/* Lowest acceptable ratio (reference time / module time) per pair, else per
 * family.  At 64 bytes the memory primitives' own call in front of the C
 * library's is a good part of the time; from 4 KiB it is lost in the copy. */
const std::map<std::string, double> kTargets = {
    {"memcpy/64", 0.70},
    {"memmove/64", 0.70},
    {"memcmp/64", 0.50},
    {"memcpy", 0.95},
    {"memmove", 0.95},
    {"memcmp", 0.95},
    {"semaphore_post_wait", 1 / 1.2},
    {"rwlock_rdlock_unlock", 1 / 1.2},
};

/* Passes every report on to the reporter that the command line chose, and
 * keeps the aggregates of each pair to print the table at the end. */
class PairTable : public benchmark::BenchmarkReporter {
  public:
    explicit PairTable(benchmark::BenchmarkReporter *inner) : inner_(inner) {}

    bool ReportContext(const Context &context) override { return inner_->ReportContext(context); }

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            const std::string name = run.run_name.function_name +
                                     (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
            if (std::find(order_.begin(), order_.end(), name) == order_.end()) {
                order_.push_back(name);
            }
            Pair &pair = pairs_[name];
            if (run.error_occurred) {
                pair.error = true;
                continue;
            }
            // Without repetitions the one run stands for every statistic.
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (!aggregate && pair.seenAggregate) {
                continue;
            }
            pair.seenAggregate = pair.seenAggregate || aggregate;
            for (const char *counter : {"module_ns", "reference_ns", "ratio"}) {
                const auto it = run.counters.find(counter);
                if (it == run.counters.end()) {
                    continue;
                }
                if (aggregate) {
                    pair.stats[counter][run.aggregate_name] = it->second.value;
                } else {
                    for (const char *stat : {"median", "min", "p25", "p75", "max"}) {
                        pair.stats[counter][stat] = it->second.value;
                    }
                }
            }
        }
        inner_->ReportRuns(runs);
    }

    void Finalize() override {
        inner_->Finalize();
        PrintTable();
    }

  private:
    struct Pair {
        bool error = false;
        bool seenAggregate = false;
        std::map<std::string, std::map<std::string, double>> stats;  // counter -> statistic
    };

    static std::string Time(double ns) {
        char text[32];
        if (ns >= 1e6) {
            snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
        } else if (ns >= 1e3) {
            snprintf(text, sizeof text, "%.2f us", ns / 1e3);
        } else {
            snprintf(text, sizeof text, "%.2f ns", ns);
        }
        return text;
    }

    /* Pairs in the order they were registered, arguments ascending, whatever
     * order the repetitions ran in. */
    void SortPairs() {
        auto key = [](const std::string &name) {
            const size_t slash = name.find('/');
            const std::string family = name.substr(0, slash);
            const auto at = std::find(families.begin(), families.end(), family);
            const long long arg = slash == std::string::npos ? 0 : atoll(name.c_str() + slash + 1);
            return std::make_pair(at - families.begin(), arg);
        };
        std::stable_sort(
            order_.begin(), order_.end(),
            [&](const std::string &x, const std::string &y) { return key(x) < key(y); });
    }

    void PrintTable() {
        SortPairs();
        FILE *out = stderr;
        fprintf(out, "\n%-22s %11s %11s %7s %11s %11s %7s\n", "pair", "module", "reference",
                "ratio", "quartiles", "extremes", "target");
        int missed = 0;
        for (const std::string &name : order_) {
            Pair &pair = pairs_[name];
            if (pair.error || pair.stats["ratio"].empty()) {
                fprintf(out, "%-22s error\n", name.c_str());
                continue;
            }
            auto &ratio = pair.stats["ratio"];
            char quartiles[32], extremes[32], target[16] = "-";
            // Ratios far below 1 (the informational pairs) keep two
            // significant digits.
            const bool wide = ratio["median"] >= 0.1;
            snprintf(quartiles, sizeof quartiles, wide ? "%.2f-%.2f" : "%.2g-%.2g", ratio["p25"],
                     ratio["p75"]);
            snprintf(extremes, sizeof extremes, wide ? "%.2f-%.2f" : "%.2g-%.2g", ratio["min"],
                     ratio["max"]);
            const char *verdict = "info";
            auto goal = kTargets.find(name);
            if (goal == kTargets.end()) {
                goal = kTargets.find(name.substr(0, name.find('/')));
            }
            if (goal != kTargets.end()) {
                snprintf(target, sizeof target, ">=%.2f", goal->second);
                const bool met = ratio["median"] >= goal->second;
                verdict = met ? "met" : "MISSED";
                missed += met ? 0 : 1;
            }
            fprintf(out,
                    ratio["median"] >= 0.1 ? "%-22s %11s %11s %6.2fx %11s %11s %7s  %s\n"
                                           : "%-22s %11s %11s %6.4fx %11s %11s %7s  %s\n",
                    name.c_str(), Time(pair.stats["module_ns"]["median"]).c_str(),
                    Time(pair.stats["reference_ns"]["median"]).c_str(), ratio["median"], quartiles,
                    extremes, target, verdict);
        }
        fprintf(out,
                "\nratio = reference time / module time per call, block by block (1.00x equal,"
                " below 1 slower);\nmedians over the repetitions of each repetition's medians;"
                " quartiles and extremes of the\nratio over the repetitions.  %d target(s)"
                " missed\n",
                missed);
    }

    benchmark::BenchmarkReporter *inner_;
    std::vector<std::string> order_;
    std::map<std::string, Pair> pairs_;
};

/* ---- Registration ------------------------------------------------------- */

void Register(const char *name, void (*pair)(benchmark::State &), std::vector<int64_t> args) {
    families.push_back(name);
    auto *b = benchmark::RegisterBenchmark(name, pair);
    for (const int64_t arg : args) {
        b->Arg(arg);
    }
    b->MinTime(kMinTime)
        ->ComputeStatistics("min", Minimum)
        ->ComputeStatistics("p25", LowerQuartile)
        ->ComputeStatistics("p75", UpperQuartile)
        ->ComputeStatistics("max", Maximum);
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<int64_t> sizes(std::begin(kSizes), std::end(kSizes));
    Register("memcpy", CopyPair, sizes);
    Register("memmove", MovePair, sizes);
    Register("memcmp", ComparePair, sizes);
    Register("semaphore_post_wait", SemaphorePair, {});
    Register("rwlock_rdlock_unlock", RwLockPair, {});
    Register("random", RandomPair, {16, 256});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::BenchmarkReporter *inner = benchmark::CreateDefaultDisplayReporter();
    PairTable table(inner);
    benchmark::RunSpecifiedBenchmarks(&table);
    benchmark::Shutdown();
    delete inner;
    return 0;
}
