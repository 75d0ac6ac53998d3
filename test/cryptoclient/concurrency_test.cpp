/* The session gate and the wrappers under many threads.  Every thread keeps
 * the session open (holds a use of it) while it calls wrappers, as callers
 * must; opening and closing churn through PEX_Init/PEX_Shutdown pairs around
 * that. */
#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cryptoclient/pex.h"
#include "test/cryptoclient/pex_double.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 1500;

class ClientConcurrency : public ::testing::Test {
  protected:
    void SetUp() override {
        PEX_ShutdownAll();
        pexdouble::reset();
        /* One operation whose library call always reports a refused session,
         * so that the unlock path runs concurrently too. */
        pexdouble::script("PEXX_GetInfo", PEX_ERR_NOT_INITIALIZED);
    }
    void TearDown() override { PEX_ShutdownAll(); }

    /* Runs body(thread index) on n threads released together. */
    template <typename Body>
    static void runTogether(int n, Body body) {
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < n; ++t) {
            threads.emplace_back([&go, &body, t] {
                while (!go.load(std::memory_order_acquire)) {
                    std::this_thread::yield();
                }
                body(t);
            });
        }
        go.store(true, std::memory_order_release);
        for (std::thread &th : threads) {
            th.join();
        }
    }

    /* One of the three ways to take a use of the session; 0 on success. */
    static int32_t takeUse(int way, void *initArg) {
        PexHandle context = 0;
        switch (way % 3) {
            case 0:
                return PEX_Init(initArg);
            case 1:
                return PEX_Init2(initArg, 0);
            default:
                return PEX_CreateContext(PEX_CONTEXT_OPEN_SESSION, &context);
        }
    }

    /* Two operations, one answered normally and one refused by the library;
     * returns the number of unexpected statuses. */
    static int callOperations(int round) {
        uint8_t buffer[16];
        int wrong = 0;
        wrong += PEX_GetRandom(static_cast<PexHandle>(round), buffer, sizeof buffer) != 0;
        wrong += PEX_GetInfo(buffer, nullptr, nullptr) != PEX_ERR_NOT_INITIALIZED;
        return wrong;
    }
};

TEST_F(ClientConcurrency, WrappersRunWhileUsesComeAndGoAroundAHeldSession) {
    int holder = 0;
    ASSERT_EQ(PEX_Init(&holder), 0);
    const uint64_t module = hModule;

    std::atomic<int> wrong{0};
    runTogether(2 * kThreads, [&](int t) {
        int local = t;
        for (int round = 0; round < kRounds; ++round) {
            if (t % 2 == 0) {
                wrong += takeUse(round + t, &local) != 0;
                PEX_Shutdown();
            } else {
                wrong += callOperations(round);
            }
        }
    });

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(InitCounter, 1);
    EXPECT_EQ(pexInitialized, 1);
    EXPECT_EQ(hModule, module);
    EXPECT_EQ(pexdouble::countOf("PEXX_Authenticate"), 1u);
    EXPECT_EQ(pexdouble::countOf("PEXX_Authenticate2"), 0u);
    EXPECT_EQ(pexdouble::countOf("PEXX_Goodbye"), 0u);
    const size_t refusals = pexdouble::countOf("PEXX_GetInfo");
    EXPECT_EQ(refusals, static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(pexdouble::unlockCount(&pexLock), refusals);
    EXPECT_EQ(pexdouble::lockFailures(), 0);
    for (const pexdouble::Call &call : pexdouble::calls()) {
        if (call.function != "PEXX_Authenticate") {
            ASSERT_EQ(call.args.at(0), module) << call.function;
        }
    }

    PEX_Shutdown();
    EXPECT_EQ(InitCounter, 0);
    EXPECT_EQ(pexInitialized, 0);
    EXPECT_EQ(pexdouble::countOf("PEXX_Goodbye"), 1u);
}

TEST_F(ClientConcurrency, PairedUsesOpenAndCloseTheSessionRepeatedly) {
    std::atomic<int> wrong{0};
    runTogether(kThreads, [&](int t) {
        int local = t;
        for (int round = 0; round < kRounds; ++round) {
            if (takeUse(round + t, &local) != 0) {
                ++wrong;
                continue;
            }
            wrong += callOperations(round);
            PEX_Shutdown();
        }
    });

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(InitCounter, 0);
    EXPECT_EQ(pexInitialized, 0);
    EXPECT_EQ(hModule, 0u);
    EXPECT_EQ(pexdouble::lockFailures(), 0);

    /* Replay the log: every operation ran inside a session, under that
     * session's identifier, and every opening was closed once. */
    uint64_t current = 0;
    bool open = false;
    size_t openings = 0, closings = 0;
    for (const pexdouble::Call &call : pexdouble::calls()) {
        if (call.function == "PEXX_Authenticate" || call.function == "PEXX_Authenticate2") {
            ASSERT_FALSE(open) << "opened twice";
            open = true;
            current = call.args.at(0);
            ++openings;
        } else if (call.function == "PEXX_Goodbye") {
            ASSERT_TRUE(open) << "closed twice";
            ASSERT_EQ(call.args.at(0), current);
            open = false;
            ++closings;
        } else {
            ASSERT_TRUE(open) << call.function << " outside a session";
            ASSERT_EQ(call.args.at(0), current) << call.function;
        }
    }
    EXPECT_FALSE(open);
    EXPECT_GE(openings, 1u);
    EXPECT_EQ(openings, closings);
    EXPECT_EQ(pexdouble::unlockCount(&pexLock), pexdouble::countOf("PEXX_GetInfo"));
}

TEST_F(ClientConcurrency, WrappersSeeTheIdentifierOfASessionAnotherThreadOpens) {
    /* Callers poll without a use of their own: until the opening is
     * published they are refused without a library call, after it every
     * call carries the new identifier, never a stale or zero one. */
    std::atomic<int> seen{0};
    std::atomic<int> wrong{0};
    int holder = 0;
    runTogether(kThreads + 1, [&](int t) {
        if (t == kThreads) {
            std::this_thread::yield();
            wrong += PEX_Init(&holder) != 0;
            return;
        }
        uint8_t buffer[16];
        int32_t status;
        while ((status = PEX_GetRandom(0, buffer, sizeof buffer)) == PEX_ERR_NOT_INITIALIZED) {
            std::this_thread::yield();
        }
        wrong += status != 0;
        ++seen;
    });

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(seen.load(), kThreads);
    EXPECT_EQ(pexdouble::lockFailures(), 0);
    const std::vector<pexdouble::Call> calls = pexdouble::calls();
    ASSERT_EQ(calls.size(), static_cast<size_t>(kThreads + 1));
    EXPECT_EQ(calls.front().function, "PEXX_Authenticate");
    for (const pexdouble::Call &call : calls) {
        EXPECT_EQ(call.args.at(0), hModule) << call.function;
    }
    EXPECT_NE(hModule, 0u);
}

}  // namespace
