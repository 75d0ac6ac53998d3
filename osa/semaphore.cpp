/* OS abstraction layer: counting semaphores (semx_*) and their heap handles
 * (OSA_*Semaphore).
 *
 * A Semx is a mutex, a condition variable on the real-time clock and a count
 * that never goes below 0.  Both waits are cancellation points; while they
 * wait, a clean-up handler is installed that unlocks the semaphore's mutex,
 * so a cancelled waiter leaves the semaphore usable and its count unchanged. */
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#include "osa/core_internal.h"
#include "osa/osa.h"

// The cryptographic service library allocates and reads these records itself.
static_assert(offsetof(Semx, mutex) == 0);
static_assert(offsetof(Semx, cond) == sizeof(pthread_mutex_t));
static_assert(offsetof(Semx, count) == sizeof(pthread_mutex_t) + sizeof(pthread_cond_t));
static_assert(sizeof(Semx) == 96);  // 40 + 48 + 4, padded to 8
static_assert(offsetof(OsaSemaphore, semaphore) == 0 && sizeof(OsaSemaphore) == 8);

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

/* The clean-up handler has the void(*)(void *) signature that the POSIX
 * clean-up push needs; it forwards to the exported p_operation_cleanup. */
void unlockOnCancel(void *mutex) {
    p_operation_cleanup(static_cast<pthread_mutex_t *>(mutex));
}

}  // namespace

namespace osa_core {

struct timespec semxDeadline(const struct timeval &now, uint32_t timeoutMs) {
    // The sub-second remainder and the current microseconds, summed in
    // nanoseconds (below 2e9), may carry one second into tv_sec.
    const uint32_t wholeSeconds = timeoutMs / 1000;
    const uint32_t restMs = timeoutMs % 1000;
    const int64_t nanos = (static_cast<int64_t>(restMs) * 1000 + now.tv_usec) * 1000;
    struct timespec deadline;
    deadline.tv_sec = now.tv_sec + wholeSeconds + nanos / kNanosPerSecond;
    deadline.tv_nsec = nanos % kNanosPerSecond;
    return deadline;
}

}  // namespace osa_core

int semx_init(Semx *semx, int /*ignored*/, uint32_t initialCount) {
    // The count is a signed 32-bit field that must never be negative, so a
    // start value above INT32_MAX is refused before anything is made.
    if (initialCount > INT32_MAX) {
        return EINVAL;
    }
    int result = pthread_mutex_init(&semx->mutex, nullptr);
    if (result != 0) {
        return result;
    }
    result = pthread_cond_init(&semx->cond, nullptr);
    if (result != 0) {
        return result;
    }
    semx->count = static_cast<int32_t>(initialCount);
    return 0;
}

int semx_destroy(Semx *semx) {
    int result = pthread_mutex_destroy(&semx->mutex);
    if (result != 0) {
        return result;
    }
    result = pthread_cond_destroy(&semx->cond);
    if (result != 0) {
        return result;
    }
    semx->count = 0;
    return 0;
}

namespace {

/* With the mutex held: takes a post that is already there, unlocking the
 * mutex as the clean-up handler would.  The handler matters only inside the
 * condition wait, the one cancellation point, and installing it is a setjmp,
 * so this fast path does without it. */
bool takeAvailablePost(Semx *semx) {
    if (semx->count == 0) {
        return false;
    }
    semx->count--;
    (void)p_operation_cleanup(&semx->mutex);
    return true;
}

/* With the mutex held and no post there: waits on the condition (until
 * deadline, when given) with the clean-up handler installed, takes the post,
 * and unlocks the mutex by running the handler.  The count is tested again
 * after every wake-up: a wake-up without a post takes nothing. */
int waitForPost(Semx *semx, const struct timespec *deadline) {
    // Volatile because the clean-up push is a setjmp point: a value kept in
    // a register there is not guaranteed after the matching pop.
    volatile int result = 0;
    pthread_cleanup_push(unlockOnCancel, &semx->mutex);
    while (semx->count == 0) {
        result = deadline == nullptr ? pthread_cond_wait(&semx->cond, &semx->mutex)
                                     : pthread_cond_timedwait(&semx->cond, &semx->mutex, deadline);
        if (result != 0) {
            break;
        }
    }
    if (result == 0) {
        semx->count--;
    }
    pthread_cleanup_pop(1);
    return result;
}

}  // namespace

int semx_wait(Semx *semx) {
    // The first lock is not checked: on a valid semaphore it cannot fail.
    pthread_mutex_lock(&semx->mutex);
    if (takeAvailablePost(semx)) {
        return 0;
    }
    return waitForPost(semx, nullptr);
}

int semx_timedwait(Semx *semx, uint32_t timeoutMs) {
    pthread_mutex_lock(&semx->mutex);
    if (takeAvailablePost(semx)) {
        return 0;
    }
    // One deadline for the whole wait, so spurious wake-ups do not extend it.
    struct timeval now;
    gettimeofday(&now, nullptr);
    const struct timespec deadline = osa_core::semxDeadline(now, timeoutMs);
    return waitForPost(semx, &deadline);
}

int semx_post(Semx *semx) {
    int result = pthread_mutex_lock(&semx->mutex);
    if (result != 0) {
        return result;
    }
    // A count at INT32_MAX cannot rise without overflowing the signed field;
    // the post is refused as POSIX semaphores refuse it.
    if (semx->count == INT32_MAX) {
        pthread_mutex_unlock(&semx->mutex);
        return EOVERFLOW;
    }
    semx->count++;
    result = pthread_cond_signal(&semx->cond);
    pthread_mutex_unlock(&semx->mutex);
    return result;
}

int semx_getvalue(Semx *semx, int32_t *value) {
    int result = pthread_mutex_lock(&semx->mutex);
    if (result != 0) {
        return result;
    }
    const int32_t count = semx->count;
    pthread_mutex_unlock(&semx->mutex);
    *value = count;
    return 0;
}

int p_operation_cleanup(pthread_mutex_t *mutex) {
    return pthread_mutex_unlock(mutex);
}

int32_t OSA_AllocSemaphore(void * /*ignored*/, uint32_t optionA, uint32_t optionB,
                           uint32_t initialCount, OsaSemaphore **handle) {
    if (handle == nullptr) {
        return OSA_ERR_FAILURE;
    }
    *handle = nullptr;
    if (optionA != 0 || optionB != 0) {
        return OSA_ERR_FAILURE;
    }
    auto *made = static_cast<OsaSemaphore *>(malloc(sizeof(OsaSemaphore)));
    if (made == nullptr) {
        return OSA_ERR_FAILURE;
    }
    made->semaphore = static_cast<Semx *>(malloc(sizeof(Semx)));
    if (made->semaphore == nullptr) {
        free(made);
        return OSA_ERR_FAILURE;
    }
    // A semaphore that could not be initialised is never handed out as a
    // success; nothing is left allocated.
    if (semx_init(made->semaphore, 0, initialCount) != 0) {
        free(made->semaphore);
        free(made);
        return OSA_ERR_FAILURE;
    }
    *handle = made;
    return OSA_OK;
}

int32_t OSA_FreeSemaphore(OsaSemaphore *handle) {
    if (handle == nullptr) {
        return OSA_ERR_FAILURE;
    }
    const int result = semx_destroy(handle->semaphore);
    // A failed destroy means the semaphore is still in use: its blocks stay
    // rather than be pulled from under the holder, and a later free retries.
    if (result == 0) {
        free(handle->semaphore);
        free(handle);
    }
    return result;
}

int32_t OSA_PostSemaphore(OsaSemaphore *handle) {
    if (handle == nullptr) {
        return OSA_ERR_FAILURE;
    }
    return semx_post(handle->semaphore);
}

int32_t OSA_QuerySemaphore(OsaSemaphore *handle, int32_t *value) {
    if (handle == nullptr) {
        return OSA_ERR_FAILURE;
    }
    // On failure the caller's value is left as it was.
    return semx_getvalue(handle->semaphore, value);
}

int32_t OSA_WaitOnSemaphore(OsaSemaphore *handle, int64_t timeoutMs) {
    if (handle == nullptr) {
        return OSA_ERR_FAILURE;
    }
    if (timeoutMs == OSA_WAIT_FOREVER) {
        return semx_wait(handle->semaphore);
    }
    // Only the low 32 bits count: 0xFFFFFFFF is a long timed wait, not an
    // endless one.
    return semx_timedwait(handle->semaphore, static_cast<uint32_t>(timeoutMs));
}

int32_t OSA_WaitForeverOnSemaphore(OsaSemaphore *handle) {
    return OSA_WaitOnSemaphore(handle, OSA_WAIT_FOREVER);
}
