/* OS abstraction layer: error-checking mutexes and thin thread functions.
 *
 * Every function passes the POSIX result through unchanged; nothing is
 * logged, because the trace log itself locks a mutex made here. */
#include <pthread.h>
#include <signal.h>

#include "osa/osa.h"

int OSA_mutex_init(pthread_mutex_t *mutex) {
    // Error-checking: a relock by the owner gives EDEADLK instead of hanging,
    // and an unlock by another thread gives EPERM.  The attribute steps
    // cannot fail for these values, so only the mutex's own result counts.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    int result = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return result;
}

int OSA_mutex_destroy(pthread_mutex_t *mutex) {
    return pthread_mutex_destroy(mutex);
}

int OSA_mutex_lock(pthread_mutex_t *mutex) {
    return pthread_mutex_lock(mutex);
}

int OSA_mutex_trylock(pthread_mutex_t *mutex) {
    return pthread_mutex_trylock(mutex);
}

int OSA_mutex_unlock(pthread_mutex_t *mutex) {
    return pthread_mutex_unlock(mutex);
}

int OSA_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                       void *arg) {
    return pthread_create(thread, attr, start, arg);
}

int OSA_pthread_join(pthread_t thread, void **value) {
    return pthread_join(thread, value);
}

int OSA_pthread_kill(pthread_t thread, int signal) {
    return pthread_kill(thread, signal);
}

pthread_t OSA_pthread_self(void) {
    return pthread_self();
}

void OSA_pthread_exit(void *value) {
    pthread_exit(value);
}

int OSA_pthread_equal(pthread_t a, pthread_t b) {
    // Callers rely on plain value identity of the handles, so they are
    // compared as integers rather than through pthread_equal.
    return a == b ? 1 : 0;
}
