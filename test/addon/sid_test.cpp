// The get_sid_from_name callback's steps that JavaScript itself cannot make
// fail, through the Node-API double, over the identity library double.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "addon/addon.h"
#include "test/addon/fakes.h"

namespace {

using fakes::directory;
using fakes::logMessages;

class SidCallback : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::reset();
        directory().sids["alice"] = {1, 1, 0, 0, 0, 0, 0, 5, 1, 0, 0, 0};
    }

    napi_value sid() {
        napi.arguments = {napi.string("alice")};
        return get_sid_from_name(napi.env(), nullptr);
    }

    fakes::Napi &napi = fakes::napi();
};

TEST_F(SidCallback, EachFailingSidStepLogsItsOwnMessage) {
    struct Case {
        const char *function;
        const char *message;
    } cases[] = {
        {"napi_get_cb_info", "get_sid_from_name: napi_get_cb_info failed"},
        {"napi_get_value_string_utf8", "napi_get_value_string_utf8 for reading name failed"},
        {"napi_create_string_utf8",
         "napi_create_string_utf8 failed for napi_sid in get_sid_from_name"},
        {"napi_create_object", "Failed to create NAPI object in get_sid_from_name"},
        {"napi_set_named_property",
         "napi_set_named_property failed for napi_sid in get_sid_from_name"},
    };
    for (const Case &c : cases) {
        fakes::logRecords().clear();
        napi = fakes::Napi{};
        napi.failFunction = c.function;
        EXPECT_EQ(sid(), nullptr) << c.function;
        EXPECT_EQ(
            logMessages(),
            std::vector<std::string>{std::string("MFA-NAPI: <get_sid_from_name> ") + c.message})
            << c.function;
    }
}

TEST_F(SidCallback, SidTextFillingTheWholeBufferStaysInsideIt) {
    // A conversion that writes 190 bytes without a zero byte must not make
    // the string run past the buffer.
    directory().sidText = std::string(190, '7');
    auto *result = reinterpret_cast<fakes::Value *>(sid());
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(result->properties.size(), 1u);
    EXPECT_EQ(result->properties[0].first, "sid");
    EXPECT_EQ(result->properties[0].second->text, std::string(189, '7'));
}

}  // namespace
