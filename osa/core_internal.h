/* OS abstraction layer, core group: names shared between the core files and
 * their unit tests.
 *
 * Nothing here is exported from the add-on (the whole tree is built with
 * hidden visibility); the unit tests reach these names because they link the
 * layer's static library directly. */
#ifndef KAVO_OSA_CORE_INTERNAL_H
#define KAVO_OSA_CORE_INTERNAL_H

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

/* The layer's process-wide state (context.cpp).  C linkage keeps the symbol
 * names plain, so the export check can hold them against internal.names. */
extern "C" {
extern int32_t osaInitialized;
extern uint64_t osaModuleHandle;
}

namespace osa_core {

/* The absolute deadline of a timed semaphore wait: `now` plus `timeoutMs`
 * milliseconds, in integer arithmetic with the microsecond-to-second carry
 * applied, so that tv_nsec always lies below one second. */
struct timespec semxDeadline(const struct timeval &now, uint32_t timeoutMs);

/* The random gatherer's process-wide words (random.cpp). */
uint64_t randomCounter();
uint64_t randomMixingState();

/* Replaces the random device path for the rest of the process; nullptr
 * restores the real device.  Tests use it to make the device unreadable. */
void setRandomDevicePath(const char *path);

}  // namespace osa_core

#endif
