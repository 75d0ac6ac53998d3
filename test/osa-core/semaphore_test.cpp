// Counting semaphores (semx_*) and their heap handles (OSA_*Semaphore).
//
// Timing checks use generous upper bounds: the machine running them may be
// loaded.  "Still blocked" checks cannot fail on a slow machine, only on a
// wait that does not block.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "osa/core_internal.h"
#include "osa/osa.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int32_t CountOf(Semx *semx) {
    int32_t value = -1;
    EXPECT_EQ(semx_getvalue(semx, &value), 0);
    return value;
}

// Waits until `done` is set, at most `limit`.
bool WaitFor(const std::atomic<bool> &done, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done.load()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

TEST(Semx, InitialCountIsTakenThenWaitBlocksUntilPost) {
    Semx s;
    ASSERT_EQ(semx_init(&s, 0, 2), 0);
    EXPECT_EQ(semx_wait(&s), 0);
    EXPECT_EQ(semx_wait(&s), 0);
    EXPECT_EQ(CountOf(&s), 0);

    std::atomic<bool> done{false};
    int waitResult = -1;
    std::thread waiter([&] {
        waitResult = semx_wait(&s);
        done = true;
    });
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_FALSE(done.load()) << "semx_wait returned with the count at 0";
    EXPECT_EQ(semx_post(&s), 0);
    EXPECT_TRUE(WaitFor(done, milliseconds(10000)));
    waiter.join();
    EXPECT_EQ(waitResult, 0);
    EXPECT_EQ(CountOf(&s), 0);
    EXPECT_EQ(semx_destroy(&s), 0);
}

TEST(Semx, ValueCountsPostsNotYetTaken) {
    Semx s;
    ASSERT_EQ(semx_init(&s, 12345, 0), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(semx_post(&s), 0);
    }
    EXPECT_EQ(semx_wait(&s), 0);
    EXPECT_EQ(CountOf(&s), 2);
    EXPECT_EQ(semx_destroy(&s), 0);
    EXPECT_EQ(s.count, 0);
}

TEST(Semx, CountNeverLeavesItsSignedRange) {
    // A start value that does not fit the signed count is refused, and a
    // post at the largest count is refused without changing it.
    Semx s;
    EXPECT_EQ(semx_init(&s, 0, 0x80000000u), EINVAL);
    ASSERT_EQ(semx_init(&s, 0, INT32_MAX), 0);
    EXPECT_EQ(semx_post(&s), EOVERFLOW);
    EXPECT_EQ(CountOf(&s), INT32_MAX);
    EXPECT_EQ(semx_wait(&s), 0);
    EXPECT_EQ(semx_post(&s), 0);
    EXPECT_EQ(CountOf(&s), INT32_MAX);
    EXPECT_EQ(semx_destroy(&s), 0);
}

// Expects a wait of `timeoutMs` on `semx`, whose count is zero, to time out
// and leave the count at zero; returns how long the wait took.
Clock::duration timedOutWait(Semx *semx, uint32_t timeoutMs) {
    const auto start = Clock::now();
    EXPECT_EQ(semx_timedwait(semx, timeoutMs), ETIMEDOUT);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(CountOf(semx), 0);
    return elapsed;
}

TEST(SemxTimedWait, ZeroTimeoutTakesAPostOrFailsAtOnce) {
    Semx s;
    ASSERT_EQ(semx_init(&s, 0, 0), 0);
    EXPECT_LT(timedOutWait(&s, 0), milliseconds(2000));

    ASSERT_EQ(semx_post(&s), 0);
    EXPECT_EQ(semx_timedwait(&s, 0), 0);
    EXPECT_EQ(CountOf(&s), 0);
    EXPECT_EQ(semx_destroy(&s), 0);
}

TEST(SemxTimedWait, TimesOutAfterAboutTheTimeAsked) {
    Semx s;
    ASSERT_EQ(semx_init(&s, 0, 0), 0);
    const auto elapsed = timedOutWait(&s, 200);
    // The deadline is taken to the microsecond on the real-time clock; allow
    // a little for the two clocks ticking differently.
    EXPECT_GE(elapsed, milliseconds(195));
    EXPECT_LT(elapsed, milliseconds(5000));
    EXPECT_EQ(semx_destroy(&s), 0);
}

TEST(SemxTimedWait, DeadlineCarriesMicrosecondsIntoSeconds) {
    struct Case {
        time_t sec;
        suseconds_t usec;
        uint32_t timeoutMs;
        time_t wantSec;
        long wantNsec;
    };
    const Case cases[] = {
        {100, 0, 0, 100, 0},
        {100, 999999, 0, 100, 999999000},
        {100, 999999, 1, 101, 999000},
        {100, 999999, 999, 101, 998999000},
        {100, 999999, 1500, 102, 499999000},
        {100, 500000, 500, 101, 0},
        {100, 123456, 2000, 102, 123456000},
        {100, 999999, 4294967295u, 100 + 4294967 + 1, 294999000},
    };
    for (const Case &c : cases) {
        struct timeval now;
        now.tv_sec = c.sec;
        now.tv_usec = c.usec;
        const struct timespec deadline = osa_core::semxDeadline(now, c.timeoutMs);
        EXPECT_EQ(deadline.tv_sec, c.wantSec) << c.usec << " us + " << c.timeoutMs << " ms";
        EXPECT_EQ(deadline.tv_nsec, c.wantNsec) << c.usec << " us + " << c.timeoutMs << " ms";
        EXPECT_LT(deadline.tv_nsec, 1000000000L);
    }
}

// A cancelled waiter unlocks the semaphore's mutex through its clean-up
// handler and leaves the count alone.
void *WaitForever(void *semx) {
    semx_wait(static_cast<Semx *>(semx));
    return nullptr;
}

void *WaitLong(void *semx) {
    semx_timedwait(static_cast<Semx *>(semx), 600000);
    return nullptr;
}

void ExpectCancelLeavesSemaphoreUsable(void *(*waitRoutine)(void *)) {
    Semx s;
    ASSERT_EQ(semx_init(&s, 0, 0), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, waitRoutine, &s), 0);
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_EQ(pthread_cancel(thread), 0);
    void *exitValue = nullptr;
    ASSERT_EQ(pthread_join(thread, &exitValue), 0);
    EXPECT_EQ(exitValue, PTHREAD_CANCELED);

    // The mutex is free again: this thread can take and release it.
    EXPECT_EQ(pthread_mutex_trylock(&s.mutex), 0);
    EXPECT_EQ(pthread_mutex_unlock(&s.mutex), 0);
    EXPECT_EQ(CountOf(&s), 0);
    EXPECT_EQ(semx_post(&s), 0);
    EXPECT_EQ(semx_timedwait(&s, 0), 0);
    EXPECT_EQ(semx_destroy(&s), 0);
}

TEST(SemxCancel, CancelledWaitUnlocksTheMutex) {
    ExpectCancelLeavesSemaphoreUsable(WaitForever);
}

TEST(SemxCancel, CancelledTimedWaitUnlocksTheMutex) {
    ExpectCancelLeavesSemaphoreUsable(WaitLong);
}

TEST(OsaSemaphore, AllocRefusesBadArgumentsAndLeavesNothing) {
    int anything = 0;
    OsaSemaphore *h = reinterpret_cast<OsaSemaphore *>(&anything);
    EXPECT_EQ(OSA_AllocSemaphore(&anything, 1, 0, 1, &h), OSA_ERR_FAILURE);
    EXPECT_EQ(h, nullptr);
    h = reinterpret_cast<OsaSemaphore *>(&anything);
    EXPECT_EQ(OSA_AllocSemaphore(&anything, 0, 1, 1, &h), OSA_ERR_FAILURE);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(OSA_AllocSemaphore(&anything, 0, 0, 1, nullptr), OSA_ERR_FAILURE);
    // A count the semaphore cannot hold is a failure, not a half-made handle.
    h = reinterpret_cast<OsaSemaphore *>(&anything);
    EXPECT_EQ(OSA_AllocSemaphore(nullptr, 0, 0, 0xFFFFFFFFu, &h), OSA_ERR_FAILURE);
    EXPECT_EQ(h, nullptr);
}

TEST(OsaSemaphore, NullHandleIsRefused) {
    int32_t value = 77;
    EXPECT_EQ(OSA_PostSemaphore(nullptr), OSA_ERR_FAILURE);
    EXPECT_EQ(OSA_FreeSemaphore(nullptr), OSA_ERR_FAILURE);
    EXPECT_EQ(OSA_QuerySemaphore(nullptr, &value), OSA_ERR_FAILURE);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(OSA_WaitOnSemaphore(nullptr, 5), OSA_ERR_FAILURE);
    EXPECT_EQ(OSA_WaitForeverOnSemaphore(nullptr), OSA_ERR_FAILURE);
}

// Runs under AddressSanitizer too, whose leak check at exit catches a free
// that leaves either heap block behind.
TEST(OsaSemaphore, PostQueryWaitFree) {
    OsaSemaphore *h = nullptr;
    ASSERT_EQ(OSA_AllocSemaphore(nullptr, 0, 0, 1, &h), 0);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(h->semaphore, nullptr);
    int32_t value = -1;
    EXPECT_EQ(OSA_QuerySemaphore(h, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(OSA_PostSemaphore(h), 0);
    EXPECT_EQ(OSA_QuerySemaphore(h, &value), 0);
    EXPECT_EQ(value, 2);

    EXPECT_EQ(OSA_WaitOnSemaphore(h, 0), 0);
    EXPECT_EQ(OSA_WaitForeverOnSemaphore(h), 0);
    EXPECT_EQ(OSA_WaitOnSemaphore(h, 0), ETIMEDOUT);
    // Only the low 32 bits of a timeout other than -1 count: this is a
    // timed wait of 0 ms, not an endless one.
    EXPECT_EQ(OSA_WaitOnSemaphore(h, 0x100000000LL), ETIMEDOUT);
    EXPECT_EQ(OSA_QuerySemaphore(h, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(OSA_FreeSemaphore(h), 0);
}

TEST(OsaSemaphore, WaitWithoutTimeoutBlocksUntilPost) {
    OsaSemaphore *h = nullptr;
    ASSERT_EQ(OSA_AllocSemaphore(nullptr, 0, 0, 0, &h), 0);
    std::atomic<bool> foreverDone{false};
    std::atomic<bool> longDone{false};
    int foreverResult = -1;
    int longResult = -1;
    std::thread forever([&] {
        foreverResult = OSA_WaitOnSemaphore(h, OSA_WAIT_FOREVER);
        foreverDone = true;
    });
    std::thread longWait([&] {
        longResult = OSA_WaitOnSemaphore(h, 0xFFFFFFFFLL);
        longDone = true;
    });
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_FALSE(foreverDone.load());
    EXPECT_FALSE(longDone.load());
    EXPECT_EQ(OSA_PostSemaphore(h), 0);
    EXPECT_EQ(OSA_PostSemaphore(h), 0);
    forever.join();
    longWait.join();
    EXPECT_EQ(foreverResult, 0);
    EXPECT_EQ(longResult, 0);
    EXPECT_EQ(OSA_FreeSemaphore(h), 0);
}

TEST(OsaSemaphore, FreeOfABusySemaphoreKeepsTheHandle) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer reports destroying a locked mutex by design";
#else
    OsaSemaphore *h = nullptr;
    ASSERT_EQ(OSA_AllocSemaphore(nullptr, 0, 0, 3, &h), 0);
    ASSERT_EQ(pthread_mutex_lock(&h->semaphore->mutex), 0);
    EXPECT_EQ(OSA_FreeSemaphore(h), EBUSY);
    ASSERT_EQ(pthread_mutex_unlock(&h->semaphore->mutex), 0);
    // The handle survived the refused free and still works.
    int32_t value = -1;
    EXPECT_EQ(OSA_QuerySemaphore(h, &value), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(OSA_FreeSemaphore(h), 0);
#endif
}

}  // namespace
