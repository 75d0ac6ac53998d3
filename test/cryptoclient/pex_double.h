/* A scriptable stand-in for the cryptographic service library, linked into
 * the client's unit tests in place of the real one.
 *
 * It defines every library entry point the client imports (the three session
 * functions and one per row of platform/pex2/pex_ops.def), records each call
 * with its arguments, and answers with the status scripted for that function
 * (0 unless scripted).  Like the real library it locks the mutex it was
 * handed at authentication for the duration of each operation, and returns a
 * scripted PEX_ERR_NOT_INITIALIZED with that mutex still held.
 *
 * It also observes OSA_mutex_unlock: the test binaries are linked with
 * --wrap=OSA_mutex_unlock, so every unlock the client makes is counted. */
#ifndef KAVO_TEST_PEX_DOUBLE_H
#define KAVO_TEST_PEX_DOUBLE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cryptoclient/pex.h"

namespace pexdouble {

struct Call {
    std::string function;       /* library name, e.g. "PEXX_GetRandom" */
    std::vector<uint64_t> args; /* every argument as a 64-bit word, module first */
};

/* What PEXX_Authenticate or PEXX_Authenticate2 saw beyond its arguments. */
struct AuthenticationView {
    uint64_t out64AtEntry = ~0ull; /* the 64-bit variable's value on entry */
};

/* Forgets calls, scripts, unlock counts and the session lock. */
void reset();
/* Every later call of function returns status. */
void script(const std::string &function, int32_t status);
/* When false, operations are only counted, not logged (long concurrency runs). */
void setLogging(bool on);

std::vector<Call> calls();
size_t countOf(const std::string &function);
/* Operations handled so far, logged or not. */
size_t operationCount();
AuthenticationView lastAuthentication();
/* The mutex handed over by the last successful authentication, or null. */
pthread_mutex_t *sessionLock();
/* Failed locks and unlocks of the session mutex, by the double or by the
 * client's OSA_mutex_unlock: a wrapper that leaves the mutex locked, or
 * unlocks it when it does not hold it, shows up here. */
int lockFailures();
/* Calls of OSA_mutex_unlock made by the client, and those naming mutex. */
size_t unlockCount();
size_t unlockCount(const pthread_mutex_t *mutex);

/* Each test starts and ends with the session closed and the double reset,
 * and leaves no lock call failed. */
class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PEX_ShutdownAll();
        reset();
    }
    void TearDown() override {
        PEX_ShutdownAll();
        EXPECT_EQ(lockFailures(), 0);
    }
};

}  // namespace pexdouble

#endif
