// Credential retrieval: the read request, the store's and the protection
// layer's failures with their messages, the checks on lengths that come
// from the store, and the password buffers being wiped.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "addon/credentials.h"
#include "test/credentials/fakes.h"

namespace {

using fakes::asValue;
using fakes::messages;
using Lines = std::vector<std::string>;

class RetrievalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::reset();
        storedUser("svc-user");
        fakes::store.getRecord.secretLength = 48;
        fakes::lss.plaintext = std::string("hunter2", 8);
    }

    static void storedUser(const std::string &name, uint32_t length) {
        CredentialRecord &record = fakes::store.getRecord;
        memset(record.userName, 0, sizeof record.userName);
        memcpy(record.userName, name.data(), name.size());
        record.userNameLength = length;
    }
    static void storedUser(const std::string &name) {
        storedUser(name, static_cast<uint32_t>(name.size() + 1));
    }

    static napi_value call(const std::string &service) {
        return arb_get_credentials(nullptr, fakes::args({fakes::string(service)}));
    }

    // The two properties of a result object, in the order they were set.
    static std::vector<std::pair<std::string, std::string>> props(napi_value result) {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto &[name, value] : asValue(result)->properties) {
            out.emplace_back(name, value->text);
        }
        return out;
    }
};

using Props = std::vector<std::pair<std::string, std::string>>;

TEST_F(RetrievalTest, ReadRequestCountsTheZeroAndUnprotectsIntoA128ByteRoom) {
    napi_value result = call("mail-relay");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(props(result), (Props{{"user_name", "svc-user"}, {"password", "hunter2"}}));
    EXPECT_EQ(fakes::napi().readSizes, (std::vector<size_t>{255}));

    const ServiceEntry &entry = fakes::store.lastGetEntry;
    EXPECT_EQ(entry.nameLength, 11u);  // with the zero on a read
    EXPECT_STREQ(entry.name, "mail-relay");
    ServiceEntry expected{};
    expected.nameLength = 11;
    memcpy(expected.name, "mail-relay", 11);
    EXPECT_EQ(memcmp(&entry, &expected, sizeof entry), 0);

    EXPECT_EQ(fakes::lssLog.unprotectLabel, "ARB_Cred_Store");
    EXPECT_EQ(fakes::lssLog.unprotectLabelLength, 14);
    EXPECT_EQ(fakes::lssLog.unprotectBlobLength, 48u);
    EXPECT_EQ(fakes::lssLog.unprotectRoom, 128u);
    EXPECT_EQ(fakes::lssLog.inits, 1);
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);
    EXPECT_EQ(fakes::lssLog.shutdownsBeforeStore, 0);  // LSSInit, then the store
    EXPECT_TRUE(messages().empty());
}

TEST_F(RetrievalTest, StoreFailuresAreToldApartOnlyByTheirMessages) {
    fakes::store.getStatus = CREDSTORE_ERR_NOT_FOUND;
    EXPECT_EQ(call("nowhere"), nullptr);
    EXPECT_EQ(messages(), (Lines{"load_creds_from_arb| Service entry <nowhere> not found in ARB",
                                 "arb_get_credentials| load_creds_from_arb failed"}));
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);
    EXPECT_EQ(fakes::lssLog.unprotects, 0);

    fakes::reset();
    fakes::store.getStatus = -822;
    EXPECT_EQ(call("svc"), nullptr);
    EXPECT_EQ(messages(), (Lines{"load_creds_from_arb| Error in retrieving credentials for <svc> "
                                 "from ARB, Error - <-822>",
                                 "arb_get_credentials| load_creds_from_arb failed"}));
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);

    fakes::reset();
    EXPECT_EQ(arb_get_credentials(nullptr, fakes::args({})), nullptr);
    EXPECT_EQ(messages(), Lines{"arb_get_credentials| napi_get_value_string_utf8 failed"});
    EXPECT_EQ(fakes::store.gets, 0);
    EXPECT_EQ(fakes::lssLog.inits, 0);
}

TEST_F(RetrievalTest, UserNameLengthIsCheckedAndTheCopyStopsAtTheFirstZero) {
    storedUser(std::string(300, 'a'), 257);
    EXPECT_EQ(call("svc"), nullptr);
    EXPECT_EQ(messages(), (Lines{"load_creds_from_arb| Invalid user Name length - 257",
                                 "arb_get_credentials| load_creds_from_arb failed"}));
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);

    // Compared as unsigned: a "negative" length is far above 256.
    fakes::reset();
    storedUser("u", 0xFFFFFFFFu);
    EXPECT_EQ(call("svc"), nullptr);
    EXPECT_EQ(messages()[0], "load_creds_from_arb| Invalid user Name length - -1");

    fakes::reset();
    storedUser("ignored", 0);
    EXPECT_EQ(props(call("svc")), (Props{{"user_name", ""}, {"password", ""}}));

    // Bytes after the first zero are not copied, and the length bounds the
    // copy even where the record holds more.
    fakes::reset();
    storedUser(std::string("abc\0def", 7), 8);
    char user[256];
    memset(user, 'X', sizeof user);
    EXPECT_EQ(load_creds_from_arb("svc", user, nullptr), 0);
    EXPECT_EQ(std::string(user, 9), std::string("abc\0\0\0\0\0X", 9));
    fakes::reset();
    storedUser("abcdef", 3);
    memset(user, 'X', sizeof user);
    EXPECT_EQ(load_creds_from_arb("svc", user, nullptr), 0);
    EXPECT_EQ(std::string(user, 4), "abcX");
}

TEST_F(RetrievalTest, UserNameOfFullBufferWithoutZeroIsReturnedWholeWithinItsBuffer) {
    // 256 bytes and no zero: the JavaScript string is built from exactly the
    // 256 bytes (an overread past the buffer would fail under the address
    // sanitizer).
    storedUser(std::string(300, 'n'), 256);
    napi_value result = call("svc");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(props(result)[0],
              (std::pair<std::string, std::string>{"user_name", std::string(256, 'n')}));
}

TEST_F(RetrievalTest, NullPasswordOutReturnsTheUserNameWithoutUnprotecting) {
    fakes::store.getRecord.secretLength = 5000;  // not looked at either
    char user[256] = {};
    EXPECT_EQ(load_creds_from_arb("svc", user, nullptr), 0);
    EXPECT_STREQ(user, "svc-user");
    EXPECT_EQ(fakes::lssLog.unprotects, 0);
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);
    EXPECT_TRUE(messages().empty());
}

TEST_F(RetrievalTest, UnprotectFailuresAndBadLengthsLeaveTheUserNameAndCloseTheSession) {
    fakes::lss.unprotectStatus = -7;
    char user[256] = {};
    char password[256] = {};
    EXPECT_EQ(load_creds_from_arb("svc", user, password), -1);
    EXPECT_EQ(messages(), Lines{"load_creds_from_arb| Error while decrypting proxy password "
                                "retrieved from ARB, Error: <-7>"});
    EXPECT_STREQ(user, "svc-user");
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);

    fakes::reset();
    storedUser("u");
    fakes::lss.plaintext = std::string(128, 'p');
    fakes::lss.reportedLength = 129;
    EXPECT_EQ(load_creds_from_arb("svc", user, password), -1);
    EXPECT_EQ(messages(), Lines{"load_creds_from_arb| Invalid password length - 129"});
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);

    // Negative when taken as signed: refused too, never used as a count.
    fakes::reset();
    storedUser("u");
    fakes::lss.reportedLength = 0x80000000u;
    EXPECT_EQ(load_creds_from_arb("svc", user, password), -1);
    EXPECT_EQ(messages(), Lines{"load_creds_from_arb| Invalid password length - -2147483648"});

    // 128 is the room itself and is accepted.
    fakes::reset();
    storedUser("u");
    fakes::lss.plaintext = std::string(128, 'p');
    memset(password, 0, sizeof password);
    EXPECT_EQ(load_creds_from_arb("svc", user, password), 0);
    EXPECT_EQ(std::string(password), std::string(128, 'p'));
}

TEST_F(RetrievalTest, SecretLengthBeyondTheRecordIsRefusedBeforeUnprotecting) {
    fakes::store.getRecord.secretLength = 1025;
    char user[256] = {};
    char password[256] = {};
    EXPECT_EQ(load_creds_from_arb("svc", user, password), -1);
    EXPECT_EQ(messages(), Lines{"load_creds_from_arb| Invalid secret length - 1025"});
    EXPECT_EQ(fakes::lssLog.unprotects, 0);
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);

    fakes::reset();
    storedUser("u");
    fakes::store.getRecord.secretLength = 1024;
    fakes::lss.plaintext = std::string("x", 2);
    EXPECT_EQ(load_creds_from_arb("svc", user, password), 0);
    EXPECT_EQ(fakes::lssLog.unprotectBlobLength, 1024u);
}

TEST_F(RetrievalTest, OverlongServiceNameAndNullArgumentsAreRefused) {
    char user[256] = {};
    EXPECT_EQ(load_creds_from_arb(std::string(512, 's').c_str(), user, nullptr), -1);
    EXPECT_EQ(messages(), Lines{"load_creds_from_arb| Service name too long - 512 bytes"});
    EXPECT_EQ(fakes::store.gets, 0);
    EXPECT_EQ(fakes::lssLog.inits, 0);

    fakes::reset();
    storedUser("u");
    EXPECT_EQ(load_creds_from_arb(std::string(511, 's').c_str(), user, nullptr), 0);
    EXPECT_EQ(fakes::store.lastGetEntry.nameLength, 512u);

    EXPECT_EQ(load_creds_from_arb(nullptr, user, nullptr), -1);
    EXPECT_EQ(load_creds_from_arb("svc", nullptr, nullptr), -1);
}

TEST_F(RetrievalTest, EachFailingResultStepLogsItsOwnMessage) {
    struct {
        const char *function;
        int nth;
        const char *message;
    } const failures[] = {
        {"napi_create_object", 1,
         "arb_get_credentials| napi_create_object failed for credentialsObject"},
        {"napi_create_string_utf8", 1,
         "arb_get_credentials| napi_create_string_utf8 failed for username in arb_get_credentials"},
        {"napi_create_string_utf8", 2,
         "arb_get_credentials| napi_create_string_utf8 failed for password in arb_get_credentials"},
        {"napi_set_named_property", 1,
         "arb_get_credentials| napi_set_named_property failed for username in arb_get_credentials"},
        {"napi_set_named_property", 2,
         "arb_get_credentials| napi_set_named_property failed for password in arb_get_credentials"},
    };
    for (const auto &failure : failures) {
        SetUp();
        fakes::failNapi(failure.function, failure.nth);
        EXPECT_EQ(call("svc"), nullptr) << failure.message;
        EXPECT_EQ(messages(), Lines{failure.message});
    }
}

// Whether the password is still found at a buffer of a call that returned.
bool passwordLeftAt(const void *where, size_t size, const std::string &password) {
    // Copied first, byte by byte into static storage: this function's own
    // frame may lie over the dead frame being inspected.
    static unsigned char snapshot[256];
    const volatile unsigned char *source = static_cast<const volatile unsigned char *>(where);
    for (size_t i = 0; i < size; ++i) {
        snapshot[i] = source[i];
    }
    return memmem(snapshot, size, password.data(), password.size()) != nullptr;
}

TEST_F(RetrievalTest, PasswordBuffersAreWipedOnEveryPath) {
    const std::string password = "Correct-Horse-unique-marker";
    fakes::lss.plaintext = password + '\0';

    // Success: the 128-byte buffer of load_creds_from_arb and the 256-byte
    // buffer of arb_get_credentials (the source of the password string).
    ASSERT_NE(call("svc"), nullptr);
    ASSERT_EQ(fakes::napi().createdFrom.size(), 2u);
    EXPECT_FALSE(passwordLeftAt(fakes::lssLog.unprotectOut, 128, password));
    EXPECT_FALSE(passwordLeftAt(fakes::napi().createdFrom[1], 256, password));

    // Failing after the password was regained.
    SetUp();
    fakes::lss.plaintext = password + '\0';
    fakes::failNapi("napi_set_named_property", 2);
    ASSERT_EQ(call("svc"), nullptr);
    EXPECT_FALSE(passwordLeftAt(fakes::lssLog.unprotectOut, 128, password));
    EXPECT_FALSE(passwordLeftAt(fakes::napi().createdFrom[1], 256, password));

    // Failing on the length check, with the plaintext already in the buffer.
    SetUp();
    fakes::lss.plaintext = password + '\0';
    fakes::lss.reportedLength = 500;
    ASSERT_EQ(call("svc"), nullptr);
    EXPECT_FALSE(passwordLeftAt(fakes::lssLog.unprotectOut, 128, password));
}

}  // namespace
