/* The protection layer against the real client and the cryptographic service
 * simulator, inside a private platform root (tools/kavo-platform).  Every
 * request runs as the add-on runs it: LSSInit, the call, LSSShutdown.
 *
 * Blobs made in other processes come from this same binary, re-executed to
 * run only the disabled writer test with LSS_TEST_BLOB_OUT naming the file
 * to write; the environment of that process may switch AES off. */
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdio.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "lss/lss.h"
#include "test/lss/blob_util.h"
#include "test/support/test_token.h"

using lsstest::bigEndianTwin;
using lsstest::Bytes;
using lsstest::field;
using lsstest::kLabel;
using lsstest::kLabelLength;

namespace {

const Bytes kPassword = {'s', '3', 'c', 'r', 'e', 't', '-', 'p', 'w', 0};

/* LSSProtect as the add-on drives it: size query, then the real call. */
int32_t protect(int32_t mode, const Bytes &secret, Bytes *blob) {
    (void)LSSInit();
    int32_t length = 0;
    int32_t status = LSSProtect(kLabel, kLabelLength, mode, secret.data(),
                                static_cast<uint32_t>(secret.size()), nullptr, &length);
    if (status == 0) {
        blob->assign(static_cast<size_t>(length), 0);
        status = LSSProtect(kLabel, kLabelLength, mode, secret.data(),
                            static_cast<uint32_t>(secret.size()), blob->data(), &length);
    }
    if (status == 0) {
        blob->resize(static_cast<size_t>(length));
    }
    (void)LSSShutdown();
    return status;
}

int32_t unprotect(const Bytes &blob, Bytes *secret, const char *label = kLabel,
                  int32_t labelLength = kLabelLength) {
    (void)LSSInit();
    uint32_t length = 0;
    int32_t status = LSSUnprotect(label, labelLength, blob.data(),
                                  static_cast<uint32_t>(blob.size()), nullptr, &length);
    if (status == 0) {
        secret->assign(length, 0);
        status = LSSUnprotect(label, labelLength, blob.data(), static_cast<uint32_t>(blob.size()),
                              secret->data(), &length);
    }
    if (status == 0) {
        secret->resize(length);
    }
    (void)LSSShutdown();
    return status;
}

TEST(LssIntegration, RoundTripsUnderBothCiphersAndAllModes) {
    const struct {
        int32_t mode;
        uint32_t keySource;
        uint32_t cipher;
        uint32_t ivLength;
    } modes[] = {{2, 2, 2, 16}, {4, 4, 2, 16}, {5, 4, 1, 8}};
    for (const auto &m : modes) {
        for (size_t size : {0, 15, 16, 17}) {
            Bytes secret(size);
            for (size_t i = 0; i < size; ++i) {
                secret[i] = static_cast<uint8_t>(0x41 + i);
            }
            Bytes blob;
            ASSERT_EQ(protect(m.mode, secret, &blob), 0) << m.mode << "/" << size;
            EXPECT_EQ(field(blob, kBlobKeySource), m.keySource);
            EXPECT_EQ(field(blob, kBlobCipher), m.cipher);
            EXPECT_EQ(field(blob, kBlobIvLength), m.ivLength);
            if (m.cipher == LSS_CIPHER_AES128) {
                EXPECT_EQ(field(blob, kBlobCipherTextLength), 16 * (size / 16 + 1)) << size;
            }
            EXPECT_EQ(blob.size(), 32 + 14 + field(blob, kBlobWrappedKeyLength) + m.ivLength +
                                       field(blob, kBlobCipherTextLength));
            Bytes opened;
            ASSERT_EQ(unprotect(blob, &opened), 0) << m.mode << "/" << size;
            EXPECT_EQ(opened, secret) << m.mode << "/" << size;
        }
    }
}

TEST(LssIntegration, TwoProtectionsOfOneSecretDiffer) {
    Bytes first;
    Bytes second;
    ASSERT_EQ(protect(2, kPassword, &first), 0);
    ASSERT_EQ(protect(2, kPassword, &second), 0);
    ASSERT_EQ(first.size(), second.size());
    const size_t wrapAt = 32 + 14;
    const size_t ivAt = wrapAt + field(first, kBlobWrappedKeyLength);
    const size_t textAt = ivAt + 16;
    EXPECT_NE(Bytes(first.begin() + wrapAt, first.begin() + ivAt),
              Bytes(second.begin() + wrapAt, second.begin() + ivAt));
    EXPECT_NE(Bytes(first.begin() + ivAt, first.begin() + textAt),
              Bytes(second.begin() + ivAt, second.begin() + textAt));
    EXPECT_NE(Bytes(first.begin() + textAt, first.end()),
              Bytes(second.begin() + textAt, second.end()));
}

TEST(LssIntegration, LabelMustMatch) {
    Bytes blob;
    ASSERT_EQ(protect(2, kPassword, &blob), 0);
    Bytes opened;
    EXPECT_EQ(unprotect(blob, &opened, kLabel, 13), LSS_ERR_LABEL_MISMATCH);
    EXPECT_EQ(unprotect(blob, &opened, "ARB_Cred_Stork", 14), LSS_ERR_LABEL_MISMATCH);
    /* A blob bound to another label opens only with that one. */
    int32_t length = 400;
    Bytes other(400);
    ASSERT_EQ(LSSProtect("other", 5, 2, kPassword.data(), 10, other.data(), &length), 0);
    other.resize(static_cast<size_t>(length));
    EXPECT_EQ(unprotect(other, &opened), LSS_ERR_LABEL_MISMATCH);
    ASSERT_EQ(unprotect(other, &opened, "other", 5), 0);
    EXPECT_EQ(opened, kPassword);
}

TEST(LssIntegration, BigEndianTwinOfARealBlobOpens) {
    Bytes blob;
    ASSERT_EQ(protect(2, kPassword, &blob), 0);
    const Bytes twin = bigEndianTwin(blob);
    Bytes opened;
    ASSERT_EQ(unprotect(twin, &opened), 0);
    EXPECT_EQ(opened, kPassword);
}

Bytes readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

/* "-" for no bytes, else two hexadecimal digits a byte. */
Bytes fromHex(const std::string &text) {
    Bytes bytes;
    for (size_t i = 0; text != "-" && i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

/* Puts a key store in place of the machine's, as a new file, so that the
 * service reads it at the next session start. */
void installKeyStore(const Bytes &store) {
    const std::string path = "/etc/opt/zorvex/system/xmgrcfg.ks0";
    const std::string aside = path + ".golden";
    std::ofstream(aside, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(store.data()),
               static_cast<std::streamsize>(store.size()));
    ASSERT_EQ(rename(aside.c_str(), path.c_str()), 0);
}

/* With the machine keys in a token: takes the token's keys and marker away
 * and puts the store's keys in their place, which the service takes over
 * at its next session start.  Only a kind-12 store's keys fit a token. */
bool installTokenKeys(kavotest::TestToken &token, const Bytes &store) {
    if (blobGetLe32(store.data() + 8) != 12) {  // the wrapping key's kind
        return false;
    }
    token.DestroyAll(kavotest::kWrappingKeyLabel);
    token.DestroyAll(kavotest::kPartitionKeyLabel);
    unlink(kavotest::kTokenMarkerPath);
    EXPECT_TRUE(token.Import(kavotest::kWrappingKeyLabel, store.data() + 16, "golden-w"));
    EXPECT_TRUE(token.Import(kavotest::kPartitionKeyLabel, store.data() + 52, "golden-p"));
    return true;
}

/* Blobs made once under fixed key stores, checked in with their plaintexts
 * (test/lss/golden/README.md): today's reader must open every one of them,
 * whatever the writer does now.  A round trip cannot see a format changed
 * on both sides at once; these can.  With the keys in a token, the blobs of
 * the kind-12 store open under its keys put into the token: the wrapped
 * bytes are the same whichever holds the keys. */
TEST(LssIntegration, GoldenBlobsOpenUnderTheirCheckedInKeyStores) {
    const bool inToken = kavotest::TokenConfigured();
    kavotest::TestToken token;
    ASSERT_TRUE(!inToken || token.Open()) << token.error();
    const std::string dir = std::string(KAVO_SOURCE_DIR) + "/test/lss/golden/";
    std::ifstream list(dir + "blobs.txt");
    ASSERT_TRUE(list.good());
    std::string installed;
    bool usable = false;
    int rows = 0;
    for (std::string line; std::getline(list, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string store, plaintext, blobText;
        uint32_t mode = 0, keySource = 0, cipher = 0;
        ASSERT_TRUE(fields >> store >> mode >> keySource >> cipher >> plaintext >> blobText)
            << line;
        SCOPED_TRACE(store + " mode " + std::to_string(mode) + " cipher " + std::to_string(cipher));
        if (store != installed) {
            const Bytes bytes = readFile(dir + store);
            ASSERT_EQ(bytes.size(), 116u);
            usable = inToken ? installTokenKeys(token, bytes) : (installKeyStore(bytes), true);
            installed = store;
        }
        if (!usable) {
            continue;
        }
        const Bytes blob = fromHex(blobText);
        ASSERT_GE(blob.size(), 32u);
        EXPECT_EQ(field(blob, kBlobKeySource), keySource);
        EXPECT_EQ(field(blob, kBlobCipher), cipher);
        Bytes opened;
        EXPECT_EQ(unprotect(blob, &opened), 0);
        EXPECT_EQ(opened, fromHex(plaintext));
        ++rows;
    }
    EXPECT_EQ(rows, inToken ? 4 : 12);
    // The tests after this one make a store (or token keys) of their own.
    unlink("/etc/opt/zorvex/system/xmgrcfg.ks0");
    if (inToken) {
        EXPECT_EQ(token.DestroyAll(kavotest::kWrappingKeyLabel), 1u);
        EXPECT_EQ(token.DestroyAll(kavotest::kPartitionKeyLabel), 1u);
        unlink(kavotest::kTokenMarkerPath);
    }
}

/* Runs the writer test in a new process of this binary; extraEnv (NAME=value
 * or null) is added to its environment.  Returns the blob it wrote. */
Bytes blobFromAnotherProcess(const char *extraEnv) {
    char path[] = "/tmp/lss-blob-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    const pid_t child = fork();
    if (child == 0) {
        setenv("LSS_TEST_BLOB_OUT", path, 1);
        if (extraEnv != nullptr) {
            putenv(const_cast<char *>(extraEnv));
        }
        execl("/proc/self/exe", "lss_integration_test", "--gtest_also_run_disabled_tests",
              "--gtest_filter=LssIntegration.DISABLED_WriteBlob", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
    std::ifstream in(path, std::ios::binary);
    Bytes blob((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return blob;
}

/* Only run by blobFromAnotherProcess. */
TEST(LssIntegration, DISABLED_WriteBlob) {
    const char *path = getenv("LSS_TEST_BLOB_OUT");
    ASSERT_NE(path, nullptr);
    Bytes blob;
    ASSERT_EQ(protect(2, kPassword, &blob), 0);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(blob.data()),
              static_cast<std::streamsize>(blob.size()));
    ASSERT_TRUE(out.good());
}

TEST(LssIntegration, BlobMadeInAnotherProcessOpens) {
    const Bytes blob = blobFromAnotherProcess(nullptr);
    ASSERT_GE(blob.size(), 32u);
    EXPECT_EQ(field(blob, kBlobCipher), static_cast<uint32_t>(LSS_CIPHER_AES128));
    Bytes opened;
    ASSERT_EQ(unprotect(blob, &opened), 0);
    EXPECT_EQ(opened, kPassword);
}

TEST(LssIntegration, BlobMadeWithoutAesOpensOnceAesIsBack) {
    ASSERT_EQ(getenv("PEX2_DISABLE_AES"), nullptr);
    static char disable[] = "PEX2_DISABLE_AES=1";
    const Bytes blob = blobFromAnotherProcess(disable);
    ASSERT_GE(blob.size(), 32u);
    EXPECT_EQ(field(blob, kBlobCipher), static_cast<uint32_t>(LSS_CIPHER_CBC8));
    EXPECT_EQ(field(blob, kBlobIvLength), 8u);
    Bytes opened;
    ASSERT_EQ(unprotect(blob, &opened), 0);
    EXPECT_EQ(opened, kPassword);
}

}  // namespace
