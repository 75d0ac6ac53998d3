/* The Promise companion's threads and their queues.
 *
 * Two sets of threads, process-wide, each draining one FIFO: one thread for
 * credential requests (the module's request lock serialises them anyway)
 * and a few for directory lookups (KAVO_DIRECTORY_THREADS, 2 by default, at
 * most 16).  They are started on first use and are not the libuv pool, so
 * the application's own file, DNS and crypto work never waits behind a slow
 * directory server.
 *
 * One mutex guards both queues, every job's state and every owner's count.
 * A job's state changes only in the locked section that moves it: it is
 * queued when linked, running from the moment a thread unlinks it, and
 * finished when `finish` has taken it back.  jobCancel, under the same lock,
 * therefore either finds it queued and unlinks it, or finds it running or
 * finished and does nothing. */
#ifndef KAVO_ADDON_ASYNC_QUEUE_H
#define KAVO_ADDON_ASYNC_QUEUE_H

#include <stdint.h>

enum JobState : int32_t { kJobNew, kJobQueued, kJobRunning, kJobFinished, kJobCancelled };
enum JobThreads : int32_t { kCredentialThreads, kDirectoryThreads, kThreadSets };

/* What the queues know of a job's JavaScript environment. */
struct JobOwner {
    int32_t running; /* its jobs that a thread runs now */
    bool closing;    /* torn down: its results are no longer wanted */
};

struct Job {
    Job *previous;
    Job *next;
    JobOwner *owner;
    JobThreads threads;
    JobState state;
    /* The work, on a thread of the set, outside the lock. */
    void (*run)(Job *job);
    /* Then, under the lock: hand the result home when `wanted` (its owner
     * is alive and the process is not exiting), else release the job. */
    void (*finish)(Job *job, bool wanted);
};

/* Queues the job, starting a thread of its set if none is free.  False when
 * the process is exiting or no thread could be started; nothing is queued. */
bool jobSubmit(Job *job);

/* True when the job was still queued: it is unlinked and will never run.
 * False for a job that runs, has run or was never queued. */
bool jobCancel(Job *job);

/* At an environment's teardown: marks the owner closing, unlinks its queued
 * jobs (returned as a list through `next`) and waits up to `waitMs` for
 * those of its jobs that are running. */
Job *jobsCloseOwner(JobOwner *owner, int32_t waitMs);

/* Stops and joins every thread, waiting up to `waitMs` for one still in a
 * job; new jobs start new threads.  With `exiting`, no job is taken or
 * accepted again. */
void jobsStop(int32_t waitMs, bool exiting);

#endif
