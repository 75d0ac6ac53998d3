/* The protection layer's session: lazy start, AES probe, shutdown, bag
 * functions, and the three key operations, against the service double. */
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cryptoclient/pex.h"
#include "lss/lss.h"
#include "lss/lss_internal.h"
#include "test/lss/blob_util.h"
#include "test/support/pex_service_fake.h"

using lssfake::state;
using Calls = std::vector<std::string>;

namespace {

using LssSession = lsstest::LayerTest;

/* Starts the session, empties the call log and fetches a key with `get`,
 * which must succeed. */
void startAndGetKey(int32_t (*get)(PexHandle *), PexHandle *key) {
    ASSERT_EQ(lssStart(), 0);
    lssfake::clearLog();
    ASSERT_EQ(get(key), 0);
}

/* A context that cannot be created fails `call` with the same status, and
 * nothing else is asked of the service. */
template <typename Call>
void expectContextFailureReturned(Call call, int32_t status) {
    lssfake::fail("CreateContext", status);
    lssfake::clearLog();
    EXPECT_EQ(call(), status);
    EXPECT_EQ(state().calls, (Calls{"CreateContext"}));
}

TEST_F(LssSession, StartOpensTheSessionOnceAndProbesForAes) {
    EXPECT_EQ(LSSBagCount(), LSS_ERR_FAILURE);
    EXPECT_EQ(state().calls, (Calls{"Init", "GetAlgorithmInfo"}));
    EXPECT_EQ(state().initArgValue, static_cast<uint64_t>(getpid()));
    EXPECT_EQ(lssStarted, 1);
    EXPECT_EQ(lssAesAvailable, 1);

    /* Every bag function refuses; none starts the session a second time. */
    for (auto bag : {LSSPut, LSSGet, LSSDeleteBag, LSSDeleteAllBags, LSSBagCount, LSSBagList}) {
        EXPECT_EQ(bag(), LSS_ERR_FAILURE);
    }
    EXPECT_EQ(state().calls.size(), 2u);
}

TEST_F(LssSession, ShutdownClosesAndTheNextStartReopensAndProbesAgain) {
    ASSERT_EQ(lssStart(), 0);
    EXPECT_EQ(LSSShutdown(), 0);
    EXPECT_EQ(lssStarted, 0);
    EXPECT_EQ(lssAesAvailable, 1) << "the probe result outlives the session";

    state().aesAvailable = false;
    lssfake::clearLog();
    ASSERT_EQ(lssStart(), 0) << "a failed probe is no failure of the start";
    EXPECT_EQ(state().calls, (Calls{"Init", "GetAlgorithmInfo"}));
    EXPECT_EQ(lssAesAvailable, 0);
}

TEST_F(LssSession, InitAndShutdownWorkWithoutAService) {
    lssfake::fail("Init", -1496);
    EXPECT_EQ(LSSInit(), 0);
    EXPECT_TRUE(state().calls.empty());
    /* Shutting down a layer that never started still closes the session. */
    EXPECT_EQ(LSSShutdown(), 0);
    EXPECT_EQ(state().calls, (Calls{"ShutdownAll"}));
}

TEST_F(LssSession, FailedInitLeavesTheLayerNotStartedAndIsRetried) {
    lssfake::fail("Init", -1496);
    EXPECT_EQ(lssStart(), -1496);
    EXPECT_EQ(LSSBagList(), LSS_ERR_FAILURE);
    EXPECT_EQ(lssStarted, 0);
    EXPECT_EQ(state().calls, (Calls{"Init", "Init"})) << "no probe without a session";

    lssfake::reset();
    EXPECT_EQ(lssStart(), 0);
    EXPECT_EQ(lssStarted, 1);
}

TEST_F(LssSession, FindWrappingKeySearchesWithTheTwoRecordTemplate) {
    PexHandle key = 0;
    ASSERT_NO_FATAL_FAILURE(startAndGetKey(lssFindWrappingKey, &key));
    EXPECT_EQ(key, lssfake::kWrappingKey);
    EXPECT_EQ(state().calls,
              (Calls{"CreateContext", "FindObjectsInit", "FindObjects", "DestroyContext"}));
    const auto &t = state().findTemplate;
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(std::vector<uint32_t>({t[0].type, t[0].present, t[0].value, t[0].zero}),
              std::vector<uint32_t>({12, 1, 1, 0}));
    EXPECT_EQ(std::vector<uint32_t>({t[1].type, t[1].present, t[1].value, t[1].zero}),
              std::vector<uint32_t>({10, 1, 6, 0}));
}

TEST_F(LssSession, FindWrappingKeyFailuresStoreNoHandle) {
    ASSERT_EQ(lssStart(), 0);
    const PexHandle untouched = 0x1234;
    PexHandle key = untouched;

    state().wrappingKeyFound = false;
    EXPECT_EQ(lssFindWrappingKey(&key), LSS_ERR_NO_WRAPPING_KEY);
    state().wrappingKeyFound = true;

    lssfake::fail("FindObjectsInit", -7001);
    lssfake::clearLog();
    EXPECT_EQ(lssFindWrappingKey(&key), -7001);
    EXPECT_EQ(state().calls, (Calls{"CreateContext", "FindObjectsInit", "DestroyContext"}));

    lssfake::freshLayer();
    ASSERT_EQ(lssStart(), 0);
    lssfake::fail("FindObjects", -7002);
    EXPECT_EQ(lssFindWrappingKey(&key), -7002);
    expectContextFailureReturned([&key] { return lssFindWrappingKey(&key); }, -7003);
    EXPECT_EQ(key, untouched);
}

TEST_F(LssSession, PartitionKeyAndDestroyKeyRunInAContextOfTheirOwn) {
    PexHandle key = 0;
    ASSERT_NO_FATAL_FAILURE(startAndGetKey(lssGetPartitionKey, &key));
    EXPECT_EQ(key, lssfake::kPartitionKey);
    EXPECT_EQ(state().partitionBufferLength, 32u);

    lssfake::fail("GetPartitionKey", -7004);
    PexHandle other = 0x99;
    EXPECT_EQ(lssGetPartitionKey(&other), -7004);
    EXPECT_EQ(other, 0x99u);

    /* A key made in one context is destroyed in another. */
    PexHandle context = 0;
    PexHandle content = 0;
    const PexAlgorithm keygen{OID_AES128_CBC, nullptr, 0};
    uint32_t scratch = 0;
    ASSERT_EQ(PEX_CreateContext(0, &context), 0);
    ASSERT_EQ(PEX_GenerateKey(context, &keygen, nullptr, 0, &scratch, &content, 0), 0);
    ASSERT_EQ(PEX_DestroyContext(context), 0);
    lssfake::clearLog();
    EXPECT_EQ(lssDestroyKey(&content), 0);
    EXPECT_EQ(state().calls, (Calls{"CreateContext", "DestroyObject", "DestroyContext"}));
    EXPECT_EQ(state().destroyCalls[content], 1);

    lssfake::fail("DestroyObject", -7005);
    EXPECT_EQ(lssDestroyKey(&content), -7005);
    expectContextFailureReturned([&content] { return lssDestroyKey(&content); }, -7006);
}

}  // namespace
