// Several threads storing and reading credentials and listing SEV entries at
// once, through the real layers and simulators.  The protection layer's
// state and the cryptographic session are process-wide, so the add-on
// serialises credential requests; this test checks that no request of one
// thread disturbs another's (every call succeeds with the right values), and
// under ThreadSanitizer that no data race is left.
//
// The system log goes to the records below instead of the host's log, and
// the directory is filled with tamo-provision ($KAVO_TAMO_PROVISION) in the
// platform root that tools/kavo-platform mounted.
#include <gtest/gtest.h>

#include <node_api.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "addon/addon.h"
#include "addon/credentials.h"

namespace {

pthread_mutex_t logLock = PTHREAD_MUTEX_INITIALIZER;
std::vector<std::string> logRecords;

void record(const char *format, va_list args)
{
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    pthread_mutex_lock(&logLock);
    logRecords.emplace_back(text);
    pthread_mutex_unlock(&logLock);
}

// Counts the records that contain `text`.
size_t countRecords(const char *text)
{
    size_t count = 0;
    pthread_mutex_lock(&logLock);
    for (const std::string &line : logRecords) {
        count += line.find(text) != std::string::npos ? 1 : 0;
    }
    pthread_mutex_unlock(&logLock);
    return count;
}

}  // namespace

extern "C" {

void syslog(int /*priority*/, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    record(format, args);
    va_end(args);
}

void __syslog_chk(int /*priority*/, int /*flag*/, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    record(format, args);
    va_end(args);
}

// The add-on layer's JavaScript callbacks are linked in with the helpers
// this test calls, but never run here; their Node-API imports only need to
// resolve.
#define KAVO_UNUSED_NAPI(name, ...) \
    napi_status name(__VA_ARGS__) { abort(); }
KAVO_UNUSED_NAPI(napi_get_cb_info, napi_env, napi_callback_info, size_t *, napi_value *, napi_value *, void **)
KAVO_UNUSED_NAPI(napi_get_value_string_utf8, napi_env, napi_value, char *, size_t, size_t *)
KAVO_UNUSED_NAPI(napi_create_object, napi_env, napi_value *)
KAVO_UNUSED_NAPI(napi_create_string_utf8, napi_env, const char *, size_t, napi_value *)
KAVO_UNUSED_NAPI(napi_create_uint32, napi_env, uint32_t, napi_value *)
KAVO_UNUSED_NAPI(napi_set_named_property, napi_env, napi_value, const char *, napi_value)
#undef KAVO_UNUSED_NAPI

}  // extern "C"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 15;
constexpr size_t kDnSlot = 256;
// Protections in a row per thread in the burst test: with no store call in
// between, the threads' protection work overlaps all the time.
constexpr int kBurst = 1000;

// What one thread saw: calls that failed or returned something other than
// what they must, and the last password it stored in each service.
struct ThreadResult {
    int id = 0;
    int failures = 0;
    std::vector<std::string> anomalies;
    std::string lastOwn;
    std::string lastShared;
};

std::string ownService(int id)
{
    return "svc-" + std::to_string(id);
}

std::string userOf(int id)
{
    return "user-" + std::to_string(id);
}

void *worker(void *argument)
{
    auto *result = static_cast<ThreadResult *>(argument);
    const std::string service = ownService(result->id);
    const std::string user = userOf(result->id);
    char userOut[256];
    char passwordOut[256];

    for (int round = 0; round < kRounds; ++round) {
        // Only this thread writes its own service, so it reads back exactly
        // what it stored.
        const std::string own = "own-" + std::to_string(result->id) + "-" + std::to_string(round) +
                                std::string(static_cast<size_t>(round * 7), 'x');
        if (set_creds_in_arb(service.c_str(), user.c_str(), own.c_str()) != 0) {
            result->failures++;
        } else {
            result->lastOwn = own;
        }
        memset(userOut, 0, sizeof userOut);
        memset(passwordOut, 0, sizeof passwordOut);
        if (load_creds_from_arb(service.c_str(), userOut, passwordOut) != 0) {
            result->failures++;
        } else if (user != userOut || result->lastOwn != passwordOut) {
            result->anomalies.push_back(std::string("own: ") + userOut + "/" + passwordOut);
        }

        // Every thread writes the shared service: the user name and the
        // password read must come from the same store request.
        const std::string shared = "shared-" + std::to_string(result->id) + "-" + std::to_string(round);
        if (set_creds_in_arb("svc-shared", user.c_str(), shared.c_str()) != 0) {
            result->failures++;
        } else {
            result->lastShared = shared;
        }
        memset(userOut, 0, sizeof userOut);
        memset(passwordOut, 0, sizeof passwordOut);
        if (load_creds_from_arb("svc-shared", userOut, passwordOut) != 0) {
            result->failures++;
        } else if (strncmp(userOut, "user-", 5) != 0 ||
                   strncmp(passwordOut, ("shared-" + std::string(userOut + 5) + "-").c_str(),
                           strlen(userOut + 5) + 8) != 0) {
            result->anomalies.push_back(std::string("shared: ") + userOut + "/" + passwordOut);
        }

        // The user name alone: the blob is not opened.
        memset(userOut, 0, sizeof userOut);
        if (load_creds_from_arb(service.c_str(), userOut, nullptr) != 0 || user != userOut) {
            result->anomalies.push_back("user name only");
        }

        int32_t count = 0;
        char *dns = GetSevListDornUser("alice", &count);
        if (dns == nullptr) {
            result->failures++;
        } else {
            if (count != 2 || strcmp(dns, "cn=group1,o=corp") != 0 || strcmp(dns + kDnSlot, "cn=group0,o=corp") != 0) {
                result->anomalies.push_back("sev list of alice");
            }
            free(dns);
        }

        // A failing request in between must not disturb the others.
        if (load_creds_from_arb(("never-" + service).c_str(), userOut, passwordOut) != -1) {
            result->anomalies.push_back("unknown service found");
        }
    }
    return nullptr;
}

void provisionDirectory()
{
    const char *tool = getenv("KAVO_TAMO_PROVISION");
    ASSERT_NE(tool, nullptr) << "KAVO_TAMO_PROVISION is not set";
    const std::string command = std::string("'") + tool + "' --db /etc/opt/zorvex/directory.db ";
    for (const char *arguments : {"add-entry cn=group0,o=corp", "add-entry cn=group1,o=corp",
                                  "add-user alice cn=alice,o=corp S-1-5-21-1-2-3-1001",
                                  "set-sev alice cn=group1,o=corp cn=group0,o=corp"}) {
        ASSERT_EQ(system((command + arguments + " >/dev/null").c_str()), 0) << arguments;
    }
}

TEST(CredentialsThreads, ConcurrentRequestsKeepEveryCredentialIntact)
{
    ASSERT_NO_FATAL_FAILURE(provisionDirectory());

    ThreadResult results[kThreads];
    pthread_t threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        results[i].id = i;
        ASSERT_EQ(pthread_create(&threads[i], nullptr, worker, &results[i]), 0);
    }
    for (pthread_t thread : threads) {
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
    }

    bool sharedIsSomeLast = false;
    char userOut[256] = {};
    char passwordOut[256] = {};
    ASSERT_EQ(load_creds_from_arb("svc-shared", userOut, passwordOut), 0);
    for (const ThreadResult &result : results) {
        EXPECT_EQ(result.failures, 0) << "thread " << result.id;
        for (const std::string &anomaly : result.anomalies) {
            ADD_FAILURE() << "thread " << result.id << ": " << anomaly;
        }
        // The shared service holds the last value one of the threads stored.
        sharedIsSomeLast |= userOf(result.id) == userOut && result.lastShared == passwordOut;

        char ownUser[256] = {};
        char ownPassword[256] = {};
        ASSERT_EQ(load_creds_from_arb(ownService(result.id).c_str(), ownUser, ownPassword), 0);
        EXPECT_EQ(ownPassword, result.lastOwn);
    }
    EXPECT_TRUE(sharedIsSomeLast) << userOut << "/" << passwordOut;

    // The only records are those of the unknown services, one per request.
    EXPECT_EQ(countRecords("not found in ARB"), static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(logRecords.size(), static_cast<size_t>(kThreads * kRounds));
}

// Each request opens the one cryptographic session and closes it at its
// end; a request that overlapped another would see the session closed under
// it (or the session's mutex destroyed while held).
void *protectBurst(void *argument)
{
    auto *failures = static_cast<int *>(argument);
    ProtectedSecret secret;
    for (int i = 0; i < kBurst; ++i) {
        memset(&secret, 0, sizeof secret);
        if (encryptCredential("burst-password", &secret) != 0 || secret.length <= 0) {
            ++*failures;
        }
    }
    return nullptr;
}

TEST(CredentialsThreads, OverlappingProtectionsAllSucceed)
{
    int failures[kThreads] = {};
    pthread_t threads[kThreads];
    const size_t recordsBefore = countRecords("");
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(pthread_create(&threads[i], nullptr, protectBurst, &failures[i]), 0);
    }
    for (pthread_t thread : threads) {
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
    }
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(failures[i], 0) << "thread " << i;
    }
    EXPECT_EQ(countRecords(""), recordsBefore);
}

}  // namespace
