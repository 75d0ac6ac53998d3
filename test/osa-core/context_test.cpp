// Initialised state, contexts, the spin gate, error-checking mutexes, thread
// functions and clocks of the OS abstraction layer.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "osa/core_internal.h"
#include "osa/osa.h"

#if defined(__SANITIZE_THREAD__)
// The mutex test unlocks from a thread that does not hold the mutex on
// purpose, to see EPERM; ThreadSanitizer would report that misuse itself.
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions() {
    return "mutex:OSA_mutex_unlock\n";
}
#endif

namespace {

// Brings the layer back to "not initialised" whatever an earlier test left.
void ResetLayer() {
    while (OSA_Deinitialize(nullptr) == 0) {
    }
}

TEST(OsaState, InitialisationsAreNotCounted) {
    ResetLayer();
    EXPECT_EQ(OSA_GetModuleHandle(0), 0u);
    EXPECT_EQ(OSA_Deinitialize(nullptr), OSA_ERR_FAILURE);

    uint64_t unused = 0;
    EXPECT_EQ(OSA_Initialize(&unused), 0);
    EXPECT_EQ(OSA_Initialize(&unused), 0);
    EXPECT_EQ(osaInitialized, 1);
    EXPECT_EQ(OSA_GetModuleHandle(0), 1u);
    EXPECT_EQ(OSA_GetModuleHandle(1), 0u);

    // One deinitialisation undoes both initialisations.
    EXPECT_EQ(OSA_Deinitialize(&unused), 0);
    EXPECT_EQ(OSA_GetModuleHandle(0), 0u);
    EXPECT_EQ(osaInitialized, 0);
    EXPECT_EQ(osaModuleHandle, 0u);
    EXPECT_EQ(OSA_Deinitialize(&unused), OSA_ERR_FAILURE);
    EXPECT_EQ(OSA_GetModuleHandle(1), 0u);
}

TEST(OsaContextRecord, CreateFillsTagAndValue) {
    OsaContext *context = nullptr;
    ASSERT_EQ(OSA_CreateContext(7, &context), 0);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->tag, 0x11111111u);
    EXPECT_EQ(context->value, 7);
    EXPECT_EQ(OSA_DestroyContext(context), 0);

    ASSERT_EQ(OSA_CreateContext(-5, &context), 0);
    EXPECT_EQ(context->value, -5);
    EXPECT_EQ(OSA_DestroyContext(context), 0);

    EXPECT_EQ(OSA_CreateContext(7, nullptr), OSA_ERR_FAILURE);
    EXPECT_EQ(OSA_DestroyContext(nullptr), 0);
}

TEST(OsaScheduling, YieldAndDelayReturnZero) {
    EXPECT_EQ(OSA_YieldExecution(0), 0);
    EXPECT_EQ(OSA_YieldExecution(1), 0);
    EXPECT_EQ(OSA_YieldExecution(2), 0);
    EXPECT_EQ(OSA_YieldExecution(UINT64_MAX), 0);
    EXPECT_EQ(OSA_Delay(), 0);
    EXPECT_EQ(OSA_DisableShutDownEvents(), 0);
}

TEST(OsaSpinGate, ExchangeReturnsPreviousValue) {
    int32_t flag = 1;
    const int32_t zero = 0;
    EXPECT_EQ(OSA_test_and_set(&flag, &zero, 0), 1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(OSA_test_and_set(&flag, &zero, 0), 0);
    EXPECT_EQ(flag, 0);
    OSA_clear_set(&flag);
    EXPECT_EQ(flag, 1);

    // Any 32-bit value can be exchanged in, and clear_set writes 1 whatever
    // the flag held.
    const int32_t other = -42;
    EXPECT_EQ(OSA_test_and_set(&flag, &other, 99), 1);
    EXPECT_EQ(flag, -42);
    OSA_clear_set(&flag);
    EXPECT_EQ(flag, 1);
}

// Threads take the gate as the client session does and update plain data
// under it; a lost update or two holders at once shows a broken gate (and
// ThreadSanitizer flags missing ordering).
TEST(OsaSpinGate, SerialisesManyThreads) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    int32_t gate = 1;
    long long plainCounter = 0;
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Half the threads spin without yielding, as mode 1 does.
            const uint64_t mode = (t % 2 == 0) ? OSA_YIELD_PROCESSOR : OSA_YIELD_SPIN;
            for (int r = 0; r < kRounds; ++r) {
                const int32_t zero = 0;
                while (OSA_test_and_set(&gate, &zero, 0) == 0) {
                    OSA_YieldExecution(mode);
                }
                if (holders.fetch_add(1) != 0) {
                    overlaps.fetch_add(1);
                }
                plainCounter = plainCounter + 1;
                holders.fetch_sub(1);
                OSA_clear_set(&gate);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(plainCounter, static_cast<long long>(kThreads) * kRounds);
    EXPECT_EQ(gate, 1);
}

TEST(OsaMutex, ErrorCheckingType) {
    pthread_mutex_t mutex;
    ASSERT_EQ(OSA_mutex_init(&mutex), 0);
    ASSERT_EQ(OSA_mutex_lock(&mutex), 0);
    EXPECT_EQ(OSA_mutex_lock(&mutex), EDEADLK);
    EXPECT_EQ(OSA_mutex_trylock(&mutex), EBUSY);

    int otherUnlock = -1;
    int otherTry = -1;
    std::thread other([&] {
        otherUnlock = OSA_mutex_unlock(&mutex);
        otherTry = OSA_mutex_trylock(&mutex);
    });
    other.join();
    EXPECT_EQ(otherUnlock, EPERM);
    EXPECT_EQ(otherTry, EBUSY);

    EXPECT_EQ(OSA_mutex_unlock(&mutex), 0);
    // Unlocking a mutex nobody holds is an error too.
    EXPECT_EQ(OSA_mutex_unlock(&mutex), EPERM);
    EXPECT_EQ(OSA_mutex_trylock(&mutex), 0);
    EXPECT_EQ(OSA_mutex_unlock(&mutex), 0);
    EXPECT_EQ(OSA_mutex_destroy(&mutex), 0);
}

void *ReturnArgument(void *arg) {
    return arg;
}

void *ExitWithArgument(void *arg) {
    OSA_pthread_exit(arg);
}

void *ReportSelf(void *out) {
    *static_cast<pthread_t *>(out) = OSA_pthread_self();
    return nullptr;
}

TEST(OsaThreads, CreateJoinExitSelfEqual) {
    int token = 0;
    pthread_t thread;
    void *result = nullptr;
    ASSERT_EQ(OSA_pthread_create(&thread, nullptr, ReturnArgument, &token), 0);
    ASSERT_EQ(OSA_pthread_join(thread, &result), 0);
    EXPECT_EQ(result, &token);

    ASSERT_EQ(OSA_pthread_create(&thread, nullptr, ExitWithArgument, &token), 0);
    result = nullptr;
    ASSERT_EQ(OSA_pthread_join(thread, &result), 0);
    EXPECT_EQ(result, &token);

    pthread_t reported{};
    ASSERT_EQ(OSA_pthread_create(&thread, nullptr, ReportSelf, &reported), 0);
    ASSERT_EQ(OSA_pthread_join(thread, nullptr), 0);
    EXPECT_EQ(OSA_pthread_equal(reported, thread), 1);
    EXPECT_EQ(OSA_pthread_equal(OSA_pthread_self(), OSA_pthread_self()), 1);
    EXPECT_EQ(OSA_pthread_equal(OSA_pthread_self(), reported), 0);
    EXPECT_EQ(OSA_pthread_equal(OSA_pthread_self(), pthread_self()), 1);

    // Signal 0 only checks that the thread exists.
    EXPECT_EQ(OSA_pthread_kill(OSA_pthread_self(), 0), 0);
}

TEST(OsaClock, SecondsAndMillisecondsAreInRange) {
    for (int i = 0; i < 2000; ++i) {
        uint32_t seconds = 0;
        uint32_t millis = 1000;
        const time_t before = time(nullptr);
        const uint32_t result = OSA_GetSecMsec(&seconds, &millis);
        const time_t after = time(nullptr);
        ASSERT_EQ(result, seconds);
        ASSERT_LE(millis, 999u);
        ASSERT_GE(seconds, static_cast<uint32_t>(before) - 1);
        ASSERT_LE(seconds, static_cast<uint32_t>(after) + 1);
    }
}

TEST(OsaClock, TimeOfDayInWholeSeconds) {
    const time_t before = time(nullptr);
    const uint64_t now = OSA_GetTODULong();
    const time_t after = time(nullptr);
    EXPECT_GE(now + 1, static_cast<uint64_t>(before));
    EXPECT_LE(now, static_cast<uint64_t>(after) + 1);
}

}  // namespace
