/* OS abstraction layer: reader-writer locks made of two mutexes.
 *
 * resourceLock is held by the writer, or by the readers as a group: the first
 * reader in takes it and the last reader out releases it, and these need not
 * be the same thread, so it is a default-type mutex (any thread may release
 * one on Linux).  countLock guards the reader count and is always taken
 * before resourceLock.  A steady stream of readers can keep a writer out. */
#include <pthread.h>
#include <stddef.h>

#include "osa/osa.h"

// Callers provide the storage, so the field order and widths are fixed.
static_assert(offsetof(OsaRwLock, resourceLock) == 0);
static_assert(offsetof(OsaRwLock, countLock) == sizeof(pthread_mutex_t));
static_assert(offsetof(OsaRwLock, readers) == 2 * sizeof(pthread_mutex_t));
static_assert(offsetof(OsaRwLock, writer) == 2 * sizeof(pthread_mutex_t) + 4);
static_assert(sizeof(OsaRwLock) == 2 * sizeof(pthread_mutex_t) + 8);

namespace {

/* `writer` is read without a lock in OSA_rw_unlock; only the thread holding
 * the write lock changes it and no reader is inside meanwhile, so relaxed
 * atomic accesses carry no ordering of their own and only keep the read from
 * counting as a data race. */
int32_t loadWriter(const OsaRwLock *rw) {
    return __atomic_load_n(&rw->writer, __ATOMIC_RELAXED);
}

void storeWriter(OsaRwLock *rw, int32_t value) {
    __atomic_store_n(&rw->writer, value, __ATOMIC_RELAXED);
}

}  // namespace

int OSA_rw_init(OsaRwLock *rw) {
    int result = pthread_mutex_init(&rw->countLock, nullptr);
    if (result == 0) {
        result = pthread_mutex_init(&rw->resourceLock, nullptr);
    }
    rw->readers = 0;
    storeWriter(rw, 0);
    return result;
}

int OSA_rw_destroy(OsaRwLock *rw) {
    // Each mutex is released first whatever state it is in, so that a lock
    // still held by the caller can be destroyed; those results do not count.
    (void)pthread_mutex_trylock(&rw->countLock);
    pthread_mutex_unlock(&rw->countLock);
    pthread_mutex_destroy(&rw->countLock);
    (void)pthread_mutex_trylock(&rw->resourceLock);
    pthread_mutex_unlock(&rw->resourceLock);
    const int result = pthread_mutex_destroy(&rw->resourceLock);
    storeWriter(rw, 0);
    rw->readers = 0;
    return result;
}

int OSA_rw_rdlock(OsaRwLock *rw) {
    pthread_mutex_lock(&rw->countLock);
    rw->readers++;
    // The first reader waits here for a writer to leave, still holding
    // countLock, so the readers after it queue on countLock.
    if (rw->readers == 1) {
        pthread_mutex_lock(&rw->resourceLock);
    }
    return pthread_mutex_unlock(&rw->countLock);
}

int OSA_rw_wrlock(OsaRwLock *rw) {
    const int result = pthread_mutex_lock(&rw->resourceLock);
    storeWriter(rw, 1);
    return result;
}

int OSA_rw_unlock(OsaRwLock *rw) {
    if (loadWriter(rw) != 0) {
        storeWriter(rw, 0);
        return pthread_mutex_unlock(&rw->resourceLock);
    }
    pthread_mutex_lock(&rw->countLock);
    rw->readers--;
    if (rw->readers == 0) {
        pthread_mutex_unlock(&rw->resourceLock);
    }
    return pthread_mutex_unlock(&rw->countLock);
}

int OSA_rw_wr2rdlock(OsaRwLock *rw) {
    // Not atomic: another writer may take the lock between the two steps.
    OSA_rw_unlock(rw);
    return OSA_rw_rdlock(rw);
}
