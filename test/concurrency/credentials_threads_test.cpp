// Several threads storing and reading credentials and listing SEV entries at
// once, through the real layers and simulators.  The protection layer's
// state and the cryptographic session are process-wide, so the add-on
// serialises credential requests; this test checks that no request of one
// thread disturbs another's (every call succeeds with the right values), and
// under ThreadSanitizer that no data race is left.
//
// The system log goes to the shared double (test/support) instead of the
// host's log, its Node-API imports resolve to the Node-API double, and
// the directory is filled with tamo-provision ($KAVO_TAMO_PROVISION) in the
// platform root that tools/kavo-platform mounted.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "addon/addon.h"
#include "addon/credentials.h"
#include "test/support/fake_syslog.h"

namespace {

// Counts the records that contain `text`; called once no thread logs.
size_t countRecords(const char *text) {
    size_t count = 0;
    for (const fakes::LogRecord &record : fakes::logRecords()) {
        count += record.message.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

}  // namespace

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

std::string ownService(int id) {
    return "svc-" + std::to_string(id);
}

std::string userOf(int id) {
    return "user-" + std::to_string(id);
}

void *worker(void *argument) {
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
        const std::string shared =
            "shared-" + std::to_string(result->id) + "-" + std::to_string(round);
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
            if (count != 2 || strcmp(dns, "cn=group1,o=corp") != 0 ||
                strcmp(dns + kDnSlot, "cn=group0,o=corp") != 0) {
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

void provisionDirectory() {
    const char *tool = getenv("KAVO_TAMO_PROVISION");
    ASSERT_NE(tool, nullptr) << "KAVO_TAMO_PROVISION is not set";
    const std::string command = std::string("'") + tool + "' --db /etc/opt/zorvex/directory.db ";
    for (const char *arguments : {"add-entry cn=group0,o=corp", "add-entry cn=group1,o=corp",
                                  "add-user alice cn=alice,o=corp S-1-5-21-1-2-3-1001",
                                  "set-sev alice cn=group1,o=corp cn=group0,o=corp"}) {
        ASSERT_EQ(system((command + arguments + " >/dev/null").c_str()), 0) << arguments;
    }
}

TEST(CredentialsThreads, ConcurrentRequestsKeepEveryCredentialIntact) {
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
    EXPECT_EQ(fakes::logRecords().size(), static_cast<size_t>(kThreads * kRounds));
}

// Each request opens the one cryptographic session and closes it at its
// end; a request that overlapped another would see the session closed under
// it (or the session's mutex destroyed while held).
void *protectBurst(void *argument) {
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

TEST(CredentialsThreads, OverlappingProtectionsAllSucceed) {
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
