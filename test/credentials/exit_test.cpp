// The protection layer's exit handler with a credential request running on
// another thread: it waits for the request in flight, closes the session,
// and no request after it opens the session again.  The real add-on, loaded
// with dlopen inside a platform sandbox (KAVO_ADDON_PATH).
//
// A thread stores credentials in a loop while the main thread calls exit().
// This program's own exit handler is registered before the add-on is
// loaded, so it runs after the add-on's: it watches the storing thread for
// a while and ends the process with 0 only if no store succeeded and the
// session stayed closed once the add-on's handler had run.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace {

std::atomic<long> stored{0};
std::atomic<long> refused{0};
int32_t *pexInitialized = nullptr;

void sleepMs(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

void afterTheAddonsHandler() {
    const long before = stored.load();
    sleepMs(200);
    const long after = stored.load();
    // One store may have returned between the add-on's handler releasing
    // the lock and this line.
    const bool ok = after - before <= 1 && *pexInitialized == 0 && refused.load() > 0;
    printf("stores while exiting: %ld, refused: %ld, session open: %d -> %s\n", after - before,
           refused.load(), *pexInitialized, ok ? "ok" : "FAILED");
    fflush(stdout);
    _exit(ok ? 0 : 1);
}

}  // namespace

int main() {
    atexit(afterTheAddonsHandler);
    const char *path = getenv("KAVO_ADDON_PATH");
    void *addon = path != nullptr ? dlopen(path, RTLD_LAZY | RTLD_LOCAL) : nullptr;
    if (addon == nullptr) {
        fprintf(stderr, "cannot load the add-on: %s\n",
                path != nullptr ? dlerror() : "KAVO_ADDON_PATH unset");
        _exit(2);
    }
    auto setCreds = reinterpret_cast<int32_t (*)(const char *, const char *, const char *)>(
        dlsym(addon, "set_creds_in_arb"));
    pexInitialized = static_cast<int32_t *>(dlsym(addon, "pexInitialized"));
    if (setCreds == nullptr || pexInitialized == nullptr) {
        fprintf(stderr, "the add-on lacks set_creds_in_arb or pexInitialized\n");
        _exit(2);
    }
    std::thread([setCreds] {
        for (;;) {
            if (setCreds("exit-svc", "alice", "pw") == 0) {
                ++stored;
            } else {
                ++refused;
            }
        }
    }).detach();
    while (stored.load() < 20) {
        sleepMs(1);
    }
    exit(0);
}
