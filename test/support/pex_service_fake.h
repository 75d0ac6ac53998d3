/* A scriptable stand-in for the cryptographic service client, linked into
 * the protection layer's unit tests and its fuzz target in place of the real
 * client.
 *
 * It defines PEX_Init, PEX_ShutdownAll and the eighteen PEX_* operations the
 * layer calls.  It logs every call, keeps the records the layer hands over,
 * tracks contexts and key objects, and answers each call with 0 unless a
 * failure is scripted.  Its "cipher" is a position-dependent XOR keystream
 * derived from the key and the IV: not secure, but reversible, so round trips
 * work, and flipping a ciphertext bit flips the same plaintext bit, which
 * lets a test shape the decrypted padding.  In transparent mode (the fuzz
 * target's) every unwrap succeeds and the cipher is the identity without
 * padding, so that arbitrary blobs reach the layer's own length and padding
 * checks; every byte an argument says may be read is still read, so that
 * AddressSanitizer sees a length the layer got wrong. */
#ifndef KAVO_TEST_SUPPORT_PEX_SERVICE_FAKE_H
#define KAVO_TEST_SUPPORT_PEX_SERVICE_FAKE_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "platform/pex2/pex_records.h"

namespace lssfake {

/* Statuses of the fake service. */
constexpr int32_t kScriptedFailure = -4242; /* default for a scripted failure */
constexpr int32_t kBadArgument = -4343;     /* the layer passed something unusable */

/* The machine's keys. */
constexpr PexHandle kWrappingKey = 0x5701;
constexpr PexHandle kPartitionKey = 0x5702;

/* What the layer passed with an algorithm record, copied at the call. */
struct AlgorithmView {
    std::vector<uint8_t> oid;
    uint32_t paramsLength = 0;
    uint64_t paramCount = 0;
    uint32_t paramType = 0;
    std::vector<uint8_t> iv;
};

struct State {
    /* Script. */
    bool aesAvailable = true;
    bool wrappingKeyFound = true;
    bool kindPresent = true;
    uint32_t kind = PEX_KEY_KIND_12;
    uint32_t wrapLength = 64; /* bytes WrapKey writes (at least 42) */
    /* After a successful call of the named operation, its out-length is
     * replaced by this value: a service that claims more than it was given. */
    std::map<std::string, uint32_t> lengthOverride;
    bool announceShutdown = false; /* PEX_ShutdownAll writes a line to stderr */
    bool transparent = false;      /* any unwrap succeeds; the cipher copies */

    /* Observations. */
    std::vector<std::string> calls; /* operation names without "PEX_" */
    uint64_t initArgValue = 0;
    bool sessionOpen = false;
    int contextsCreated = 0;
    int contextsDestroyed = 0;
    int misuses = 0; /* unknown contexts or keys, calls outside a session */
    std::vector<PexAttribute> findTemplate;
    std::vector<PexAttribute> generateTemplate;
    AlgorithmView generateAlgorithm;
    uint32_t generateReserved = 0;
    PexAttribute kindQuery{};
    AlgorithmView wrapAlgorithm;
    PexHandle wrapWrappingKey = 0;
    PexHandle unwrapWrappingKey = 0;
    AlgorithmView encryptAlgorithm;
    AlgorithmView decryptAlgorithm;
    std::vector<std::vector<uint8_t>> encryptInputs; /* one per Encrypt/EncryptUpdate */
    uint32_t partitionBufferLength = 0;
    std::vector<PexHandle> contentKeys;    /* made by GenerateKey or UnwrapKey */
    std::map<PexHandle, int> destroyCalls; /* DestroyObject per handle */
};

/* Forgets everything and restores the default script; the session is closed. */
void reset();
State &state();
/* The nth call (from 1) of the operation returns status; 0 means every call. */
void fail(const std::string &operation, int32_t status = kScriptedFailure, int nth = 0);
/* Clears the call log and the counters, keeping keys, script and session. */
void clearLog();
/* Content keys made and not destroyed exactly once. */
int leakedOrTwiceDestroyedKeys();
/* Contexts created and not yet destroyed. */
size_t liveContexts();
/* reset(), then LSSShutdown() so that the layer is not started, then
 * clearLog(): the state every test starts from. */
void freshLayer();

}  // namespace lssfake

#endif
