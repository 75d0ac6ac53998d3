/* The operation wrappers, each of them, driven from the operation table. */
#include <limits.h>
#include <pthread.h>
#include <stdint.h>

#include <iterator>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "cryptoclient/pex.h"
#include "test/cryptoclient/pex_double.h"

namespace {

static_assert(PEX_ERR_NOT_INITIALIZED == -1496);

/* Distinct values for argument i of each kind.  Pointers and handles use all
 * 64 bits and 32-bit values their top bit, so a truncated, widened or
 * misplaced argument cannot go unnoticed; bit 0 of a 32-bit value is clear
 * unless BitZero, so PEX_CreateContext takes its common path. */
template <typename T, bool BitZero = false>
uint64_t patternWord(size_t i) {
    if constexpr (std::is_pointer_v<T> || std::is_same_v<T, uint64_t>) {
        return 0xF1E2D3C4B5A69700ull + (i << 4);
    } else if constexpr (std::is_same_v<T, uint32_t>) {
        return 0x80000000u | (static_cast<uint32_t>(i + 1) << 16) | 0xA55Au | (BitZero ? 1u : 0u);
    } else {
        static_assert(std::is_same_v<T, uint8_t>);
        return 0xC0u | (i << 1);
    }
}

template <typename T, bool BitZero>
T patternValue(size_t i) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(static_cast<uintptr_t>(patternWord<T, BitZero>(i)));
    } else {
        return static_cast<T>(patternWord<T, BitZero>(i));
    }
}

template <bool BitZero, typename... A, size_t... I>
int32_t invoke(int32_t (*wrapper)(A...), std::vector<uint64_t> *expected,
               std::index_sequence<I...>) {
    *expected = {patternWord<A, BitZero>(I)...};
    return wrapper(patternValue<A, BitZero>(I)...);
}

/* Calls the wrapper with the pattern and returns its status; expected
 * receives the arguments the library should see after the module identifier. */
template <auto Wrapper, bool BitZero = false>
int32_t invokeWithPattern(std::vector<uint64_t> *expected) {
    return [expected]<typename... A>(int32_t (*wrapper)(A...)) {
        return invoke<BitZero>(wrapper, expected, std::index_sequence_for<A...>{});
    }(Wrapper);
}

struct Operation {
    const char *wrapper;
    const char *library;
    int32_t (*call)(std::vector<uint64_t> *expected);
    int32_t (*callWithBitZero)(std::vector<uint64_t> *expected);  // bit 0 set in each U32
};

const std::vector<Operation> &operations() {
    static const std::vector<Operation> table = {
#define PEX_OP(name, params, args)                                 \
    {"PEX_" #name, "PEXX_" #name, &invokeWithPattern<&PEX_##name>, \
     &invokeWithPattern<&PEX_##name, true>},
#define SSL_OP(name, params, args)                                 \
    {"SSL_" #name, "SSLX_" #name, &invokeWithPattern<&SSL_##name>, \
     &invokeWithPattern<&SSL_##name, true>},
#include "platform/pex2/pex_ops.def"
#undef PEX_OP
#undef SSL_OP
    };
    return table;
}

class ClientWrappers : public pexdouble::ClientTest {
  protected:
    void openSession() { ASSERT_EQ(PEX_Init(&initWord), 0); }
    int initWord = 0;
};

TEST_F(ClientWrappers, EveryWrapperRefusesWithoutASession) {
    for (const Operation &op : operations()) {
        std::vector<uint64_t> expected;
        EXPECT_EQ(op.call(&expected), PEX_ERR_NOT_INITIALIZED) << op.wrapper;
    }
    EXPECT_TRUE(pexdouble::calls().empty());
    EXPECT_EQ(pexdouble::unlockCount(), 0u);
    EXPECT_EQ(pexInitialized, 0);
    EXPECT_EQ(InitCounter, 0);
}

TEST_F(ClientWrappers, NoWrapperButCreateContextOpensTheSessionOnBitZero) {
    for (const Operation &op : operations()) {
        if (std::string_view(op.wrapper) != "PEX_CreateContext") {
            std::vector<uint64_t> expected;
            EXPECT_EQ(op.callWithBitZero(&expected), PEX_ERR_NOT_INITIALIZED) << op.wrapper;
        }
    }
    EXPECT_TRUE(pexdouble::calls().empty());
    EXPECT_EQ(pexInitialized, 0);
    EXPECT_EQ(InitCounter, 0);
}

TEST_F(ClientWrappers, EveryWrapperPassesItsArgumentsAndStatusThrough) {
    openSession();
    const uint64_t module = hModule;
    /* Failures other than a refused session, and successes, come back as
     * they are and never touch the lock. */
    const int32_t statuses[] = {0, -1499, -2, 1, -1, -1422, INT32_MIN, INT32_MAX, -1495, -1497};
    size_t index = 0;
    for (const Operation &op : operations()) {
        SCOPED_TRACE(op.wrapper);
        const int32_t status = statuses[index++ % std::size(statuses)];
        pexdouble::script(op.library, status);
        const size_t before = pexdouble::calls().size();
        std::vector<uint64_t> expected;
        EXPECT_EQ(op.call(&expected), status);

        const std::vector<pexdouble::Call> calls = pexdouble::calls();
        ASSERT_EQ(calls.size(), before + 1);
        EXPECT_EQ(calls.back().function, op.library);
        expected.insert(expected.begin(), module);
        EXPECT_EQ(calls.back().args, expected);
    }
    EXPECT_EQ(pexdouble::unlockCount(), 0u);
    EXPECT_EQ(pexdouble::countOf("PEXX_Authenticate"), 1u);
    EXPECT_EQ(InitCounter, 1);
}

TEST_F(ClientWrappers, ALibraryRefusalReleasesTheLockExactlyOnce) {
    openSession();
    for (const Operation &op : operations()) {
        SCOPED_TRACE(op.wrapper);
        pexdouble::script(op.library, PEX_ERR_NOT_INITIALIZED);
        const size_t before = pexdouble::unlockCount(&pexLock);
        std::vector<uint64_t> expected;
        EXPECT_EQ(op.call(&expected), PEX_ERR_NOT_INITIALIZED);
        EXPECT_EQ(pexdouble::unlockCount(&pexLock), before + 1);
        /* The double returned holding the lock; the wrapper gave it back. */
        ASSERT_EQ(pthread_mutex_trylock(&pexLock), 0);
        ASSERT_EQ(pthread_mutex_unlock(&pexLock), 0);
    }
    EXPECT_EQ(pexdouble::unlockCount(), operations().size());
    /* The refusal is the library's word, not a closed session. */
    EXPECT_EQ(pexInitialized, 1);
}

TEST_F(ClientWrappers, CalcMacPassesOnlyTheLow8BitsZeroExtended) {
    openSession();
    /* Call through a type whose fourth parameter is 64 bits wide, so that the
     * register holds bits above the 8 that count (the x86-64 calling
     * convention leaves them unspecified).  The double receives the whole
     * register. */
    using Wide = int32_t (*)(void *, void *, uint32_t, uint64_t, void *, uint32_t, void *);
    const auto wide = reinterpret_cast<Wide>(reinterpret_cast<void (*)()>(&SSL_CalcMAC));
    auto *a = reinterpret_cast<void *>(0x1111111111111111ull);
    auto *b = reinterpret_cast<void *>(0x2222222222222222ull);
    auto *e = reinterpret_cast<void *>(0x5555555555555555ull);
    auto *g = reinterpret_cast<void *>(0x7777777777777777ull);
    EXPECT_EQ(wide(a, b, 0x33333333u, 0xFEDCBA98765432ABull, e, 0x66666666u, g), 0);

    const std::vector<pexdouble::Call> calls = pexdouble::calls();
    ASSERT_EQ(calls.back().function, "SSLX_CalcMAC");
    const std::vector<uint64_t> expected = {
        hModule, 0x1111111111111111ull, 0x2222222222222222ull, 0x33333333u,
        0xABu,   0x5555555555555555ull, 0x66666666u,           0x7777777777777777ull};
    EXPECT_EQ(calls.back().args, expected);
}

TEST_F(ClientWrappers, CreateContextWithBitZeroOpensTheSession) {
    PexHandle context = 0;
    pexdouble::script("PEXX_CreateContext", 17);
    EXPECT_EQ(PEX_CreateContext(PEX_CONTEXT_OPEN_SESSION, &context), 17);
    EXPECT_EQ(pexInitialized, 1);
    EXPECT_EQ(InitCounter, 1);

    const std::vector<pexdouble::Call> calls = pexdouble::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, "PEXX_Authenticate");
    EXPECT_EQ(calls[1].function, "PEXX_CreateContext");
    const std::vector<uint64_t> expected = {hModule, 1u, reinterpret_cast<uintptr_t>(&context)};
    EXPECT_EQ(calls[1].args, expected);

    /* With the session open it takes one more use; other bits pass too. */
    EXPECT_EQ(PEX_CreateContext(0x80000003u, &context), 17);
    EXPECT_EQ(InitCounter, 2);
    EXPECT_EQ(pexdouble::countOf("PEXX_Authenticate"), 1u);
    EXPECT_EQ(pexdouble::calls().back().args.at(1), 0x80000003u);

    /* Without bit 0 it is an ordinary wrapper: no use is taken. */
    EXPECT_EQ(PEX_CreateContext(0, &context), 17);
    EXPECT_EQ(InitCounter, 2);

    /* PEX_DestroyContext gives no use back. */
    EXPECT_EQ(PEX_DestroyContext(context), 0);
    EXPECT_EQ(InitCounter, 2);
}

TEST_F(ClientWrappers, CreateContextWithoutBitZeroNeedsAnOpenSession) {
    PexHandle context = 0;
    EXPECT_EQ(PEX_CreateContext(0, &context), PEX_ERR_NOT_INITIALIZED);
    EXPECT_EQ(PEX_CreateContext(0xFFFFFFFEu, &context), PEX_ERR_NOT_INITIALIZED);
    EXPECT_EQ(pexInitialized, 0);
    EXPECT_EQ(InitCounter, 0);
    EXPECT_TRUE(pexdouble::calls().empty());
}

TEST_F(ClientWrappers, CreateContextReturnsARefusedOpeningTranslated) {
    PexHandle context = 0;
    pexdouble::script("PEXX_Authenticate", -2);
    EXPECT_EQ(PEX_CreateContext(PEX_CONTEXT_OPEN_SESSION, &context), PEX_ERR_TRANSLATED_2);
    EXPECT_EQ(pexInitialized, 0);
    EXPECT_EQ(InitCounter, 0);
    EXPECT_EQ(pexdouble::countOf("PEXX_CreateContext"), 0u);
    EXPECT_EQ(context, 0u);
}

TEST_F(ClientWrappers, CreateContextReleasesTheLockAfterARefusal) {
    PexHandle context = 0;
    pexdouble::script("PEXX_CreateContext", PEX_ERR_NOT_INITIALIZED);
    EXPECT_EQ(PEX_CreateContext(PEX_CONTEXT_OPEN_SESSION, &context), PEX_ERR_NOT_INITIALIZED);
    EXPECT_EQ(pexdouble::unlockCount(&pexLock), 1u);
    EXPECT_EQ(InitCounter, 1);
}

}  // namespace
