/* The client session: opening, counting, closing and status translation. */
#include <limits.h>
#include <stdint.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cryptoclient/pex.h"
#include "osa/osa.h"
#include "test/cryptoclient/pex_double.h"

namespace {

/* The statuses callers compare against. */
static_assert(PEX_ERR_TRANSLATED_1 == -1497);
static_assert(PEX_ERR_TRANSLATED_2 == -1499);
static_assert(PEX_ERR_TRANSLATED_6 == -1409);
static_assert(PEX_ERR_INVALID_ARGUMENT == -1422);
static_assert(PEX_ERR_NOT_SUPPORTED == -1400);

class ClientSession : public pexdouble::ClientTest {
  protected:
    void expectClosed() {
        EXPECT_EQ(pexInitialized, 0);
        EXPECT_EQ(hModule, 0u);
        /* The OS layer is initialised exactly while the session is open. */
        EXPECT_EQ(OSA_GetModuleHandle(0), 0u);
    }

    void expectOpen() {
        EXPECT_EQ(pexInitialized, 1);
        EXPECT_NE(pexdouble::sessionLock(), nullptr);
        EXPECT_EQ(OSA_GetModuleHandle(0), 1u);
    }

    /* The arguments both authentications pass alike: the module identifier,
     * the session lock and zeros in the third and fifth places. */
    void expectAuthenticationArgs(const pexdouble::Call &auth, size_t count, uint64_t module) {
        ASSERT_EQ(auth.args.size(), count);
        EXPECT_EQ(auth.args[0], module);
        EXPECT_EQ(auth.args[1], reinterpret_cast<uintptr_t>(&pexLock));
        EXPECT_EQ(auth.args[2], 0u);
        EXPECT_EQ(auth.args[4], 0u);
    }

    int processId = 1234; /* what the protection layer's initArg points to */
};

TEST(ClientStatusTranslation, MapsTheLowLevelStatusesAndPassesTheRest) {
    EXPECT_EQ(_TranslateTolvaErr(-1), PEX_ERR_TRANSLATED_1);
    EXPECT_EQ(_TranslateTolvaErr(-2), PEX_ERR_TRANSLATED_2);
    EXPECT_EQ(_TranslateTolvaErr(-4), PEX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(_TranslateTolvaErr(-5), PEX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(_TranslateTolvaErr(-6), PEX_ERR_TRANSLATED_6);
    for (int32_t unchanged : {-3, 0, 1, -7, -1496, -1497, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(_TranslateTolvaErr(unchanged), unchanged) << unchanged;
    }
}

TEST_F(ClientSession, NullInitArgIsRefusedWithoutTouchingTheSession) {
    EXPECT_EQ(PEX_Init(nullptr), PEX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(PEX_Init2(nullptr, 5), PEX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(InitCounter, 0);
    expectClosed();

    ASSERT_EQ(PEX_Init(&processId), 0);
    const uint64_t module = hModule;
    EXPECT_EQ(PEX_Init(nullptr), PEX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(InitCounter, 1);
    EXPECT_EQ(hModule, module);
    EXPECT_EQ(pexdouble::calls().size(), 1u);
}

TEST_F(ClientSession, TwoOpeningsAuthenticateOnceAndTheSecondShutdownCloses) {
    ASSERT_EQ(PEX_Init(&processId), 0);
    const uint64_t module = hModule;
    EXPECT_EQ(module >> 32, 0u) << "the 32-bit identifier is stored zero-extended";
    expectOpen();
    EXPECT_EQ(PEX_Init(&processId), 0);
    EXPECT_EQ(InitCounter, 2);
    EXPECT_EQ(pexdouble::countOf("PEXX_Authenticate"), 1u);

    /* The authentication's arguments, in order. */
    const pexdouble::Call auth = pexdouble::calls().at(0);
    ASSERT_EQ(auth.function, "PEXX_Authenticate");
    ASSERT_NO_FATAL_FAILURE(expectAuthenticationArgs(auth, 6, module));
    EXPECT_NE(auth.args[3], 0u);
    EXPECT_NE(auth.args[5], 0u);
    EXPECT_EQ(pexdouble::lastAuthentication().out64AtEntry, 0u);
    EXPECT_EQ(pexdouble::sessionLock(), &pexLock);

    PEX_Shutdown();
    EXPECT_EQ(InitCounter, 1);
    expectOpen();
    EXPECT_EQ(hModule, module);
    EXPECT_EQ(pexdouble::countOf("PEXX_Goodbye"), 0u);

    PEX_Shutdown();
    EXPECT_EQ(InitCounter, 0);
    expectClosed();
    ASSERT_EQ(pexdouble::countOf("PEXX_Goodbye"), 1u);
    EXPECT_EQ(pexdouble::calls().back().args, std::vector<uint64_t>{module});
}

TEST_F(ClientSession, ShutdownAllClosesWhateverTheCount) {
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(PEX_Init(&processId), 0);
    }
    ASSERT_EQ(InitCounter, 5);
    PEX_ShutdownAll();
    EXPECT_EQ(InitCounter, 0);
    expectClosed();
    EXPECT_EQ(pexdouble::countOf("PEXX_Goodbye"), 1u);

    /* On a closed session it only resets a shifted count. */
    PEX_Shutdown();
    PEX_Shutdown();
    ASSERT_EQ(InitCounter, -2);
    PEX_ShutdownAll();
    EXPECT_EQ(InitCounter, 0);
    EXPECT_EQ(pexdouble::countOf("PEXX_Goodbye"), 1u);
}

TEST_F(ClientSession, UnbalancedShutdownShiftsTheCount) {
    PEX_Shutdown();
    EXPECT_EQ(InitCounter, -1);
    EXPECT_TRUE(pexdouble::calls().empty());
    expectClosed();

    /* The next opening still authenticates but leaves the count at 0, so
     * the session closes one shutdown early: with two openings the first
     * shutdown already closes it. */
    ASSERT_EQ(PEX_Init(&processId), 0);
    EXPECT_EQ(InitCounter, 0);
    expectOpen();
    ASSERT_EQ(PEX_Init(&processId), 0);
    EXPECT_EQ(InitCounter, 1);
    PEX_Shutdown();
    EXPECT_EQ(InitCounter, 0);
    expectClosed();
    PEX_Shutdown();
    EXPECT_EQ(InitCounter, -1);
    EXPECT_EQ(pexdouble::countOf("PEXX_Authenticate"), 1u);
    EXPECT_EQ(pexdouble::countOf("PEXX_Goodbye"), 1u);
}

TEST_F(ClientSession, ClosingIgnoresTheLibrarysGoodbyeStatus) {
    pexdouble::script("PEXX_Goodbye", -5);
    ASSERT_EQ(PEX_Init(&processId), 0);
    PEX_Shutdown();
    EXPECT_EQ(InitCounter, 0);
    expectClosed();
}

TEST_F(ClientSession, FailedAuthenticationLeavesTheSessionClosedAndCanBeRetried) {
    const struct {
        int32_t library;
        int32_t returned;
    } cases[] = {{-1, -1497}, {-2, -1499}, {-3, -3},       {-4, -1422},
                 {-5, -1422}, {-6, -1409}, {-1234, -1234}, {7, 7}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.library);
        pexdouble::reset();
        pexdouble::script("PEXX_Authenticate", c.library);
        EXPECT_EQ(PEX_Init(&processId), c.returned);
        EXPECT_EQ(InitCounter, 0);
        expectClosed();
        EXPECT_EQ(pexdouble::countOf("PEXX_Goodbye"), 0u);
        EXPECT_EQ(pexdouble::sessionLock(), nullptr);
    }

    /* The opening can be retried at once. */
    pexdouble::script("PEXX_Authenticate", 0);
    ASSERT_EQ(PEX_Init(&processId), 0);
    EXPECT_EQ(InitCounter, 1);
    expectOpen();
    EXPECT_NE(hModule, 0u);
}

TEST_F(ClientSession, Init2HandsItsFlagsToTheLibraryOnlyWhenItOpens) {
    ASSERT_EQ(PEX_Init2(&processId, 0x80000005u), 0);
    expectOpen();
    ASSERT_EQ(pexdouble::countOf("PEXX_Authenticate2"), 1u);
    const pexdouble::Call auth = pexdouble::calls().at(0);
    ASSERT_NO_FATAL_FAILURE(expectAuthenticationArgs(auth, 7, hModule));
    EXPECT_EQ(auth.args[6], 0x80000005u);
    EXPECT_EQ(pexdouble::countOf("PEXX_Authenticate"), 0u);

    /* On an open session flags go nowhere. */
    EXPECT_EQ(PEX_Init2(&processId, 5), 0);
    EXPECT_EQ(InitCounter, 2);
    EXPECT_EQ(pexdouble::calls().size(), 1u);

    pexdouble::reset();
    PEX_ShutdownAll();
    pexdouble::script("PEXX_Authenticate2", -6);
    EXPECT_EQ(PEX_Init2(&processId, 1), PEX_ERR_TRANSLATED_6);
    expectClosed();
}

TEST_F(ClientSession, SetInitFlagsAndGetModuleInfoChangeNothing) {
    EXPECT_EQ(PEX_SetInitFlags(0), 0);
    EXPECT_EQ(PEX_SetInitFlags(1), PEX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(PEX_SetInitFlags(0x80000000u), PEX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(PEX_GetModuleInfo(), PEX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(InitCounter, 0);
    expectClosed();

    ASSERT_EQ(PEX_Init(&processId), 0);
    EXPECT_EQ(PEX_GetModuleInfo(), PEX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(PEX_SetInitFlags(0), 0);
    EXPECT_EQ(InitCounter, 1);
    expectOpen();
    EXPECT_EQ(pexdouble::calls().size(), 1u);
}

/* Called from one place, so that its local s sits at the same address each
 * time and the identifiers differ only by time and argument. */
[[gnu::noinline]] uint32_t identifierAt(uint64_t arg, uint32_t *timeWord) {
    for (;;) {
        uint32_t s1 = 0, m1 = 0, s2 = 0, m2 = 0;
        OSA_GetSecMsec(&s1, &m1);
        const uint32_t id = generateModuleID(arg);
        OSA_GetSecMsec(&s2, &m2);
        if (s1 == s2 && m1 == m2) { /* the clock did not tick meanwhile */
            *timeWord = (s1 << 10) | m1;
            return id;
        }
    }
}

TEST(ClientModuleIdentifier, MixesTheTimeWordAndTheLow32BitsOfTheArgument) {
    /* Each argument with the bits it is known to contribute: its low 32 bits
     * only. */
    struct Case {
        uint64_t arg;
        uint32_t contribution;
    };
    constexpr Case kCases[] = {{0, 0},
                               {0x00000000DEADBEEFull, 0xDEADBEEFu},
                               {0xFFFFFFFF00000000ull, 0},
                               {0x123456789ABCDEF0ull, 0x9ABCDEF0u}};
    uint32_t placement = 0;
    bool first = true;
    for (const Case &c : kCases) {
        for (int round = 0; round < 3; ++round) {
            uint32_t timeWord = 0;
            const uint32_t id = identifierAt(c.arg, &timeWord);
            /* The stack and code placement is the same for every call here;
             * the first call, with argument 0, shows it. */
            if (first) {
                placement = id ^ timeWord;
                first = false;
            }
            EXPECT_EQ(id, placement ^ timeWord ^ c.contribution) << std::hex << c.arg;
            usleep(1500); /* let the milliseconds move on */
        }
    }
}

}  // namespace
