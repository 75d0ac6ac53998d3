// Credential storage: the bytes handed to the credential store, the
// protection calls, the messages of every failure, the limits that keep
// writes inside the records, and the password buffer being wiped.
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

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override { fakes::reset(); }

    static napi_value call(std::initializer_list<napi_value> arguments) {
        return arb_set_credentials(nullptr, fakes::args(arguments));
    }
    static napi_value callWith(const std::string &service, const std::string &user,
                               const std::string &password) {
        return call({fakes::string(service), fakes::string(user), fakes::string(password)});
    }
};

uint32_t le32(const unsigned char *bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool allZero(const unsigned char *bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST_F(StoreTest, RecordsHandedToTheStoreHoldExactlyTheNamesAndTheBlob) {
    ASSERT_EQ(set_creds_in_arb("service-10", "admin", "pw"), 0);
    ASSERT_EQ(fakes::store.sets, 1);

    // Read through raw bytes at the record offsets.
    const auto *entry = reinterpret_cast<const unsigned char *>(&fakes::store.lastSetEntry);
    EXPECT_EQ(le32(entry), 10u);  // without the zero on a store
    EXPECT_EQ(memcmp(entry + 4, "service-10", 11), 0);
    EXPECT_TRUE(allZero(entry + 15, 516 - 15));

    const auto *record = reinterpret_cast<const unsigned char *>(&fakes::store.lastSetRecord);
    EXPECT_EQ(le32(record), 6u);  // "admin" and its zero
    EXPECT_EQ(memcmp(record + 4, "admin", 6), 0);
    EXPECT_TRUE(allZero(record + 10, 1028 - 10));
    // Plaintext "pw\0" is 3 bytes: the double's bound is 67, its blob 57.
    EXPECT_EQ(le32(record + 1028), 57u);
    for (size_t i = 0; i < 57; ++i) {
        ASSERT_EQ(record[1032 + i], fakes::blobByte(i)) << i;
    }
    EXPECT_TRUE(allZero(record + 1032 + 57, 1024 - 57));
    EXPECT_TRUE(messages().empty());
}

TEST_F(StoreTest, PasswordIsProtectedWithItsZeroUnderTheFixedLabelAndSessionIsClosedFirst) {
    ASSERT_EQ(set_creds_in_arb("svc", "user", "secret"), 0);
    ASSERT_EQ(fakes::lssLog.protects.size(), 2u);
    const fakes::ProtectCall &query = fakes::lssLog.protects[0];
    const fakes::ProtectCall &protect = fakes::lssLog.protects[1];
    for (const fakes::ProtectCall *c : {&query, &protect}) {
        EXPECT_EQ(c->label, "ARB_Cred_Store");
        EXPECT_EQ(c->labelLength, 14);
        EXPECT_EQ(c->mode, 2);
        EXPECT_EQ(c->data, std::string("secret", 7));
    }
    EXPECT_FALSE(query.hasOut);
    EXPECT_EQ(query.roomIn, 0);
    EXPECT_TRUE(protect.hasOut);
    EXPECT_EQ(protect.roomIn, 7 + 64);
    EXPECT_EQ(fakes::lssLog.inits, 1);
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);
    EXPECT_EQ(fakes::lssLog.shutdownsBeforeStore, 1);

    // An empty password is a one-byte plaintext.
    fakes::reset();
    ASSERT_EQ(set_creds_in_arb("svc", "user", ""), 0);
    EXPECT_EQ(fakes::lssLog.protects[0].data, std::string(1, '\0'));
}

TEST_F(StoreTest, JavaScriptCallReadsItsStringsWithTheirSizesAndAnswersStatusOk) {
    napi_value result = callWith("app", "user", "pass");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(fakes::napi().readSizes, (std::vector<size_t>{255, 255, 127}));
    const fakes::Value *object = asValue(result);
    ASSERT_EQ(object->properties.size(), 1u);
    EXPECT_EQ(object->properties[0].first, "status");
    EXPECT_EQ(object->properties[0].second->text, "OK");
    EXPECT_STREQ(fakes::store.lastSetEntry.name, "app");
    EXPECT_STREQ(fakes::store.lastSetRecord.userName, "user");
    EXPECT_EQ(fakes::lssLog.protects[0].data, std::string("pass", 5));

    // 254-byte names and a 126-byte password are kept whole; one byte more
    // is refused, never cut, and nothing is protected or stored.
    fakes::reset();
    ASSERT_NE(callWith(std::string(254, 'a'), std::string(254, 'u'), std::string(126, 'p')),
              nullptr);
    EXPECT_EQ(fakes::lssLog.protects[0].data, std::string(126, 'p') + '\0');
    const struct {
        std::string service, user, password, message;
    } tooLong[] = {
        {std::string(255, 'a'), "u", "p", "applicationName is longer than 254 bytes"},
        {"a", std::string(255, 'u'), "p", "username is longer than 254 bytes"},
        {"a", "u", std::string(127, 'p'), "password is longer than 126 bytes"},
    };
    for (const auto &c : tooLong) {
        fakes::reset();
        EXPECT_EQ(callWith(c.service, c.user, c.password), nullptr) << c.message;
        EXPECT_EQ(messages(), Lines{"arb_set_credentials| " + c.message});
        EXPECT_EQ(fakes::lssLog.inits, 0);
        EXPECT_EQ(fakes::store.sets, 0);
    }
}

TEST_F(StoreTest, EachFailingJavaScriptStepLogsItsOwnMessageAndYieldsUndefined) {
    EXPECT_EQ(call({fakes::string("svc"), fakes::string("user")}), nullptr);
    EXPECT_EQ(messages(),
              Lines{"arb_set_credentials| napi_get_value_string_utf8 to get password failed"});
    EXPECT_EQ(fakes::store.sets, 0);
    EXPECT_EQ(fakes::lssLog.inits, 0);

    fakes::reset();
    EXPECT_EQ(call({}), nullptr);
    EXPECT_EQ(
        messages(),
        Lines{"arb_set_credentials| napi_get_value_string_utf8 to get applicationName failed"});

    fakes::reset();
    EXPECT_EQ(call({fakes::string("svc")}), nullptr);
    EXPECT_EQ(messages(),
              Lines{"arb_set_credentials| napi_get_value_string_utf8 to get username failed"});

    // Steps after the store: the credential is stored, the call still fails.
    struct {
        const char *function;
        const char *message;
    } const late[] = {
        {"napi_create_object",
         "arb_set_credentials| napi_create_object failed in arb_set_credentials"},
        {"napi_create_string_utf8",
         "arb_set_credentials| napi_create_string_utf8 failed for status"},
        {"napi_set_named_property",
         "arb_set_credentials| napi_set_named_property failed for status"},
    };
    for (const auto &failure : late) {
        fakes::reset();
        fakes::failNapi(failure.function, 1);
        EXPECT_EQ(callWith("svc", "u", "p"), nullptr);
        EXPECT_EQ(messages(), Lines{failure.message});
        EXPECT_EQ(fakes::store.sets, 1);
    }
}

TEST_F(StoreTest, ProtectionFailuresLogTheStatusCloseTheSessionAndSkipTheStore) {
    fakes::lss.sizeQueryStatus = -4;
    EXPECT_EQ(callWith("svc", "u", "p"), nullptr);
    EXPECT_EQ(messages(), (Lines{"encryptCredential| Error while encrypting the data, Error: <-4>",
                                 "arb_set_credentials| set_creds_in_arb failed"}));
    // The formatted line reaches syslog as data, never as its format.
    EXPECT_EQ(fakes::logRecords()[0].format, "%s");
    EXPECT_EQ(fakes::store.sets, 0);
    EXPECT_EQ(fakes::lssLog.protects.size(), 1u);
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);

    fakes::reset();
    fakes::lss.protectStatus = -1416;
    EXPECT_EQ(set_creds_in_arb("svc", "u", "p"), -1);
    EXPECT_EQ(messages(),
              Lines{"encryptCredential| Error while encrypting the data, Error: <-1416>"});
    EXPECT_EQ(fakes::store.sets, 0);
    EXPECT_EQ(fakes::lssLog.protects.size(), 2u);
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);
}

TEST_F(StoreTest, StoreRefusalsAreReportedWithTheServiceAndTheirStatusPassesThrough) {
    fakes::store.setStatus = CREDSTORE_ERR_USER_NAME_NOT_SET;
    EXPECT_EQ(set_creds_in_arb("mailer", "", "p"), -805);
    EXPECT_EQ(messages(), Lines{"set_creds_in_arb| User name is not set for service mailer"});
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);

    fakes::reset();
    fakes::store.setStatus = CREDSTORE_ERR_USER_NAME_NOT_SET;
    EXPECT_EQ(callWith("mailer", "", "p"), nullptr);
    EXPECT_EQ(messages(), (Lines{"set_creds_in_arb| User name is not set for service mailer",
                                 "arb_set_credentials| set_creds_in_arb failed"}));

    fakes::reset();
    fakes::store.setStatus = -824;
    EXPECT_EQ(set_creds_in_arb("mailer", "u", "p"), -824);
    // This message ends with a space.
    EXPECT_EQ(
        messages(),
        Lines{"set_creds_in_arb| Error in setting credential for service mailer errorCode -824 "});
}

TEST_F(StoreTest, NamesAndBlobsThatWouldNotFitTheRecordsAreRefused) {
    // Service name: 511 bytes and a zero fit the 512-byte field, 512 do not.
    EXPECT_EQ(set_creds_in_arb(std::string(511, 's').c_str(), "u", "p"), 0);
    EXPECT_EQ(fakes::store.lastSetEntry.nameLength, 511u);
    fakes::reset();
    EXPECT_EQ(set_creds_in_arb(std::string(512, 's').c_str(), "u", "p"), -1);
    EXPECT_EQ(messages(), Lines{"set_creds_in_arb| Service name too long - 512 bytes"});
    EXPECT_EQ(fakes::store.sets, 0);
    EXPECT_EQ(fakes::lssLog.inits, 0);

    // User name: 1023 bytes and a zero fit the 1024-byte field.
    fakes::reset();
    EXPECT_EQ(set_creds_in_arb("svc", std::string(1023, 'u').c_str(), "p"), 0);
    EXPECT_EQ(fakes::store.lastSetRecord.userNameLength, 1024u);
    fakes::reset();
    EXPECT_EQ(set_creds_in_arb("svc", std::string(1024, 'u').c_str(), "p"), -1);
    EXPECT_EQ(messages(),
              Lines{"set_creds_in_arb| User name too long for service svc - 1024 bytes"});
    EXPECT_EQ(fakes::store.sets, 0);

    // Password: 127 bytes and a zero come back whole from a read; a longer
    // one could be stored but never read back, so it is refused.
    fakes::reset();
    EXPECT_EQ(set_creds_in_arb("svc", "u", std::string(127, 'p').c_str()), 0);
    fakes::reset();
    EXPECT_EQ(set_creds_in_arb("svc", "u", std::string(128, 'p').c_str()), -1);
    EXPECT_EQ(messages(), Lines{"set_creds_in_arb| Password too long for service svc - 128 bytes"});
    EXPECT_EQ(fakes::store.sets, 0);

    // Blob: 1024 bytes fill the secret field exactly; one more is refused.
    fakes::reset();
    fakes::lss.bound = 1100;
    fakes::lss.blobLength = 1024;
    EXPECT_EQ(set_creds_in_arb("svc", "u", "p"), 0);
    EXPECT_EQ(fakes::store.lastSetRecord.secretLength, 1024u);
    fakes::reset();
    fakes::lss.bound = 1100;
    fakes::lss.blobLength = 1025;
    EXPECT_EQ(set_creds_in_arb("svc", "u", "p"), -1);
    EXPECT_EQ(
        messages(),
        Lines{
            "encryptCredential| Protected data of 1025 bytes does not fit the credential record"});
    EXPECT_EQ(fakes::store.sets, 0);
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);

    // A blob reported longer than the room it was given is not copied.
    fakes::reset();
    fakes::lss.bound = 100;
    fakes::lss.blobLength = 101;
    EXPECT_EQ(set_creds_in_arb("svc", "u", "p"), -1);
    EXPECT_EQ(fakes::store.sets, 0);

    // Nor is a size bound that no blob can have.
    fakes::reset();
    fakes::lss.bound = 0;
    EXPECT_EQ(set_creds_in_arb("svc", "u", "p"), -1);
    EXPECT_EQ(messages(), Lines{"encryptCredential| Invalid size of the protected data - 0"});
    EXPECT_EQ(fakes::lssLog.protects.size(), 1u);
    EXPECT_EQ(fakes::lssLog.shutdowns, 1);
}

TEST_F(StoreTest, NullArgumentsAreRefusedWithoutTouchingTheProtectionLayer) {
    EXPECT_EQ(set_creds_in_arb(nullptr, "u", "p"), -1);
    EXPECT_EQ(set_creds_in_arb("s", nullptr, "p"), -1);
    EXPECT_EQ(set_creds_in_arb("s", "u", nullptr), -1);
    ProtectedSecret secret{};
    EXPECT_EQ(encryptCredential(nullptr, &secret), -1);
    EXPECT_EQ(encryptCredential("p", nullptr), -1);
    EXPECT_EQ(messages().size(), 5u);
    EXPECT_EQ(fakes::lssLog.inits, 0);
    EXPECT_EQ(fakes::store.sets, 0);
}

// The password buffer of arb_set_credentials is the one handed to the
// protection layer.  After the call returns, that stack memory must no
// longer hold the password, on success and on failure alike.
bool passwordLeftAt(const void *where, const std::string &password) {
    // Copied first, byte by byte into static storage: this function's own
    // frame may lie over the dead frame being inspected.
    static unsigned char snapshot[256];
    const volatile unsigned char *source = static_cast<const volatile unsigned char *>(where);
    for (size_t i = 0; i < 128; ++i) {
        snapshot[i] = source[i];
    }
    return memmem(snapshot, 128, password.data(), password.size()) != nullptr;
}

TEST_F(StoreTest, PasswordBufferIsWipedOnEveryPath) {
    const std::string password = "Tr0ub4dor&3-unique-marker";
    ASSERT_NE(callWith("svc", "u", password), nullptr);
    ASSERT_FALSE(fakes::lssLog.protects.empty());
    EXPECT_FALSE(passwordLeftAt(fakes::lssLog.protects[0].dataPointer, password));

    fakes::reset();
    fakes::store.setStatus = -826;
    ASSERT_EQ(callWith("svc", "u", password), nullptr);
    EXPECT_FALSE(passwordLeftAt(fakes::lssLog.protects[0].dataPointer, password));

    fakes::reset();
    fakes::lss.protectStatus = -3;
    ASSERT_EQ(callWith("svc", "u", password), nullptr);
    EXPECT_FALSE(passwordLeftAt(fakes::lssLog.protects[0].dataPointer, password));
}

}  // namespace
