// The Promise companion's threads and their queues (see queue.h).
#include "addon/async/queue.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

namespace {

constexpr int32_t kMaxThreads = 16;
constexpr int32_t kDefaultDirectoryThreads = 2;

struct ThreadSet {
    Job *head = nullptr;
    Job *tail = nullptr;
    int32_t queued = 0;
    int32_t idle = 0;
    int32_t live = 0;     /* threads of the set that have not left */
    int32_t limit = 0;    /* 0 until the first job reads it */
    int32_t joinable = 0; /* ids of threads that no jobsStop has taken yet */
    pthread_t ids[kMaxThreads] = {};
    pthread_cond_t wake = PTHREAD_COND_INITIALIZER; /* a job was queued, or stop */
};

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t jobDone = PTHREAD_COND_INITIALIZER; /* a running job has finished */
ThreadSet sets[kThreadSets];
// A thread leaves once the generation it started in has passed (jobsStop)
// and its queue is empty, or at once when the process is exiting.
uint32_t generation;
bool exiting;
pthread_once_t processHooks = PTHREAD_ONCE_INIT;

int32_t threadLimit(JobThreads threads) {
    if (threads == kCredentialThreads) {
        return 1;
    }
    const char *text = getenv("KAVO_DIRECTORY_THREADS");
    char *end = nullptr;
    const long wanted = text != nullptr ? strtol(text, &end, 10) : 0;
    if (text == nullptr || end == text || *end != '\0' || wanted < 1) {
        return kDefaultDirectoryThreads;
    }
    return wanted > kMaxThreads ? kMaxThreads : static_cast<int32_t>(wanted);
}

void append(ThreadSet *set, Job *job) {
    job->previous = set->tail;
    job->next = nullptr;
    *(set->tail != nullptr ? &set->tail->next : &set->head) = job;
    set->tail = job;
    ++set->queued;
}

void unlink(ThreadSet *set, Job *job) {
    *(job->previous != nullptr ? &job->previous->next : &set->head) = job->next;
    *(job->next != nullptr ? &job->next->previous : &set->tail) = job->previous;
    job->previous = nullptr;
    job->next = nullptr;
    --set->queued;
}

void *work(void *data) {
    ThreadSet *set = static_cast<ThreadSet *>(data);
    (void)pthread_mutex_lock(&lock);
    const uint32_t born = generation;
    for (;;) {
        while (set->head == nullptr && generation == born && !exiting) {
            ++set->idle;
            (void)pthread_cond_wait(&set->wake, &lock);
            --set->idle;
        }
        if (set->head == nullptr || exiting) {
            break;
        }
        Job *job = set->head;
        unlink(set, job);
        job->state = kJobRunning;
        ++job->owner->running;
        (void)pthread_mutex_unlock(&lock);

        job->run(job);

        (void)pthread_mutex_lock(&lock);
        job->state = kJobFinished;
        --job->owner->running;
        // `finish` may release the job and with it its owner.
        job->finish(job, !job->owner->closing && !exiting);
        (void)pthread_cond_broadcast(&jobDone);
    }
    --set->live;
    (void)pthread_mutex_unlock(&lock);
    return nullptr;
}

// A fork() child has none of the parent's threads: it starts with empty
// sets.  The lock is held across fork so that the child's copy is consistent.
void beforeFork() {
    (void)pthread_mutex_lock(&lock);
}
void afterForkInParent() {
    (void)pthread_mutex_unlock(&lock);
}
void afterForkInChild() {
    for (ThreadSet &set : sets) {
        const int32_t limit = set.limit;
        set = ThreadSet{};
        set.limit = limit;
    }
    (void)pthread_cond_init(&jobDone, nullptr);
    (void)pthread_mutex_unlock(&lock);
}

// At exit: no job is taken again, and the threads are joined before the
// module goes away (their code lives in it).  Registered after the module
// loaded, so it runs before the handlers of the runtime that loaded it.
void atExit() {
    jobsStop(10000, true);
}

void installProcessHooks() {
    (void)pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
    (void)atexit(atExit);
}

// Under the lock.  The thread takes no signal meant for the process: those
// belong to Node's own threads.
bool startThread(ThreadSet *set) {
    sigset_t all;
    sigset_t previous;
    (void)sigfillset(&all);
    (void)pthread_sigmask(SIG_SETMASK, &all, &previous);
    const bool started = pthread_create(&set->ids[set->joinable], nullptr, work, set) == 0;
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    set->joinable += started ? 1 : 0;
    set->live += started ? 1 : 0;
    return started;
}

timespec deadlineIn(int32_t ms) {
    timespec at = {};
    (void)clock_gettime(CLOCK_REALTIME, &at);
    at.tv_sec += ms / 1000;
    at.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

}  // namespace

bool jobSubmit(Job *job) {
    (void)pthread_once(&processHooks, installProcessHooks);
    (void)pthread_mutex_lock(&lock);
    ThreadSet *set = &sets[job->threads];
    if (set->limit == 0) {
        set->limit = threadLimit(job->threads);
    }
    bool queued = !exiting;
    if (queued) {
        append(set, job);
        job->state = kJobQueued;
        if (set->queued > set->idle && set->live < set->limit && !startThread(set) &&
            set->live == 0) {
            unlink(set, job);
            job->state = kJobNew;
            queued = false;
        }
    }
    if (queued) {
        (void)pthread_cond_signal(&set->wake);
    }
    (void)pthread_mutex_unlock(&lock);
    return queued;
}

bool jobCancel(Job *job) {
    (void)pthread_mutex_lock(&lock);
    const bool cancelled = job->state == kJobQueued;
    if (cancelled) {
        unlink(&sets[job->threads], job);
        job->state = kJobCancelled;
    }
    (void)pthread_mutex_unlock(&lock);
    return cancelled;
}

Job *jobsCloseOwner(JobOwner *owner, int32_t waitMs) {
    Job *dropped = nullptr;
    (void)pthread_mutex_lock(&lock);
    owner->closing = true;
    for (ThreadSet &set : sets) {
        for (Job *job = set.head, *next = nullptr; job != nullptr; job = next) {
            next = job->next;
            if (job->owner == owner) {
                unlink(&set, job);
                job->state = kJobCancelled;
                job->next = dropped;
                dropped = job;
            }
        }
    }
    const timespec deadline = deadlineIn(waitMs);
    while (owner->running > 0 && pthread_cond_timedwait(&jobDone, &lock, &deadline) != ETIMEDOUT) {
    }
    (void)pthread_mutex_unlock(&lock);
    return dropped;
}

void jobsStop(int32_t waitMs, bool exit) {
    pthread_t ids[kThreadSets * kMaxThreads];
    int32_t count = 0;
    (void)pthread_mutex_lock(&lock);
    exiting = exiting || exit;
    ++generation;
    for (ThreadSet &set : sets) {
        (void)pthread_cond_broadcast(&set.wake);
        for (int32_t i = 0; i < set.joinable; ++i) {
            ids[count++] = set.ids[i];
        }
        set.joinable = 0;
    }
    (void)pthread_mutex_unlock(&lock);
    // A thread still in a job after the wait is left to end on its own.
    const timespec deadline = deadlineIn(waitMs);
    for (int32_t i = 0; i < count; ++i) {
        if (pthread_timedjoin_np(ids[i], nullptr, &deadline) != 0) {
            (void)pthread_detach(ids[i]);
        }
    }
}
