// Reader-writer locks: readers share, a writer waits for the last reader
// whichever order the readers leave in, and the writer-to-reader change.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "osa/osa.h"

#if defined(__SANITIZE_THREAD__)
// The lock is held by the readers as a group: the first reader in takes
// resourceLock (under countLock) and the last reader out, possibly another
// thread, releases it after taking countLock.  ThreadSanitizer models mutexes
// as owned by one thread, so it reports the release by "the wrong thread" and
// an inversion of countLock and resourceLock that cannot deadlock (no thread
// waits for resourceLock while the group is inside).  Only those two report
// kinds are silenced, only inside the lock's own functions; data races are
// still reported.
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions() {
    return "mutex:OSA_rw_\n"
           "deadlock:OSA_rw_\n";
}
#endif

namespace {

using std::chrono::milliseconds;

// A thread that takes the read lock and holds it until told to let go.
class Reader {
  public:
    explicit Reader(OsaRwLock *rw) : rw_(rw), thread_([this] { Run(); }) {}
    ~Reader() { Join(); }
    bool WaitInside() {
        for (int i = 0; i < 5000 && !inside_.load(); ++i) {
            std::this_thread::sleep_for(milliseconds(2));
        }
        return inside_.load();
    }
    void Release() { release_ = true; }
    void Join() {
        Release();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int lockResult = -1;
    int unlockResult = -1;

  private:
    void Run() {
        lockResult = OSA_rw_rdlock(rw_);
        inside_ = true;
        while (!release_.load()) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        unlockResult = OSA_rw_unlock(rw_);
    }
    OsaRwLock *rw_;
    std::atomic<bool> inside_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;
};

// A thread that takes the write lock once and records when it got in.
class Writer {
  public:
    explicit Writer(OsaRwLock *rw)
        : thread_([this, rw] {
              lockResult = OSA_rw_wrlock(rw);
              inside_ = true;
              writerFlag = rw->writer;
              unlockResult = OSA_rw_unlock(rw);
          }) {}
    ~Writer() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool Inside() const { return inside_.load(); }
    void Join() { thread_.join(); }
    int lockResult = -1;
    int unlockResult = -1;
    int writerFlag = -1;

  private:
    std::atomic<bool> inside_{false};
    std::thread thread_;
};

// Each test starts with `rw` initialised, and every test checks that it can
// be destroyed at the end.
class OsaRwLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(OSA_rw_init(&rw), 0);
        initialised_ = true;
    }
    void TearDown() override {
        if (initialised_) {
            EXPECT_EQ(OSA_rw_destroy(&rw), 0);
        }
    }

    void expectWriterWaitsForBothReaders(bool firstInLeavesFirst) {
        {
            Reader first(&rw);
            ASSERT_TRUE(first.WaitInside());
            Reader second(&rw);
            ASSERT_TRUE(second.WaitInside()) << "a second reader did not get in";
            Writer writer(&rw);
            std::this_thread::sleep_for(milliseconds(150));
            EXPECT_FALSE(writer.Inside()) << "writer got in beside two readers";

            Reader &leavesFirst = firstInLeavesFirst ? first : second;
            Reader &leavesLast = firstInLeavesFirst ? second : first;
            leavesFirst.Join();
            std::this_thread::sleep_for(milliseconds(150));
            EXPECT_FALSE(writer.Inside()) << "writer got in beside one reader";
            leavesLast.Join();
            writer.Join();
            EXPECT_EQ(first.lockResult, 0);
            EXPECT_EQ(second.lockResult, 0);
            EXPECT_EQ(first.unlockResult, 0);
            EXPECT_EQ(second.unlockResult, 0);
            EXPECT_EQ(writer.lockResult, 0);
            EXPECT_EQ(writer.writerFlag, 1);
            EXPECT_EQ(writer.unlockResult, 0);
        }
        EXPECT_EQ(rw.readers, 0);
        EXPECT_EQ(rw.writer, 0);
    }

    OsaRwLock rw;

  private:
    bool initialised_ = false;
};

TEST_F(OsaRwLockTest, WriterWaitsForReadersLeavingInOrder) {
    expectWriterWaitsForBothReaders(true);
}

TEST_F(OsaRwLockTest, WriterWaitsForReadersLeavingInReverseOrder) {
    expectWriterWaitsForBothReaders(false);
}

TEST_F(OsaRwLockTest, ReadersShareWhileAWriterWaits) {
    Reader first(&rw);
    ASSERT_TRUE(first.WaitInside());
    Writer writer(&rw);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(writer.Inside());
    // A waiting writer does not hold back further readers.
    Reader late(&rw);
    ASSERT_TRUE(late.WaitInside());
    EXPECT_EQ(rw.readers, 2);
    EXPECT_FALSE(writer.Inside());
    first.Join();
    late.Join();
    writer.Join();
    EXPECT_EQ(writer.lockResult, 0);
}

TEST_F(OsaRwLockTest, WriteLockAndUnlockLeaveItFree) {
    EXPECT_EQ(rw.readers, 0);
    EXPECT_EQ(rw.writer, 0);
    ASSERT_EQ(OSA_rw_wrlock(&rw), 0);
    EXPECT_EQ(rw.writer, 1);
    EXPECT_EQ(pthread_mutex_trylock(&rw.resourceLock), EBUSY);
    EXPECT_EQ(OSA_rw_unlock(&rw), 0);
    EXPECT_EQ(rw.writer, 0);
    EXPECT_EQ(rw.readers, 0);
    // Free: a reader and then a writer get in at once.
    EXPECT_EQ(OSA_rw_rdlock(&rw), 0);
    EXPECT_EQ(rw.readers, 1);
    EXPECT_EQ(OSA_rw_unlock(&rw), 0);
    EXPECT_EQ(OSA_rw_wrlock(&rw), 0);
    EXPECT_EQ(OSA_rw_unlock(&rw), 0);
}

TEST_F(OsaRwLockTest, WriterBecomesReader) {
    ASSERT_EQ(OSA_rw_wrlock(&rw), 0);
    EXPECT_EQ(OSA_rw_wr2rdlock(&rw), 0);
    EXPECT_EQ(rw.readers, 1);
    EXPECT_EQ(rw.writer, 0);
    {
        // Still held for reading: another writer waits for the unlock.
        Writer writer(&rw);
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_FALSE(writer.Inside());
        EXPECT_EQ(OSA_rw_unlock(&rw), 0);
        writer.Join();
        EXPECT_EQ(writer.lockResult, 0);
    }
}

TEST_F(OsaRwLockTest, DestroyWhileWriteHeldByCaller) {
    ASSERT_EQ(OSA_rw_wrlock(&rw), 0);
    EXPECT_EQ(OSA_rw_destroy(&rw), 0);
    EXPECT_EQ(rw.writer, 0);
    EXPECT_EQ(rw.readers, 0);
    // Back to uninitialised: it can be made again and used.
    ASSERT_EQ(OSA_rw_init(&rw), 0);
    EXPECT_EQ(OSA_rw_wrlock(&rw), 0);
    EXPECT_EQ(OSA_rw_unlock(&rw), 0);
}

}  // namespace
