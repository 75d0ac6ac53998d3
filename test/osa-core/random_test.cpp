// Random seed gathering: what the device read and the 13-step passes touch,
// and how the process-wide counter and mixing state advance.
//
// The "device" is replaced through the internal hook: by a path that does
// not exist (unreadable device) or by a FIFO that the test fills, so that it
// can see how many bytes a call took from it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "osa/core_internal.h"
#include "osa/osa.h"
#include "test/support/temp_dir.h"

namespace {

class OsaRandom : public ::testing::Test {
  protected:
    void TearDown() override {
        osa_core::setRandomDevicePath(nullptr);
        if (fifoFd_ >= 0) {
            close(fifoFd_);
        }
        dir_.remove();
    }

    // The device's path, in a directory of the test's own: nothing is there
    // until UseFifoDevice makes the FIFO.
    void makeDevicePath() {
        ASSERT_TRUE(dir_.create("osa-random"));
        device_ = dir_.file("device");
    }

    // Makes the device a FIFO holding `bytes` bytes.  The test keeps a
    // read-write end open, so opening it never blocks and the unread bytes
    // can be counted afterwards.
    void UseFifoDevice(size_t bytes) {
        ASSERT_NO_FATAL_FAILURE(makeDevicePath());
        ASSERT_EQ(mkfifo(device_.c_str(), 0600), 0);
        fifoFd_ = open(device_.c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(fifoFd_, 0);
        const std::vector<uint8_t> data(bytes, 0x3C);
        ASSERT_EQ(write(fifoFd_, data.data(), data.size()), static_cast<ssize_t>(bytes));
        osa_core::setRandomDevicePath(device_.c_str());
    }

    size_t BytesLeftInFifo() {
        uint8_t scratch[256];
        size_t left = 0;
        ssize_t got;
        while ((got = read(fifoFd_, scratch, sizeof(scratch))) > 0) {
            left += static_cast<size_t>(got);
        }
        return left;
    }

    void UseUnreadableDevice() {
        ASSERT_NO_FATAL_FAILURE(makeDevicePath());
        osa_core::setRandomDevicePath(device_.c_str());
    }

    kavotest::TempDir dir_;
    std::string device_;
    int fifoFd_ = -1;
};

// What a buffer holds before a call, and how many bytes past the size asked
// for must keep it.
constexpr uint8_t kFill = 0xA5;
constexpr size_t kGuard = 32;

TEST_F(OsaRandom, NullBufferOrZeroSizeTouchesNothing) {
    UseFifoDevice(20);
    const uint64_t counter = osa_core::randomCounter();
    const uint64_t state = osa_core::randomMixingState();
    std::vector<uint8_t> buffer(16, kFill);

    EXPECT_EQ(OSA_GetRandom(nullptr, 16), 0);
    EXPECT_EQ(OSA_GetRandom(buffer.data(), 0), 0);
    EXPECT_EQ(OSA_GetRandom(nullptr, 0), 0);

    EXPECT_EQ(buffer, std::vector<uint8_t>(16, kFill));
    EXPECT_EQ(BytesLeftInFifo(), 20u) << "the device was read";
    EXPECT_EQ(osa_core::randomCounter(), counter);
    EXPECT_EQ(osa_core::randomMixingState(), state);
}

TEST_F(OsaRandom, DeviceIsReadOnceForTheWholeSize) {
    UseFifoDevice(40);
    std::vector<uint8_t> buffer(30, 0);
    EXPECT_EQ(OSA_GetRandom(buffer.data(), 30), 0);
    EXPECT_EQ(BytesLeftInFifo(), 10u);
}

// For each size: how many passes reach step 10 (the counter) and step 11 (the
// mixing state), with the bytes past the size left alone.
TEST_F(OsaRandom, PassesAdvanceCounterAndMixingStateBySize) {
    UseUnreadableDevice();
    struct Case {
        uint32_t size;
        uint64_t counterSteps;
        int stateSteps;
    };
    const Case cases[] = {
        {1, 0, 0},  {10, 0, 0}, {11, 1, 0}, {12, 1, 1}, {13, 1, 1},
        {14, 1, 1}, {24, 2, 1}, {26, 2, 2}, {27, 2, 2}, {40, 3, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        std::vector<uint8_t> buffer(c.size + kGuard, kFill);
        const uint64_t counter = osa_core::randomCounter();
        const uint64_t state = osa_core::randomMixingState();

        EXPECT_EQ(OSA_GetRandom(buffer.data(), c.size), 0);

        EXPECT_EQ(osa_core::randomCounter(), counter + c.counterSteps);
        const uint64_t after = osa_core::randomMixingState();
        if (c.stateSteps == 0) {
            EXPECT_EQ(after, state);
        } else {
            // Each replacement multiplies an odd word by the odd multiplier.
            EXPECT_NE(after, state);
            EXPECT_EQ(after & 1u, 1u);
        }
        for (size_t i = c.size; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], kFill) << "byte " << i << " past the size was written";
        }
    }
}

TEST_F(OsaRandom, OutputVariesWhenTheDeviceIsUnreadable) {
    UseUnreadableDevice();
    constexpr uint32_t kSize = 26;
    std::vector<uint8_t> previous;
    int distinct = 0;
    for (int call = 0; call < 4; ++call) {
        std::vector<uint8_t> buffer(kSize, kFill);
        EXPECT_EQ(OSA_GetRandom(buffer.data(), kSize), 0);
        EXPECT_NE(buffer, std::vector<uint8_t>(kSize, kFill)) << "nothing was mixed in";
        if (!previous.empty() && buffer != previous) {
            ++distinct;
        }
        previous = buffer;
    }
    EXPECT_EQ(distinct, 3) << "two calls in a row gave the same bytes";
}

// Several threads gather at once; under ThreadSanitizer this shows that the
// process-wide words are shared without data races, and every pass is
// counted.
TEST_F(OsaRandom, ConcurrentCallersAreAllCounted) {
    UseUnreadableDevice();
    constexpr int kThreads = 4;
    constexpr int kCalls = 25;
    const uint64_t counter = osa_core::randomCounter();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            uint8_t buffer[26] = {};
            for (int i = 0; i < kCalls; ++i) {
                OSA_GetRandom(buffer, sizeof(buffer));
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(osa_core::randomCounter(), counter + 2ull * kThreads * kCalls);
}

}  // namespace
