/* OS abstraction layer: random seed gathering.
 *
 * OSA_GetRandom fills the caller's buffer from the kernel's random device and
 * then XORs into every byte a value derived from clocks, process and thread
 * identities, resource usage, addresses and two process-wide words (a pass
 * counter and a mixing state).  The mixing is what keeps the output varying
 * from call to call when the device cannot be read; the caller feeds the
 * result to its own generator as seed material.
 *
 * The buffer is worked in passes of 13 positions; each position has a step of
 * its own that updates a running 64-bit value x and XORs one byte of it (or
 * of a value derived from it) into the buffer. */
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/times.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "osa/core_internal.h"
#include "osa/osa.h"

namespace {

constexpr const char *kRandomDevice = "/dev/urandom";

/* The first round constant of SHA-1, its 64-bit complement, and the
 * multiplier of the mixing state. */
constexpr uint64_t kK = 0x5A827999u;
constexpr uint64_t kNotK = ~kK;  // 0xFFFFFFFFA57D8666
constexpr uint64_t kM = 0x278DDE6Du;
static_assert(kNotK == 0xFFFFFFFFA57D8666u);

constexpr uint64_t kPassLength = 13;

/* Process-wide words.  Several threads may gather at once; relaxed atomics
 * keep that free of data races, and an interleaving can only change the
 * values mixed in. */
std::atomic<uint64_t> passCounter{0};
std::atomic<uint64_t> mixingState{0x6A09E667F3BCC908u};

/* Test hook: the device path, the real device unless a test replaces it. */
std::atomic<const char *> devicePath{kRandomDevice};

uint64_t fold(uint64_t h, uint64_t w) {
    return (w ^ h) | (h ^ kNotK);
}

template <typename T>
uint64_t toWord(T value) {
    // Signed values (ids, clock ticks) are sign-extended to 64 bits.
    return static_cast<uint64_t>(value);
}

uint64_t address(const void *p) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}

uint8_t lowByte(uint64_t x) {
    return static_cast<uint8_t>(x);
}

uint8_t byte1(uint64_t x) {
    return static_cast<uint8_t>(x >> 8);
}

}  // namespace

namespace osa_core {

uint64_t randomCounter() {
    return passCounter.load(std::memory_order_relaxed);
}

uint64_t randomMixingState() {
    return mixingState.load(std::memory_order_relaxed);
}

void setRandomDevicePath(const char *path) {
    devicePath.store(path != nullptr ? path : kRandomDevice, std::memory_order_relaxed);
}

}  // namespace osa_core

int32_t OSA_GetRandom(void *buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) {
        return OSA_OK;
    }
    auto *out = static_cast<uint8_t *>(buffer);

    // One read of the device.  Its results are deliberately not checked: a
    // device that cannot be read leaves the buffer as it was, and the mixing
    // below still makes it vary.
    const int fd = open(devicePath.load(std::memory_order_relaxed), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const ssize_t got = read(fd, out, size);
        static_cast<void>(got);
        close(fd);
    }

    // Scratch data of this call, filled by the C library as the steps run;
    // zeroed first so that every word folded in has been set.
    struct timeval tv = {};
    struct tms tm = {};
    struct rusage ru = {};
    uint64_t x = 0;
    uint64_t ticks = 0;
    // Positions are 64-bit so that position + step cannot wrap near 2^32.
    const uint64_t end = size;

    for (uint64_t pos = 0; pos < end; pos += kPassLength) {
        uint64_t h = 0;
        for (uint64_t k = 0; k < kPassLength; ++k) {
            // The first position that reaches the end finishes the call.
            if (pos + k >= end) {
                return OSA_OK;
            }
            uint8_t mix = 0;
            switch (k) {
                case 0: {
                    gettimeofday(&tv, nullptr);
                    ticks = toWord(times(&tm));
                    x = (toWord(tv.tv_usec) ^ x) | (ticks ^ ~x);
                    mix = lowByte(x);
                    break;
                }
                case 1:
                case 6:
                case 8:
                case 12:
                    mix = byte1(x);
                    break;
                case 2: {
                    getrusage(RUSAGE_SELF, &ru);
                    x = (x ^ toWord(ru.ru_minflt)) | (~x ^ toWord(ru.ru_majflt));
                    mix = lowByte(x);
                    break;
                }
                case 3: {
                    const uint64_t thread = toWord(pthread_self());
                    const uint64_t pid = toWord(static_cast<int64_t>(getpid()));
                    x = (thread ^ x) | (~x ^ pid);
                    mix = lowByte(x);
                    break;
                }
                case 4: {
                    ticks = toWord(times(&tm));
                    const uint64_t ppid = toWord(static_cast<int64_t>(getppid()));
                    x = (ppid ^ x) | (~x ^ ticks);
                    mix = lowByte(((x >> 16) + (x >> 24)) | ((x >> 8) ^ x));
                    break;
                }
                case 5: {
                    // The tms record was just filled by step 4.
                    const uint64_t w = (x ^ toWord(tm.tms_stime)) | (~x ^ toWord(tm.tms_utime));
                    x = (w ^ kK) | (toWord(clock()) ^ ~w);
                    mix = lowByte(x);
                    break;
                }
                case 7: {
                    gettimeofday(&tv, nullptr);
                    x = (x ^ toWord(tv.tv_sec)) | (~x ^ toWord(tv.tv_usec));
                    mix = lowByte(x);
                    break;
                }
                case 9: {
                    sleep(0);
                    const uint64_t words[17] = {
                        address(&pos),
                        x,
                        toWord(tv.tv_sec),
                        toWord(tv.tv_usec),
                        toWord(tm.tms_utime),
                        toWord(tm.tms_stime),
                        toWord(tm.tms_cutime),
                        toWord(tm.tms_cstime),
                        toWord(ru.ru_utime.tv_sec),
                        toWord(ru.ru_utime.tv_usec),
                        toWord(ru.ru_stime.tv_sec),
                        toWord(ru.ru_stime.tv_usec),
                        toWord(ru.ru_maxrss),
                        toWord(ru.ru_ixrss),
                        toWord(ru.ru_idrss),
                        toWord(ru.ru_isrss),
                        toWord(ru.ru_minflt),
                    };
                    h = x;
                    for (uint64_t w : words) {
                        h = fold(h, w);
                    }
                    x = h;
                    mix = lowByte(x);
                    break;
                }
                case 10: {
                    // Sixteen more words of this call's own scratch memory:
                    // where the records live, where the output goes and how
                    // far it has got, and the rest of the resource usage.
                    const uint64_t words[16] = {
                        address(&tv),
                        address(&tm),
                        address(&ru),
                        address(out),
                        pos,
                        end,
                        ticks,
                        toWord(ru.ru_majflt),
                        toWord(ru.ru_nswap),
                        toWord(ru.ru_inblock),
                        toWord(ru.ru_oublock),
                        toWord(ru.ru_msgsnd),
                        toWord(ru.ru_msgrcv),
                        toWord(ru.ru_nsignals),
                        toWord(ru.ru_nvcsw),
                        toWord(ru.ru_nivcsw),
                    };
                    for (uint64_t w : words) {
                        h = fold(h, w);
                    }
                    const uint64_t self = reinterpret_cast<uintptr_t>(&OSA_GetRandom);
                    const uint64_t g = (~h ^ self) | (h ^ address(&pos));
                    const uint64_t counter =
                        passCounter.fetch_add(1, std::memory_order_relaxed) + 1;
                    x = (counter ^ g) | (g ^ kNotK);
                    mix = lowByte(x);
                    break;
                }
                case 11: {
                    uint64_t state = mixingState.load(std::memory_order_relaxed);
                    state = ((state ^ x) | (x ^ kNotK) | 1) * kM;
                    mixingState.store(state, std::memory_order_relaxed);
                    x = (~x ^ state) | (x ^ toWord(clock()));
                    mix = lowByte(x);
                    break;
                }
                default:
                    break;
            }
            out[pos + k] ^= mix;
        }
    }
    return OSA_OK;
}
