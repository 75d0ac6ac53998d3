// The Promise companion's threads and queues, with jobs whose work the test
// controls: order, cancellation at every moment of a job's life, teardown
// of one environment among others, stopping, and fork.
#include "addon/async/queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test/support/in_child.h"

namespace {

using namespace std::chrono_literals;

// A latch that a job's work may wait on; every wait is bounded, so a fault
// fails the test instead of hanging it.
class Gate {
  public:
    void open() {
        std::lock_guard<std::mutex> hold(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, 10s, [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

struct TestJob {
    Job job = {};
    Gate *started = nullptr; /* opened when the work begins */
    Gate *release = nullptr; /* the work waits for it */
    std::vector<int> *order = nullptr;
    int id = 0;
    std::thread::id ranOn;
    pid_t tid = 0;
    int finished = 0; /* calls of finish */
    bool wanted = false;
    Gate done;
};

std::mutex orderLock;

void runTest(Job *job) {
    auto *test = reinterpret_cast<TestJob *>(job);
    test->ranOn = std::this_thread::get_id();
    test->tid = gettid();
    if (test->order != nullptr) {
        std::lock_guard<std::mutex> hold(orderLock);
        test->order->push_back(test->id);
    }
    if (test->started != nullptr) {
        test->started->open();
    }
    if (test->release != nullptr) {
        EXPECT_TRUE(test->release->wait());
    }
}

void finishTest(Job *job, bool wanted) {
    auto *test = reinterpret_cast<TestJob *>(job);
    ++test->finished;
    test->wanted = wanted;
    test->done.open();
}

void prepare(TestJob &test, JobOwner *owner, JobThreads threads, int id = 0) {
    test.job.owner = owner;
    test.job.threads = threads;
    test.job.run = runTest;
    test.job.finish = finishTest;
    test.id = id;
}

// A job that holds its thread from the moment it starts until released.
struct HeldJob : TestJob {
    Gate startedGate;
    Gate releaseGate;
    HeldJob(JobOwner *owner, JobThreads threads) {
        prepare(*this, owner, threads);
        started = &startedGate;
        release = &releaseGate;
    }
    // Submits it and waits until a thread has taken it and is in its work.
    bool submitAndWaitUntilRunning() { return jobSubmit(&job) && startedGate.wait(); }
};

TEST(PromiseQueue, CredentialJobsRunOneAtATimeInOrderOnOneThread) {
    JobOwner owner = {};
    Gate release;
    std::vector<int> order;
    std::vector<TestJob> jobs(20);
    for (int i = 0; i < 20; ++i) {
        prepare(jobs[i], &owner, kCredentialThreads, i);
        jobs[i].order = &order;
        jobs[i].release = i == 0 ? &release : nullptr;
        ASSERT_TRUE(jobSubmit(&jobs[i].job));
    }
    release.open();
    for (TestJob &job : jobs) {
        ASSERT_TRUE(job.done.wait());
    }
    std::vector<int> expected(20);
    for (int i = 0; i < 20; ++i) {
        expected[i] = i;
        EXPECT_EQ(jobs[i].ranOn, jobs[0].ranOn);
        EXPECT_EQ(jobs[i].finished, 1);
        EXPECT_TRUE(jobs[i].wanted);
    }
    EXPECT_EQ(order, expected);
}

TEST(PromiseQueue, DirectoryJobsRunSideBySide) {
    // Each job waits for the other to start: with one thread they would
    // never both start.
    JobOwner owner = {};
    Gate startedA;
    Gate startedB;
    TestJob a;
    TestJob b;
    prepare(a, &owner, kDirectoryThreads);
    prepare(b, &owner, kDirectoryThreads);
    a.started = &startedA;
    a.release = &startedB;
    b.started = &startedB;
    b.release = &startedA;
    ASSERT_TRUE(jobSubmit(&a.job));
    ASSERT_TRUE(jobSubmit(&b.job));
    ASSERT_TRUE(a.done.wait());
    ASSERT_TRUE(b.done.wait());
    EXPECT_NE(a.ranOn, b.ranOn);
}

TEST(PromiseQueue, CancelUnlinksAQueuedJobAndLeavesARunningOrFinishedOneAlone) {
    JobOwner owner = {};
    HeldJob running(&owner, kCredentialThreads);
    TestJob queued;
    TestJob last;
    prepare(queued, &owner, kCredentialThreads);
    prepare(last, &owner, kCredentialThreads);
    // The thread has taken the first job off the queue and is inside its
    // work: a cancel now finds it running, changes nothing and crashes
    // nothing.
    ASSERT_TRUE(running.submitAndWaitUntilRunning());
    ASSERT_TRUE(jobSubmit(&queued.job));
    ASSERT_TRUE(jobSubmit(&last.job));
    EXPECT_EQ(running.job.state, kJobRunning);
    EXPECT_FALSE(jobCancel(&running.job));
    EXPECT_TRUE(jobCancel(&queued.job));
    EXPECT_EQ(queued.job.state, kJobCancelled);
    EXPECT_FALSE(jobCancel(&queued.job));
    running.releaseGate.open();
    ASSERT_TRUE(running.done.wait());
    ASSERT_TRUE(last.done.wait());
    EXPECT_FALSE(jobCancel(&running.job));
    EXPECT_FALSE(jobCancel(&last.job));
    EXPECT_EQ(running.finished, 1);
    EXPECT_TRUE(running.wanted);
    EXPECT_EQ(queued.finished, 0);
    EXPECT_EQ(last.finished, 1);
}

TEST(PromiseQueue, ClosingAnOwnerDropsItsQueuedJobsAndWaitsForItsRunningOne) {
    JobOwner leaving = {};
    JobOwner staying = {};
    HeldJob running(&leaving, kCredentialThreads);
    TestJob mine[2];
    TestJob theirs;
    prepare(mine[0], &leaving, kCredentialThreads);
    prepare(theirs, &staying, kCredentialThreads);
    prepare(mine[1], &leaving, kCredentialThreads);
    ASSERT_TRUE(running.submitAndWaitUntilRunning());
    for (TestJob *job : {&mine[0], &theirs, &mine[1]}) {
        ASSERT_TRUE(jobSubmit(&job->job));
    }
    std::thread releaser([&running] {
        std::this_thread::sleep_for(50ms);
        running.releaseGate.open();
    });
    const auto before = std::chrono::steady_clock::now();
    Job *dropped = jobsCloseOwner(&leaving, 10000);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 40ms);
    releaser.join();
    // Its running job has finished, unwanted; its queued ones came back, in
    // order, and never ran.
    EXPECT_EQ(running.finished, 1);
    EXPECT_FALSE(running.wanted);
    ASSERT_EQ(dropped, &mine[1].job);
    ASSERT_EQ(dropped->next, &mine[0].job);
    EXPECT_EQ(dropped->next->next, nullptr);
    EXPECT_EQ(mine[0].finished + mine[1].finished, 0);
    ASSERT_TRUE(theirs.done.wait());
    EXPECT_TRUE(theirs.wanted);
}

TEST(PromiseQueue, ClosingWaitsNoLongerThanItsBound) {
    JobOwner owner = {};
    HeldJob stuck(&owner, kDirectoryThreads);
    ASSERT_TRUE(stuck.submitAndWaitUntilRunning());
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(jobsCloseOwner(&owner, 100), nullptr);
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, 90ms);
    EXPECT_LT(waited, 5s);
    stuck.releaseGate.open();
    ASSERT_TRUE(stuck.done.wait());
    EXPECT_FALSE(stuck.wanted);
}

// Whether the thread with this kernel id is still part of the process.
bool threadExists(pid_t tid) {
    return std::filesystem::exists("/proc/self/task/" + std::to_string(tid));
}

TEST(PromiseQueue, StoppedThreadsAreJoinedAndNewJobsStartNewOnes) {
    JobOwner owner = {};
    TestJob before;
    prepare(before, &owner, kDirectoryThreads);
    ASSERT_TRUE(jobSubmit(&before.job));
    ASSERT_TRUE(before.done.wait());
    EXPECT_TRUE(threadExists(before.tid));
    jobsStop(10000, false);
    EXPECT_FALSE(threadExists(before.tid));
    TestJob after;
    prepare(after, &owner, kDirectoryThreads);
    ASSERT_TRUE(jobSubmit(&after.job));
    ASSERT_TRUE(after.done.wait());
    EXPECT_TRUE(after.wanted);
    EXPECT_TRUE(threadExists(after.tid));
}

TEST(PromiseQueue, AForkChildStartsWithoutTheParentsThreads) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support threads started after a multi-threaded fork";
#endif
    JobOwner owner = {};
    HeldJob busy(&owner, kCredentialThreads);
    ASSERT_TRUE(busy.submitAndWaitUntilRunning());
    // The parent's credential thread is busy; the child has none, so its
    // job runs only if the child starts a thread of its own.
    kavotest::expectInChild([] {
        JobOwner childOwner = {};
        TestJob job;
        prepare(job, &childOwner, kCredentialThreads);
        return jobSubmit(&job.job) && job.done.wait() && job.wanted;
    });
    busy.releaseGate.open();
    ASSERT_TRUE(busy.done.wait());
}

}  // namespace
