/* The protection layer's exit handler.  The binary is linked with
 * --wrap=__cxa_atexit, so every registration made by the layer (and by the
 * test's own static objects) is seen here before it reaches the runtime.
 * The binary holds this one test so that it always starts in a fresh
 * process, before the layer has registered anything. */
#include <stdlib.h>

#include <gtest/gtest.h>

#include "lss/lss.h"
#include "lss/lss_internal.h"
#include "test/support/pex_service_fake.h"

extern "C" void *__dso_handle;

namespace {

struct Registration {
    void (*func)(void *);
    void *arg;
    void *dso;
};
std::vector<Registration> *registrations;

}  // namespace

extern "C" int __real___cxa_atexit(void (*func)(void *), void *arg, void *dso);

extern "C" int __wrap___cxa_atexit(void (*func)(void *), void *arg, void *dso) {
    if (registrations != nullptr) {
        registrations->push_back({func, arg, dso});
    }
    return __real___cxa_atexit(func, arg, dso);
}

namespace {

using Calls = std::vector<std::string>;

TEST(LssExitHandler, IsRegisteredOncePerLoadAndClosesTheSession) {
    std::vector<Registration> seen;
    registrations = &seen;
    lssfake::freshLayer();

    /* Several requests, each starting and shutting down the session. */
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(LSSBagCount(), LSS_ERR_FAILURE);
        EXPECT_EQ(lssStarted, 1);
        EXPECT_EQ(LSSShutdown(), 0);
    }
    registrations = nullptr;
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].arg, nullptr);
    EXPECT_EQ(seen[0].dso, &__dso_handle) << "registered against this module's handle";

    /* The handler is lssOnExit: it closes the session and clears the flag. */
    ASSERT_EQ(lssStart(), 0);
    lssfake::clearLog();
    seen[0].func(seen[0].arg);
    EXPECT_EQ(lssfake::state().calls, (Calls{"ShutdownAll"}));
    EXPECT_EQ(lssStarted, 0);

    /* And the runtime runs it at exit. */
    EXPECT_EXIT(
        {
            lssfake::state().announceShutdown = true;
            (void)lssStart();
            exit(0);
        },
        ::testing::ExitedWithCode(0), "lssfake: session closed");
}

}  // namespace
