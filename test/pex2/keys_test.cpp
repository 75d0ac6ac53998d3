// Sessions, key objects, wrapping and the machine key store of the service
// simulator.
#include <string.h>
#include <sys/wait.h>

#include <set>

#include "test/pex2/pex2_test.h"

using namespace pex2test;

namespace {

/* Encrypts 24 bytes with an AES (128) or triple DES (168) key and a fixed IV. */
std::vector<uint8_t> EncryptSample(Session &s, PexHandle key, uint32_t bits) {
    const uint8_t iv[16] = {7};
    AlgorithmWithIv algorithm(bits == 128 ? OID_AES128_CBC : OID_PEX_CBC8_PAD, iv,
                              bits == 128 ? 16 : 8);
    const uint8_t data[32] = "a sample of thirty-two bytes...";
    std::vector<uint8_t> out(48);
    uint32_t length = 48;
    const PexHandle context = s.Context();
    EXPECT_EQ(PEXX_DataEncryptInit(s.module(), context, &algorithm.algorithm, key), PEX2_OK);
    EXPECT_EQ(PEXX_Encrypt(s.module(), context, data, 32, out.data(), &length), PEX2_OK);
    PEXX_DestroyContext(s.module(), context);
    out.resize(length);
    return out;
}

class Keys : public ::testing::Test {
  protected:
    void SetUp() override { RemoveKeyStore(); }
    void TearDown() override { RemoveKeyStore(); }
};

TEST_F(Keys, WrapAndUnwrapRoundTripForEveryWrappingKeyKind) {
    for (const WrapCase &c : kWrapCases) {
        SCOPED_TRACE(c.kind);
        RemoveKeyStore();
        ScopedEnv kind(PEX2_ENV_WRAPPING_KEY_KIND, c.kind);
        Session s(0x5700u + c.kindValue);
        ASSERT_EQ(s.status(), PEX2_OK);
        const PexHandle wrapping = s.FindWrappingKey();
        ASSERT_NE(wrapping, 0u);
        uint32_t present = 0;
        EXPECT_EQ(s.Attribute(wrapping, PEX_ATTR_KEY_KIND, &present), c.kindValue);
        EXPECT_EQ(present, 1u);

        for (uint32_t bits : {128u, 168u}) {
            const PexHandle key = s.GenerateKey(bits);
            int32_t status = 0;
            const std::vector<uint8_t> wrapped = Wrap(s, c, wrapping, key, &status);
            ASSERT_EQ(status, PEX2_OK);
            EXPECT_LE(wrapped.size(), 256u);
            PexHandle unwrapped = 0;
            ASSERT_EQ(Unwrap(s, wrapping, wrapped, &unwrapped), PEX2_OK);
            EXPECT_NE(unwrapped, key);
            // The same key material: the same ciphertext under the same IV.
            EXPECT_EQ(EncryptSample(s, unwrapped, bits), EncryptSample(s, key, bits));
            EXPECT_EQ(s.Attribute(unwrapped, PEX_ATTR_KEY_BITS, &present), bits);

            // One flipped bit anywhere, or a byte short, is refused.
            for (size_t i = 0; i < wrapped.size(); i += 5) {
                std::vector<uint8_t> damaged = wrapped;
                damaged[i] ^= 0x01;
                PexHandle none = 0;
                EXPECT_NE(Unwrap(s, wrapping, damaged, &none), PEX2_OK) << i;
            }
            std::vector<uint8_t> shorter(wrapped.begin(), wrapped.end() - 1);
            PexHandle none = 0;
            EXPECT_EQ(Unwrap(s, wrapping, shorter, &none), PEX2_ERR_BAD_WRAPPED_KEY);
        }
        // Another kind's algorithm does not fit this key.
        const WrapCase &other = kWrapCases[(&c - kWrapCases + 1) % 3];
        int32_t status = 0;
        Wrap(s, {c.kind, c.kindValue, other.oid, other.ivLength}, wrapping, s.GenerateKey(128),
             &status);
        EXPECT_EQ(status, PEX2_ERR_BAD_ALGORITHM);
    }
}

TEST_F(Keys, WrapRefusesTooLittleRoomAndMachineKeys) {
    Session s(0x5800u);
    ASSERT_EQ(s.status(), PEX2_OK);
    const PexHandle wrapping = s.FindWrappingKey();
    const PexHandle key = s.GenerateKey(168);
    const uint8_t iv[16] = {};
    AlgorithmWithIv algorithm(OID_PEX_WRAP_KIND12, iv, 16);
    const PexHandle context = s.Context();
    uint8_t out[256];
    memset(out, 0xEE, sizeof out);
    uint32_t length = 20;
    EXPECT_EQ(PEXX_WrapKey(s.module(), context, &algorithm.algorithm, 0, nullptr, wrapping, key,
                           out, &length),
              PEX2_ERR_BUFFER_TOO_SMALL);
    EXPECT_GT(length, 20u);
    EXPECT_EQ(out[0], 0xEE);
    length = sizeof out;
    EXPECT_EQ(PEXX_WrapKey(s.module(), context, &algorithm.algorithm, 0, nullptr, wrapping,
                           wrapping, out, &length),
              PEX2_ERR_MACHINE_KEY);
    // A content key is no wrapping key.
    EXPECT_EQ(
        PEXX_WrapKey(s.module(), context, &algorithm.algorithm, 0, nullptr, key, key, out, &length),
        PEX2_ERR_BAD_KEY);
}

TEST_F(Keys, KeysOutliveContextsHandlesAreFreshAndDestroyIsOnce) {
    Session s(0x5900u);
    ASSERT_EQ(s.status(), PEX2_OK);
    std::set<PexHandle> seen;
    PexHandle key = 0;
    for (int i = 0; i < 20; ++i) {
        const PexHandle context = s.Context();
        EXPECT_TRUE(seen.insert(context).second);
        key = s.GenerateKey(i % 2 == 0 ? 128 : 168);
        EXPECT_TRUE(seen.insert(key).second);
        ASSERT_EQ(PEXX_DestroyContext(s.module(), context), PEX2_OK);
        EXPECT_EQ(PEXX_DestroyContext(s.module(), context), PEX2_ERR_BAD_CONTEXT);
    }
    // The last key was made in a context that is gone; it still works.
    EXPECT_EQ(EncryptSample(s, key, 168).size(), 40u);

    const PexHandle context = s.Context();
    EXPECT_EQ(PEXX_DestroyObject(s.module(), context, key), PEX2_OK);
    EXPECT_EQ(PEXX_DestroyObject(s.module(), context, key), PEX2_ERR_BAD_KEY);
    EXPECT_EQ(PEXX_DestroyObject(s.module(), context, context), PEX2_ERR_BAD_KEY);
    EXPECT_EQ(PEXX_DestroyObject(s.module(), context, s.FindWrappingKey()), PEX2_ERR_MACHINE_KEY);
    uint8_t buffer[8];
    EXPECT_EQ(PEXX_GetRandom(s.module(), key, buffer, 8), PEX2_ERR_BAD_CONTEXT);

    // Another session neither sees nor reaches this session's objects.
    Session other(0x5901u);
    ASSERT_EQ(other.status(), PEX2_OK);
    const PexHandle mine = s.GenerateKey(128);
    const PexHandle otherContext = other.Context();
    EXPECT_FALSE(seen.count(otherContext));
    EXPECT_EQ(PEXX_DestroyObject(other.module(), otherContext, mine), PEX2_ERR_BAD_KEY);
    EXPECT_EQ(PEXX_DestroyContext(other.module(), context), PEX2_ERR_BAD_CONTEXT);
}

TEST_F(Keys, SearchAttributesAndPartitionKey) {
    Session s(0x5A00u);
    ASSERT_EQ(s.status(), PEX2_OK);
    const PexHandle wrapping = s.FindWrappingKey();
    ASSERT_NE(wrapping, 0u);
    const PexHandle content = s.GenerateKey(128);
    uint32_t present = 9;
    // A content key has no kind; its usage comes from its template.
    s.Attribute(content, PEX_ATTR_KEY_KIND, &present);
    EXPECT_EQ(present, 0u);
    EXPECT_EQ(s.Attribute(content, PEX_ATTR_KEY_USAGE, &present), PEX_KEY_USAGE_CONTENT);
    EXPECT_EQ(present, 1u);

    // The template matches the wrapping key alone, with a larger capacity too.
    const PexHandle context = s.Context();
    PexAttribute templ[2] = {{PEX_ATTR_TOKEN, 0, 1, 1, 0, 0},
                             {PEX_ATTR_CLASS, 0, 1, PEX_WRAPPING_KEY_CLASS, 0, 0}};
    PexHandle found[4] = {};
    uint32_t count = 4;
    EXPECT_EQ(PEXX_FindObjects(s.module(), context, found, &count), PEX2_ERR_NOT_INITIALIZED);
    ASSERT_EQ(PEXX_FindObjectsInit(s.module(), context, templ, 2), PEX2_OK);
    ASSERT_EQ(PEXX_FindObjects(s.module(), context, found, &count), PEX2_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(found[0], wrapping);
    count = 4;
    ASSERT_EQ(PEXX_FindObjects(s.module(), context, found, &count), PEX2_OK);
    EXPECT_EQ(count, 0u);
    // At most count handles: the empty template matches all three keys.
    ASSERT_EQ(PEXX_FindObjectsInit(s.module(), context, nullptr, 0), PEX2_OK);
    count = 2;
    ASSERT_EQ(PEXX_FindObjects(s.module(), context, found, &count), PEX2_OK);
    EXPECT_EQ(count, 2u);

    // The partition key, and its identifier in the 32-byte buffer.
    uint8_t id[32] = {};
    uint32_t length = 32;
    PexHandle partition = 0;
    ASSERT_EQ(PEXX_GetPartitionKey(s.module(), context, 0, id, &length, &partition), PEX2_OK);
    EXPECT_NE(partition, 0u);
    EXPECT_NE(partition, wrapping);
    EXPECT_EQ(s.Attribute(partition, PEX_ATTR_KEY_KIND, &present), 12u);
    length = 31;
    EXPECT_EQ(PEXX_GetPartitionKey(s.module(), context, 0, id, &length, &partition),
              PEX2_ERR_BUFFER_TOO_SMALL);

    // With the switch on, the search finds nothing.
    ScopedEnv noKey(PEX2_ENV_NO_WRAPPING_KEY, "1");
    Session hidden(0x5A01u);
    ASSERT_EQ(hidden.status(), PEX2_OK);
    EXPECT_EQ(hidden.FindWrappingKey(), 0u);
}

TEST_F(Keys, MachineKeysPersistAcrossProcesses) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child provisions the store, wraps a key, and hands over the
        // wrapped bytes with a sample of that key's ciphertext.
        close(pipeFds[0]);
        int code = 1;
        {
            Session s(0x5B00u);
            const PexHandle wrapping = s.FindWrappingKey();
            const PexHandle key = s.GenerateKey(128);
            int32_t status = -1;
            std::vector<uint8_t> out = Wrap(s, kWrapCases[2], wrapping, key, &status);
            const std::vector<uint8_t> sample = EncryptSample(s, key, 128);
            out.insert(out.end(), sample.begin(), sample.end());
            if (s.status() == PEX2_OK && status == PEX2_OK &&
                write(pipeFds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size())) {
                code = 0;
            }
        }
        close(pipeFds[1]);
        _exit(code);
    }
    close(pipeFds[1]);
    uint8_t buffer[512];
    ssize_t total = 0;
    ssize_t n;
    while ((n = read(pipeFds[0], buffer + total, sizeof buffer - total)) > 0) {
        total += n;
    }
    close(pipeFds[0]);
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    ASSERT_GT(total, 32);

    const std::vector<uint8_t> wrapped(buffer, buffer + total - 32);
    const std::vector<uint8_t> sample(buffer + total - 32, buffer + total);
    Session s(0x5B01u);
    ASSERT_EQ(s.status(), PEX2_OK);
    PexHandle key = 0;
    ASSERT_EQ(Unwrap(s, s.FindWrappingKey(), wrapped, &key), PEX2_OK);
    EXPECT_EQ(EncryptSample(s, key, 128), sample);
}

TEST_F(Keys, UnreadableKeyStoreIsLeftUntouchedAndRefusesSessions) {
    {
        Session first(0x5C00u);
        ASSERT_EQ(first.status(), PEX2_OK);
    }
    std::vector<uint8_t> store = ReadFileBytes(kKeyStorePath);
    ASSERT_FALSE(store.empty());
    const std::vector<std::vector<uint8_t>> damaged = {
        {store.begin(), store.end() - 1},  // truncated
        [&] {
            auto d = store;
            d[20] ^= 0x40;
            return d;
        }(),  // key bits
        [&] {
            auto d = store;
            d[4] = 2;
            return d;
        }(),                                       // format version
        {'n', 'o', 't', ' ', 'k', 'e', 'y', 's'},  // foreign content
    };
    for (const std::vector<uint8_t> &bytes : damaged) {
        WriteFileBytes(kKeyStorePath, bytes);
        Session s(0x5C01u);
        EXPECT_EQ(s.status(), PEX2_ERR_KEYSTORE_UNREADABLE);
        EXPECT_EQ(ReadFileBytes(kKeyStorePath), bytes);
    }
    // Put back, it opens sessions again.
    WriteFileBytes(kKeyStorePath, store);
    Session again(0x5C02u);
    EXPECT_EQ(again.status(), PEX2_OK);
}

TEST_F(Keys, SessionsLockTheirMutexAndUnknownSessionsLeaveItHeld) {
    Session s(0x5D00u);
    ASSERT_EQ(s.status(), PEX2_OK);
    PexHandle context = 0;
    ASSERT_EQ(PEXX_CreateContext(s.module(), 0, &context), PEX2_OK);
    EXPECT_TRUE(s.lock().Free());
    // Operations that are not implemented, with the lock released as well.
    EXPECT_EQ(PEXX_DigestInit(s.module(), nullptr, nullptr), PEX2_ERR_NOT_SUPPORTED);
    EXPECT_EQ(SSLX_CalcMAC(s.module(), nullptr, nullptr, 0, 0, nullptr, 0, nullptr),
              PEX2_ERR_NOT_SUPPORTED);
    EXPECT_TRUE(s.lock().Free());
    // A second authentication of the same identifier with another lock.
    TestLock other;
    uint8_t scratch[16];
    uint64_t out = 0;
    EXPECT_EQ(PEXX_Authenticate(s.module(), &other.mutex, nullptr, scratch, 0, &out),
              PEX2_ERR_SESSION_EXISTS);
    EXPECT_EQ(PEXX_Authenticate(0x5D01u, nullptr, nullptr, scratch, 0, &out),
              PEX2_ERR_BAD_ARGUMENT);

    // Closed: the call fails and returns with the session's lock held by this
    // thread, which releases it as the client's wrapper does.
    const uint64_t module = s.module();
    ASSERT_EQ(PEXX_Goodbye(module), PEX2_OK);
    EXPECT_EQ(PEXX_Goodbye(module), PEX2_ERR_NO_SESSION);
    EXPECT_TRUE(s.lock().Free());
    EXPECT_EQ(PEXX_DestroyContext(module, context), PEX2_ERR_NO_SESSION);
    EXPECT_EQ(pthread_mutex_unlock(&s.lock().mutex), 0);  // held by this thread
    EXPECT_EQ(PEXX_GetRandom(module, context, scratch, 4), PEX2_ERR_NO_SESSION);
    EXPECT_EQ(pthread_mutex_unlock(&s.lock().mutex), 0);
    EXPECT_EQ(PEXX_Encrypt(module, context, nullptr, 0, nullptr, nullptr), PEX2_ERR_NO_SESSION);
    EXPECT_EQ(pthread_mutex_unlock(&s.lock().mutex), 0);
    EXPECT_EQ(PEXX_DigestInit(module, nullptr, nullptr), PEX2_ERR_NO_SESSION);
    EXPECT_EQ(pthread_mutex_unlock(&s.lock().mutex), 0);

    // An identifier never seen: the latest lock handed over is the one held.
    Session latest(0x5D02u);
    ASSERT_EQ(latest.status(), PEX2_OK);
    EXPECT_EQ(PEXX_CreateContext(0x5DFFu, 0, &context), PEX2_ERR_NO_SESSION);
    EXPECT_EQ(pthread_mutex_unlock(&latest.lock().mutex), 0);
    EXPECT_TRUE(latest.lock().Free());
}

/* Every entry point of the operation table, called with the session's
 * identifier and zero in every other argument. */
struct EntryPoint {
    const char *name;
    bool implemented;
    int32_t (*call)(uint64_t module);
};

template <auto Entry>
int32_t callWithZeros(uint64_t module) {
    return [module]<typename... A>(int32_t (*entry)(uint64_t, A...)) {
        return entry(module, A{}...);
    }(Entry);
}

const EntryPoint kEntryPoints[] = {
#define PEX_OP(name, params, args) {"PEXX_" #name, false, &callWithZeros<&PEXX_##name>},
#define SSL_OP(name, params, args) {"SSLX_" #name, false, &callWithZeros<&SSLX_##name>},
#define PEX_OP_IMPL(name, params, args) {"PEXX_" #name, true, &callWithZeros<&PEXX_##name>},
#include "platform/pex2/pex_ops.def"
#undef PEX_OP
#undef SSL_OP
#undef PEX_OP_IMPL
};

/* The rows the table leaves plain answer "not supported"; the marked rows do
 * work of their own, here refusing the zero arguments.  Either way the lock
 * is released, and a closed session's call returns with it held. */
TEST_F(Keys, EveryEntryPointAnswersAsItsRowIsMarked) {
    Session s(0x5D10u);
    ASSERT_EQ(s.status(), PEX2_OK);
    for (const EntryPoint &entry : kEntryPoints) {
        SCOPED_TRACE(entry.name);
        const int32_t status = entry.call(s.module());
        if (entry.implemented) {
            EXPECT_NE(status, PEX2_ERR_NOT_SUPPORTED);
            EXPECT_LT(status, 0);
        } else {
            EXPECT_EQ(status, PEX2_ERR_NOT_SUPPORTED);
        }
        EXPECT_TRUE(s.lock().Free());
    }
    const uint64_t module = s.module();
    ASSERT_EQ(PEXX_Goodbye(module), PEX2_OK);
    for (const EntryPoint &entry : kEntryPoints) {
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(entry.call(module), PEX2_ERR_NO_SESSION);
        EXPECT_EQ(pthread_mutex_unlock(&s.lock().mutex), 0);  // held by this thread
    }
}

TEST_F(Keys, ProvisionedWrappingKeyKindFollowsTheSwitchOnlyForANewStore) {
    {
        ScopedEnv kind(PEX2_ENV_WRAPPING_KEY_KIND, "1");
        Session s(0x5E00u);
        ASSERT_EQ(s.status(), PEX2_OK);
        uint32_t present = 0;
        EXPECT_EQ(s.Attribute(s.FindWrappingKey(), PEX_ATTR_KEY_KIND, &present), 1u);
    }
    {
        // The store exists: its key stays, whatever the switch says now.
        ScopedEnv kind(PEX2_ENV_WRAPPING_KEY_KIND, "2");
        Session s(0x5E01u);
        ASSERT_EQ(s.status(), PEX2_OK);
        uint32_t present = 0;
        EXPECT_EQ(s.Attribute(s.FindWrappingKey(), PEX_ATTR_KEY_KIND, &present), 1u);
    }
    ScopedEnv bad(PEX2_ENV_WRAPPING_KEY_KIND, "3");
    Session s(0x5E02u);
    EXPECT_EQ(s.status(), PEX2_ERR_BAD_ARGUMENT);
}

}  // namespace
