// The real add-on, loaded with dlopen inside a platform sandbox: every
// credential request leaves the cryptographic session closed, on success
// and on failure, so that the next request opens it afresh.
//
// The add-on's Node-API imports are bound to the program's failing stand-ins
// (test/support/napi_unavailable.cpp); the exported C helpers called here
// never reach them.  KAVO_ADDON_PATH names the add-on.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

struct Addon {
    void *handle = nullptr;
    int32_t (*setCreds)(const char *, const char *, const char *) = nullptr;
    int32_t (*loadCreds)(const char *, char *, char *) = nullptr;
    int32_t *pexInitialized = nullptr;
    int32_t *initCounter = nullptr;
};

class SessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const char *path = getenv("KAVO_ADDON_PATH");
        ASSERT_NE(path, nullptr) << "KAVO_ADDON_PATH is not set";
        addon_.handle = dlopen(path, RTLD_LAZY | RTLD_LOCAL);
        ASSERT_NE(addon_.handle, nullptr) << dlerror();
        addon_.setCreds =
            reinterpret_cast<decltype(addon_.setCreds)>(dlsym(addon_.handle, "set_creds_in_arb"));
        addon_.loadCreds = reinterpret_cast<decltype(addon_.loadCreds)>(
            dlsym(addon_.handle, "load_creds_from_arb"));
        addon_.pexInitialized = static_cast<int32_t *>(dlsym(addon_.handle, "pexInitialized"));
        addon_.initCounter = static_cast<int32_t *>(dlsym(addon_.handle, "InitCounter"));
        ASSERT_TRUE(addon_.setCreds && addon_.loadCreds && addon_.pexInitialized &&
                    addon_.initCounter);
    }

    void SetUp() override {
        if (addon_.handle == nullptr || addon_.setCreds == nullptr) {
            GTEST_SKIP() << "add-on not loaded";
        }
    }

    static bool sessionClosed() { return *addon_.pexInitialized == 0 && *addon_.initCounter == 0; }

    // Stores credentials for `service` and reads them back whole; each
    // request must leave the session closed.
    static void storeAndLoad(const char *service, const char *user, const char *password) {
        ASSERT_EQ(addon_.setCreds(service, user, password), 0);
        EXPECT_TRUE(sessionClosed());
        char gotUser[256] = {};
        char gotPassword[256] = {};
        ASSERT_EQ(addon_.loadCreds(service, gotUser, gotPassword), 0);
        EXPECT_STREQ(gotUser, user);
        EXPECT_STREQ(gotPassword, password);
        EXPECT_TRUE(sessionClosed());
    }

    static Addon addon_;
};

Addon SessionTest::addon_;

TEST_F(SessionTest, EveryRequestClosesTheSessionOnSuccessAndFailure) {
    ASSERT_TRUE(sessionClosed());
    ASSERT_NO_FATAL_FAILURE(storeAndLoad("session-svc", "alice", "s3cret"));

    // Failures: the store has no entry; the user name alone is read.
    char user[256] = {};
    char password[256] = {};
    EXPECT_EQ(addon_.loadCreds("no-such-service", user, password), -1);
    EXPECT_TRUE(sessionClosed());
    memset(user, 0, sizeof user);
    EXPECT_EQ(addon_.loadCreds("session-svc", user, nullptr), 0);
    EXPECT_STREQ(user, "alice");
    EXPECT_TRUE(sessionClosed());
}

TEST_F(SessionTest, FailedProtectionClosesTheSessionAndTheNextRequestReopensIt) {
    // The crypto simulator reads this switch when a session is opened, so
    // it takes effect only if each request opens its own session.
    setenv("PEX2_NO_WRAPPING_KEY", "1", 1);
    EXPECT_EQ(addon_.setCreds("reopen-svc", "bob", "pw"), -1);
    EXPECT_TRUE(sessionClosed());
    unsetenv("PEX2_NO_WRAPPING_KEY");

    ASSERT_NO_FATAL_FAILURE(storeAndLoad("reopen-svc", "bob", "pw"));
}

}  // namespace
