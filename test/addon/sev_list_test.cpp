// GetSevListDornUser against an identity library double that can answer
// anything, and the get_sev_list callback's steps that JavaScript itself
// cannot make fail, through a Node-API double.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "addon/addon.h"
#include "platform/tamo/tamolib.h"
#include "test/addon/fakes.h"

namespace {

using fakes::directory;
using fakes::guidOf;
using fakes::logMessages;

class SevList : public ::testing::Test {
  protected:
    void SetUp() override { fakes::reset(); }

    // Adds n entries with DNs "cn=gI" to the list.
    void addEntries(int n) {
        for (int i = 0; i < n; ++i) {
            directory().list.push_back(guidOf(i));
            directory().dns[guidOf(i)] = "cn=g" + std::to_string(i);
        }
    }

    static std::vector<std::string> slots(const char *dns, int32_t count) {
        std::vector<std::string> out;
        for (int32_t i = 0; i < count; ++i) {
            out.emplace_back(dns + 256 * i);
        }
        return out;
    }
};

TEST_F(SevList, ReturnsDnsInListOrderAfterOneCall) {
    addEntries(3);
    int32_t count = -1;
    char *dns = GetSevListDornUser("al\xC3\xA9", &count);
    ASSERT_NE(dns, nullptr);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(slots(dns, count), (std::vector<std::string>{"cn=g0", "cn=g1", "cn=g2"}));
    EXPECT_EQ(directory().capacities, std::vector<int32_t>{20});
    EXPECT_EQ(directory().lastName16, std::string("a\0l\0\xE9\0", 6));
    EXPECT_TRUE(logMessages().empty());
    free(dns);
}

// ---- Hostile answers: the library's answers are input. ----

TEST_F(SevList, LibraryThatKeepsAskingForMoreRoomIsGivenUpOn) {
    directory().listHook = [](int32_t *count, unsigned char *) {
        *count += 1;
        return int32_t{TAMO_ERR_BUFFER_TOO_SMALL};
    };
    int32_t count = 0;
    EXPECT_EQ(GetSevListDornUser("bob", &count), nullptr);
    EXPECT_GT(directory().listCalls, 1);
    EXPECT_LE(directory().listCalls, 16);
    EXPECT_EQ(
        logMessages(),
        std::vector<std::string>{
            "MFA-NAPI: <GetSevListDornUser> Failed to get SEV list of user: bob, error: -9009"});
}

TEST_F(SevList, SuccessClaimingMoreThanTheCapacityIsNeverReadPastTheArray) {
    // The first answer claims 1000 GUIDs in a 20-GUID array; the next one,
    // with room for 1000, is honest.  Reading 1000 GUIDs from the first
    // array would be caught by AddressSanitizer.
    directory().listHook = [](int32_t *count, unsigned char *guids) {
        if (*count < 1000) {
            *count = 1000;
            return int32_t{TAMO_OK};
        }
        for (int i = 0; i < 1000; ++i) {
            std::memcpy(guids + 16 * i, guidOf(7).data(), 16);
        }
        return int32_t{TAMO_OK};
    };
    directory().dns[guidOf(7)] = "cn=seven";
    int32_t count = 0;
    char *dns = GetSevListDornUser("bob", &count);
    ASSERT_NE(dns, nullptr);
    EXPECT_EQ(count, 1000);
    EXPECT_EQ(directory().capacities, (std::vector<int32_t>{20, 1000}));
    EXPECT_STREQ(dns + 256 * 999, "cn=seven");
    free(dns);
}

TEST_F(SevList, NegativeCountsAreFailures) {
    for (int32_t status : {int32_t{TAMO_OK}, int32_t{TAMO_ERR_BUFFER_TOO_SMALL}}) {
        fakes::reset();
        directory().listHook = [status](int32_t *count, unsigned char *) {
            *count = -5;
            return status;
        };
        int32_t count = 0;
        EXPECT_EQ(GetSevListDornUser("bob", &count), nullptr);
        EXPECT_EQ(directory().listCalls, 1);
        EXPECT_EQ(logMessages(),
                  std::vector<std::string>{
                      "MFA-NAPI: <GetSevListDornUser> Failed to get SEV list of user: bob, "
                      "error: " +
                      std::to_string(status)});
    }
}

TEST_F(SevList, HugeNeededCountFailsToAllocateWithoutWrapping) {
    // 2^28 GUIDs need 4 GiB; the product must not wrap in 32 bits into a
    // small allocation that the library would then overrun.
    directory().listHook = [](int32_t *count, unsigned char *) {
        if (*count == 20) {
            *count = 1 << 28;
            return int32_t{TAMO_ERR_BUFFER_TOO_SMALL};
        }
        return int32_t{TAMO_ERR_NOT_FOUND};
    };
    int32_t count = 0;
    EXPECT_EQ(GetSevListDornUser("bob", &count), nullptr);
    // Either the 4 GiB allocation fails and says so with the whole size, or
    // it succeeds and the library's next answer is reported.
    ASSERT_EQ(logMessages().size(), 1u);
    const std::string message = logMessages()[0];
    EXPECT_TRUE(
        message ==
            "MFA-NAPI: <GetSevListDornUser> Failed to allocate 4294967296 bytes for sevGUIDs in "
            "GetSevListDornUser" ||
        message ==
            "MFA-NAPI: <GetSevListDornUser> Failed to get SEV list of user: bob, error: -9001")
        << message;
}

TEST_F(SevList, SuccessWithoutDnIsAFailedLookupAndNothingIsFreedTwice) {
    addEntries(2);
    // The second lookup succeeds but leaves the pointer as it was: the
    // string freed after the first GUID must not be used or freed again.
    directory().dnHook = [](const unsigned char *guid, char **dn) {
        if (guid[0] == 0) {
            *dn = strdup("cn=first");
        }
        return int32_t{TAMO_OK};
    };
    int32_t count = 0;
    EXPECT_EQ(GetSevListDornUser("bob", &count), nullptr);
    EXPECT_EQ(logMessages(),
              std::vector<std::string>{"MFA-NAPI: <ConvertSevListFromGuidToDNs> Failed to get user "
                                       "details by GUID: 04030201-0605-0807-09-0a-0b0c0d0e0f10, "
                                       "error: 0"});
}

// A name that JavaScript cannot pass (not UTF-8): skipping the stray byte
// would ask for "admin".
TEST_F(SevList, NameThatDoesNotConvertWholeIsRefusedBeforeTheListCall) {
    addEntries(1);
    int32_t count = 0;
    EXPECT_EQ(GetSevListDornUser("ad\x80min", &count), nullptr);
    EXPECT_EQ(directory().listCalls, 0);
    EXPECT_EQ(logMessages(), std::vector<std::string>{"MFA-NAPI: <GetSevListDornUser> User name "
                                                      "ad\x80min cannot be converted to UTF-16"});
}

// The exported layout keeps cutting; get_sev_list returns the DN whole
// (test/js/sev_list.test.js).
TEST_F(SevList, SlotsCutADnAt255Bytes) {
    const std::string longDn = "cn=" + std::string(297, 'x');
    directory().list = {guidOf(0), guidOf(1)};
    directory().dns[guidOf(0)] = longDn;
    directory().dns[guidOf(1)] = "cn=short";
    int32_t count = 0;
    char *dns = GetSevListDornUser("bob", &count);
    ASSERT_NE(dns, nullptr);
    EXPECT_EQ(slots(dns, count), (std::vector<std::string>{longDn.substr(0, 255), "cn=short"}));
    free(dns);
}

TEST_F(SevList, LongNameFromACCallerIsConvertedWhole) {
    addEntries(1);
    int32_t count = 0;
    char *dns = GetSevListDornUser(std::string(5000, 'x').c_str(), &count);
    ASSERT_NE(dns, nullptr);
    EXPECT_EQ(directory().lastName16.size(), 10000u);
    free(dns);
}

// ---- The JavaScript callbacks' inner steps, through the Node-API double. ----

class Callbacks : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::reset();
        for (int i = 0; i < 3; ++i) {
            directory().list.push_back(guidOf(i));
            directory().dns[guidOf(i)] = "cn=g" + std::to_string(i);
        }
    }

    napi_value sevList() {
        napi.arguments = {napi.string("dorn"), napi.string("bob")};
        return get_sev_list(napi.env(), nullptr);
    }

    fakes::Napi &napi = fakes::napi();
};

TEST_F(Callbacks, SevListBuildsCountThenGroupsInOrder) {
    auto *result = reinterpret_cast<fakes::Value *>(sevList());
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(result->properties.size(), 4u);
    EXPECT_EQ(result->properties[0].first, "sev_count");
    EXPECT_EQ(result->properties[0].second->number, 3u);
    EXPECT_EQ(result->properties[3].first, "group2");
    EXPECT_EQ(result->properties[3].second->text, "cn=g2");
}

TEST_F(Callbacks, EachFailingSevListStepLogsItsOwnMessage) {
    struct Case {
        const char *function;
        int call;
        const char *message;
    } cases[] = {
        {"napi_get_cb_info", 1, "napi_get_cb_info failed"},
        {"napi_get_value_string_utf8", 2, "napi_get_value_string_utf8 failed"},
        {"napi_create_uint32", 1, "napi_create_uint32 failed"},
        {"napi_create_object", 1, "Failed to create NAPI object in get_sev_list"},
        {"napi_set_named_property", 1,
         "napi_set_named_property failed for sev_count in get_sev_list"},
        {"napi_create_string_utf8", 2,
         "napi_create_string_utf8 failed for napi_group in get_sev_list"},
        {"napi_set_named_property", 3,
         "napi_set_named_property failed for napi_group in get_sev_list"},
    };
    for (const Case &c : cases) {
        fakes::logRecords().clear();
        napi = fakes::Napi{};
        napi.failFunction = c.function;
        napi.failOnCall = c.call;
        // The DN array is released on every path; LeakSanitizer checks it.
        EXPECT_EQ(sevList(), nullptr) << c.function;
        EXPECT_EQ(logMessages(),
                  std::vector<std::string>{std::string("MFA-NAPI: <get_sev_list> ") + c.message})
            << c.function;
    }
}

}  // namespace
