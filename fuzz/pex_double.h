/* An in-process stand-in for the cryptographic service client, for the
 * protection layer's fuzz target and its seed generator.
 *
 * It defines the PEX_* functions that the protection layer calls.  Every
 * unwrap is accepted, and encryption and decryption copy bytes unchanged, so
 * that arbitrary blobs reach the layer's padding and length logic instead of
 * stopping at a cipher.  The double keeps count of the contexts and key
 * objects it hands out, so that a caller can check that every one of them
 * was released again and that the machine's keys were never destroyed. */
#ifndef KAVO_FUZZ_PEX_DOUBLE_H
#define KAVO_FUZZ_PEX_DOUBLE_H

#include <stddef.h>
#include <stdint.h>

namespace pex_double {

/* What the double saw since the last Reset. */
struct Tally {
    size_t liveContexts;       /* created and not yet destroyed */
    size_t liveKeys;           /* generated or unwrapped and not yet destroyed */
    size_t badReleases;        /* destroy of an unknown or already destroyed handle */
    size_t machineKeyDestroys; /* attempts to destroy the wrapping or partition key */
};

/* Forgets every handle and zeroes the tally. */
void Reset();
Tally Current();

}  // namespace pex_double

#endif
