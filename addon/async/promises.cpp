// kavoPromises.node: the package's Promise companion of kavoInterface.node.
//
// It holds no request logic of its own.  bind() finds the add-on's exported
// request phases in the copy of kavoInterface.node that the process has
// already loaded; start() reads a request's arguments on the JavaScript
// thread with the add-on's own argument phase, runs the add-on's request
// core on a thread of the libuv pool as Node-API async work, and makes the
// result on the JavaScript thread with the add-on's own result phase.  The
// Promise path therefore makes the same Node-API calls and writes the same
// system-log lines as the synchronous functions.  A failure is handed to
// JavaScript with the request record of the thread that failed: the lines
// it logged, the failing step and the library's status, from which its
// error code is derived.
//
// Credential requests are serialised by the module's request lock, so they
// never wait for it on the pool: at most one pool thread, process-wide, runs
// credential requests (the slot holder, a "runner"), and takes the waiting
// ones of every thread in order, each delivered to its own thread through
// that thread's thread-safe function.  The application's own file, crypto
// and DNS work on the pool never waits behind them.
//
// Needs nothing but the C library: dlopen and dlsym are part of it, and the
// Node-API functions come from the host process.
#include <dlfcn.h>
#include <node_api.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "addon/request.h"
#include "platform/credstore/kavocredstore.h"
#include "platform/tamo/tamolib.h"

extern "C" {
__attribute__((visibility("default"))) int32_t node_api_module_get_api_version_v1(void);
__attribute__((visibility("default"))) napi_value napi_register_module_v1(napi_env env,
                                                                          napi_value exports);
}

namespace {

// The order is the `kind` argument of start(), shared with promises.js.
enum Kind : int32_t {
    kSetCredentials = 0,
    kGetCredentials = 1,
    kSevList = 2,
    kSidFromName = 3,
    kKinds = 4
};

// The add-on's three phases of one request type.
template <typename Request>
struct Phases {
    int32_t (*read)(napi_env, const napi_value *, Request *);
    int32_t (*core)(Request *);
    napi_value (*make)(napi_env, Request *);
};

struct Bound {
    Phases<KavoSetCredentials> set;
    Phases<KavoGetCredentials> get;
    Phases<KavoSevList> sev;
    Phases<KavoSidFromName> sid;
    int32_t (*record)(KavoRequestRecord *);
};

// Bound once per process, whatever the number of threads that load the
// companion; read-only afterwards.
pthread_mutex_t bindLock = PTHREAD_MUTEX_INITIALIZER;
bool bound = false;
Bound addon;

struct Request;

// One companion instance per JavaScript thread (main or worker).  `wake`
// brings a credential request back to its own thread: one run by another
// thread's runner, to deliver its result, or one handed the slot, to be
// queued as the next runner.  A runner of another thread may still hold
// one of its requests after its environment is gone, so it is counted: one
// reference for `wake` (dropped when it is finalised) and one per request
// (dropped when the request is released); the last one frees it.
struct Environment {
    napi_threadsafe_function wake;
    int32_t references;  // atomic
    int32_t waiting;     // this thread's credential requests not yet back; only this thread
    bool closing;        // guarded by slotLock
    // Requests run by a runner, in order, waiting to be delivered here; one
    // call of `wake` (with no data) delivers all of them.  Guarded by slotLock.
    Request *doneHead;
    Request *doneTail;
    bool doneScheduled;
};

void dropEnvironment(Environment *owner) {
    if (__atomic_sub_fetch(&owner->references, 1, __ATOMIC_ACQ_REL) == 0) {
        free(owner);
    }
}

// The credential slot and the waiting list, process-wide.
pthread_mutex_t slotLock = PTHREAD_MUTEX_INITIALIZER;
bool slotBusy = false;
Request *waitingHead = nullptr;
Request *waitingTail = nullptr;

// A runner takes at most this many waiting requests before it hands the
// slot on, so that its own thread gets its result and may end.
constexpr int kRunnerBatch = 64;

// Where a credential request is, guarded by slotLock.  Directory requests
// stay kQueued.
enum State : int32_t {
    kQueued = 0,   // queued on the pool as a runner, not started
    kWaiting = 1,  // in the waiting list
    kHanded = 2,   // handed the slot, on its way to its thread to be queued
    kRunning = 3,  // its core runs (or has run) on a runner
    kDone = 4,     // run by another request's runner, on its way back
};

struct Request {
    Kind kind;
    Environment *owner;
    Request *next;  // in the waiting list
    State state;
    bool cancelRequested;  // guarded by slotLock: aborted before it ran
    bool cancelled;        // it did not run because it was aborted
    napi_async_work work;
    napi_ref callback;
    bool failed;
    KavoRequestRecord *record;  // the pool thread's record of a failed core
    union {
        KavoSetCredentials set;
        KavoGetCredentials get;
        KavoSevList sev;
        KavoSidFromName sid;
    } data;
};

bool isCredential(Kind kind) {
    return kind == kSetCredentials || kind == kGetCredentials;
}

template <typename Function>
bool lookUp(void *handle, const char *name, Function *function) {
    *function = reinterpret_cast<Function>(dlsym(handle, name));
    return *function != nullptr;
}

// The error code a failed request rejects with, from its failing step and
// the library's status.  The directory library reports an unknown user with
// TAMO_ERR_NOT_FOUND; every other directory status is a platform failure.
const char *codeOf(const KavoRequestRecord *record) {
    if (record == nullptr) {
        return "ERR_KAVO_PLATFORM";
    }
    switch (record->step) {
        case KAVO_STEP_ARGUMENT_TYPE:
            return "ERR_INVALID_ARG_TYPE";
        case KAVO_STEP_ARGUMENT_NUL:
            return "ERR_INVALID_ARG_VALUE";
        case KAVO_STEP_ARGUMENT_TOO_LONG:
            return "ERR_KAVO_TOO_LONG";
        case KAVO_STEP_STORE:
            return record->hasStatus && record->status == CREDSTORE_ERR_NOT_FOUND
                       ? "ERR_KAVO_NOT_FOUND"
                       : "ERR_KAVO_PLATFORM";
        case KAVO_STEP_DIRECTORY_USER:
            return record->hasStatus && record->status == TAMO_ERR_NOT_FOUND ? "ERR_KAVO_NOT_FOUND"
                                                                             : "ERR_KAVO_PLATFORM";
        case KAVO_STEP_SEV_EMPTY:
            return "ERR_KAVO_NOT_FOUND";
        case KAVO_STEP_USER_TYPE:
            return "ERR_KAVO_UNSUPPORTED";
        default:
            return "ERR_KAVO_PLATFORM";
    }
}

// { code, step, status, lines } for JavaScript, or null if it cannot be made.
napi_value failureOf(napi_env env, const KavoRequestRecord *record) {
    napi_value failure = nullptr;
    napi_value value = nullptr;
    napi_value lines = nullptr;
    if (napi_create_object(env, &failure) != napi_ok ||
        napi_create_string_utf8(env, codeOf(record), NAPI_AUTO_LENGTH, &value) != napi_ok ||
        napi_set_named_property(env, failure, "code", value) != napi_ok ||
        napi_create_array(env, &lines) != napi_ok ||
        napi_set_named_property(env, failure, "lines", lines) != napi_ok) {
        return nullptr;
    }
    if (record == nullptr) {
        return failure;
    }
    if (napi_create_int32(env, record->step, &value) != napi_ok ||
        napi_set_named_property(env, failure, "step", value) != napi_ok) {
        return nullptr;
    }
    if (record->hasStatus && (napi_create_int32(env, record->status, &value) != napi_ok ||
                              napi_set_named_property(env, failure, "status", value) != napi_ok)) {
        return nullptr;
    }
    for (int32_t i = 0; i < record->lineCount && i < KAVO_RECORD_LINES; ++i) {
        const char *line = record->lines[i];
        if (napi_create_string_utf8(env, line, strnlen(line, KAVO_RECORD_LINE_SIZE), &value) !=
                napi_ok ||
            napi_set_element(env, lines, static_cast<uint32_t>(i), value) != napi_ok) {
            return nullptr;
        }
    }
    return failure;
}

// The failure of a phase that ran on this (the JavaScript) thread.
napi_value failureOfThisThread(napi_env env) {
    KavoRequestRecord *record = static_cast<KavoRequestRecord *>(malloc(sizeof(KavoRequestRecord)));
    if (record != nullptr && addon.record(record) != 0) {
        free(record);
        record = nullptr;
    }
    napi_value failure = failureOf(env, record);
    free(record);
    return failure;
}

void release(Request *request) {
    if (request->kind == kSevList) {
        free(request->data.sev.dns);
    }
    free(request->record);
    if (request->owner != nullptr) {
        dropEnvironment(request->owner);
    }
    // The request may have held a password in either direction.
    explicit_bzero(&request->data, sizeof request->data);
    free(request);
}

// The request's napi handles died with its environment; only its memory is
// left to release.
void releaseOrphan(Request *request) {
    release(request);
}

Request *popWaiting() {
    Request *next = waitingHead;
    if (next != nullptr) {
        waitingHead = next->next;
        if (waitingHead == nullptr) {
            waitingTail = nullptr;
        }
        next->next = nullptr;
    }
    return next;
}

// Sends a request back to its own thread; under slotLock, so that an
// environment's clean-up (which closes `wake` under the same lock) can never
// close it between the check and the call.  False when its thread is gone.
bool sendHomeLocked(Request *request) {
    return !request->owner->closing &&
           napi_call_threadsafe_function(request->owner->wake, request, napi_tsfn_nonblocking) ==
               napi_ok;
}

// Queues a request run by a runner for delivery on its own thread; the
// first one of a batch wakes that thread.  Under slotLock.
void sendDoneLocked(Request *request) {
    Environment *owner = request->owner;
    if (owner->closing) {
        releaseOrphan(request);
        return;
    }
    if (owner->doneTail != nullptr) {
        owner->doneTail->next = request;
    } else {
        owner->doneHead = request;
    }
    owner->doneTail = request;
    if (!owner->doneScheduled &&
        napi_call_threadsafe_function(owner->wake, nullptr, napi_tsfn_nonblocking) == napi_ok) {
        owner->doneScheduled = true;
    }
}

// Hands the slot to the first waiting request (through its own thread,
// which queues it as the next runner), or frees the slot.  Any thread.
void passSlot() {
    (void)pthread_mutex_lock(&slotLock);
    for (;;) {
        Request *next = popWaiting();
        if (next == nullptr) {
            slotBusy = false;
            break;
        }
        next->state = kHanded;
        if (sendHomeLocked(next)) {
            break;
        }
        releaseOrphan(next);
    }
    (void)pthread_mutex_unlock(&slotLock);
}

// On a pool thread.
void runCore(Request *request) {
    int32_t status;
    switch (request->kind) {
        case kSetCredentials:
            status = addon.set.core(&request->data.set);
            explicit_bzero(request->data.set.password, sizeof request->data.set.password);
            break;
        case kGetCredentials:
            status = addon.get.core(&request->data.get);
            break;
        case kSevList:
            status = addon.sev.core(&request->data.sev);
            break;
        default:
            status = addon.sid.core(&request->data.sid);
            break;
    }
    if (status != 0) {
        request->failed = true;
        request->record = static_cast<KavoRequestRecord *>(malloc(sizeof(KavoRequestRecord)));
        if (request->record != nullptr && addon.record(request->record) != 0) {
            free(request->record);
            request->record = nullptr;
        }
    }
}

// Runs a credential request's core unless it was aborted first.
void runCredential(Request *request) {
    (void)pthread_mutex_lock(&slotLock);
    request->cancelled = request->cancelRequested;
    request->state = kRunning;
    (void)pthread_mutex_unlock(&slotLock);
    if (!request->cancelled) {
        runCore(request);
    }
}

// On a pool thread.  A credential request holds the slot: it runs its own
// core, then the waiting ones of every thread, in order, sending each home
// with its result, until none waits (the slot is freed) or a batch is done
// or its own thread is going away (the slot is handed on).
void execute(napi_env /*env*/, void *data) {
    auto *request = static_cast<Request *>(data);
    if (!isCredential(request->kind)) {
        runCore(request);
        return;
    }
    runCredential(request);
    for (int taken = 0; taken < kRunnerBatch; ++taken) {
        (void)pthread_mutex_lock(&slotLock);
        Request *next = request->owner->closing ? nullptr : popWaiting();
        if (next == nullptr && !request->owner->closing) {
            slotBusy = false;
            (void)pthread_mutex_unlock(&slotLock);
            return;
        }
        (void)pthread_mutex_unlock(&slotLock);
        if (next == nullptr) {
            break;
        }
        runCredential(next);
        (void)pthread_mutex_lock(&slotLock);
        next->state = kDone;
        sendDoneLocked(next);
        (void)pthread_mutex_unlock(&slotLock);
    }
    passSlot();
}

napi_value makeResult(napi_env env, Request *request) {
    switch (request->kind) {
        case kSetCredentials:
            return addon.set.make(env, &request->data.set);
        case kGetCredentials:
            return addon.get.make(env, &request->data.get);
        case kSevList:
            return addon.sev.make(env, &request->data.sev);
        default:
            return addon.sid.make(env, &request->data.sid);
    }
}

// On the JavaScript thread: callback(failure, value, cancelled), then the
// request is released.  Runs also while a worker's environment is torn down,
// when JavaScript can no longer be called; the request is released either
// way.
void deliver(napi_env env, Request *request, bool cancelled) {
    napi_value callback = nullptr;
    napi_value undefined = nullptr;
    if (napi_get_reference_value(env, request->callback, &callback) == napi_ok &&
        callback != nullptr && napi_get_undefined(env, &undefined) == napi_ok) {
        napi_value argv[3] = {undefined, undefined, undefined};
        if (cancelled) {
            (void)napi_get_boolean(env, true, &argv[2]);
        } else if (request->failed) {
            argv[0] = failureOf(env, request->record);
        } else {
            napi_value value = makeResult(env, request);
            if (value != nullptr) {
                argv[1] = value;
            } else {
                argv[0] = failureOfThisThread(env);
            }
        }
        if (argv[0] == nullptr) {
            argv[0] = undefined;
        }
        (void)napi_call_function(env, undefined, callback, 3, argv, nullptr);
    }
    (void)napi_delete_reference(env, request->callback);
    if (request->work != nullptr) {
        (void)napi_delete_async_work(env, request->work);
    }
    release(request);
}

void complete(napi_env env, napi_status status, void *data) {
    auto *request = static_cast<Request *>(data);
    deliver(env, request, status == napi_cancelled || request->cancelled);
}

bool queueWork(napi_env env, Request *request);

void leaveWaiting(napi_env env, Environment *owner) {
    if (--owner->waiting == 0) {
        (void)napi_unref_threadsafe_function(env, owner->wake);
    }
}

// On the owner's thread, with no data: the requests that runners ran for
// this thread are delivered, in order.  With a request: one handed the
// slot, queued here as the next runner.  env is null when `wake` is torn
// down with calls still in its queue: their requests are only released.
void wakeCall(napi_env env, napi_value /*function*/, void *context, void *data) {
    if (data == nullptr) {
        auto *owner = static_cast<Environment *>(context);
        (void)pthread_mutex_lock(&slotLock);
        Request *done = owner->doneHead;
        owner->doneHead = nullptr;
        owner->doneTail = nullptr;
        owner->doneScheduled = false;
        (void)pthread_mutex_unlock(&slotLock);
        while (done != nullptr) {
            Request *request = done;
            done = done->next;
            if (env == nullptr) {
                releaseOrphan(request);
            } else {
                leaveWaiting(env, owner);
                deliver(env, request, request->cancelled);
            }
        }
        return;
    }
    auto *request = static_cast<Request *>(data);
    (void)pthread_mutex_lock(&slotLock);
    const State state = request->state;
    (void)pthread_mutex_unlock(&slotLock);
    if (env == nullptr) {
        releaseOrphan(request);
        if (state == kHanded) {
            passSlot();
        }
        return;
    }
    leaveWaiting(env, request->owner);
    (void)pthread_mutex_lock(&slotLock);
    request->state = kQueued;
    (void)pthread_mutex_unlock(&slotLock);
    if (!queueWork(env, request)) {
        deliver(env, request, true);
        passSlot();
    }
}

// The request's async work, made only when it is queued on the pool: a
// credential request run by another request's runner needs none.
bool queueWork(napi_env env, Request *request) {
    static const char *const names[kKinds] = {"kavo:arb_set_credentials",
                                              "kavo:arb_get_credentials", "kavo:get_sev_list",
                                              "kavo:get_sid_from_name"};
    napi_value name = nullptr;
    if (napi_create_string_utf8(env, names[request->kind], NAPI_AUTO_LENGTH, &name) != napi_ok ||
        napi_create_async_work(env, nullptr, name, execute, complete, request, &request->work) !=
            napi_ok) {
        request->work = nullptr;
        return false;
    }
    return napi_queue_async_work(env, request->work) == napi_ok;
}

// At the environment's teardown: its waiting requests are dropped, and
// `wake` is closed under slotLock (see sendHomeLocked).
void environmentCleanup(void *data) {
    auto *owner = static_cast<Environment *>(data);
    (void)pthread_mutex_lock(&slotLock);
    owner->closing = true;
    Request **link = &waitingHead;
    waitingTail = nullptr;
    while (*link != nullptr) {
        Request *request = *link;
        if (request->owner == owner) {
            *link = request->next;
            releaseOrphan(request);
        } else {
            waitingTail = request;
            link = &request->next;
        }
    }
    // Delivered results still queued in `wake` come back with a null env
    // once it is closed, and are released there.
    if (!owner->doneScheduled) {
        while (owner->doneHead != nullptr) {
            Request *request = owner->doneHead;
            owner->doneHead = request->next;
            releaseOrphan(request);
        }
        owner->doneTail = nullptr;
    }
    (void)napi_release_threadsafe_function(owner->wake, napi_tsfn_abort);
    (void)pthread_mutex_unlock(&slotLock);
}

void wakeFinalize(napi_env /*env*/, void *data, void * /*hint*/) {
    dropEnvironment(static_cast<Environment *>(data));
}

int32_t readArguments(napi_env env, Request *request, const napi_value *argv) {
    switch (request->kind) {
        case kSetCredentials:
            return addon.set.read(env, argv, &request->data.set);
        case kGetCredentials:
            return addon.get.read(env, argv, &request->data.get);
        case kSevList:
            return addon.sev.read(env, argv, &request->data.sev);
        default:
            return addon.sid.read(env, argv, &request->data.sid);
    }
}

void throwError(napi_env env, const char *code, const char *message) {
    (void)napi_throw_error(env, code, message);
}

// bind(path): finds the phases in the already loaded kavoInterface.node at
// `path`.  RTLD_NOLOAD: the companion never loads a second copy.
napi_value bind(napi_env env, napi_callback_info info) {
    size_t argc = 1;
    napi_value argv[1] = {};
    char path[4096] = {};
    size_t length = 0;
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok ||
        napi_get_value_string_utf8(env, argv[0], path, sizeof path, &length) != napi_ok ||
        length >= sizeof path - 1) {
        throwError(env, "ERR_INVALID_ARG_TYPE", "bind() needs the path of kavoInterface.node");
        return nullptr;
    }
    (void)pthread_mutex_lock(&bindLock);
    bool ok = bound;
    if (!ok) {
        void *handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        Bound found = {};
        ok = handle != nullptr && lookUp(handle, "ReadSetCredentialsArguments", &found.set.read) &&
             lookUp(handle, "SetCredentialsCore", &found.set.core) &&
             lookUp(handle, "MakeSetCredentialsResult", &found.set.make) &&
             lookUp(handle, "ReadGetCredentialsArguments", &found.get.read) &&
             lookUp(handle, "GetCredentialsCore", &found.get.core) &&
             lookUp(handle, "MakeGetCredentialsResult", &found.get.make) &&
             lookUp(handle, "ReadSevListArguments", &found.sev.read) &&
             lookUp(handle, "GetSevListCore", &found.sev.core) &&
             lookUp(handle, "MakeSevListResult", &found.sev.make) &&
             lookUp(handle, "ReadSidFromNameArguments", &found.sid.read) &&
             lookUp(handle, "GetSidFromNameCore", &found.sid.core) &&
             lookUp(handle, "MakeSidFromNameResult", &found.sid.make) &&
             lookUp(handle, "GetRequestRecord", &found.record);
        // The handle is kept: the add-on stays loaded for the life of the
        // process anyway, and the bound functions live in it.
        if (ok) {
            addon = found;
            __atomic_store_n(&bound, true, __ATOMIC_RELEASE);
        } else if (handle != nullptr) {
            (void)dlclose(handle);
        }
    }
    (void)pthread_mutex_unlock(&bindLock);
    if (!ok) {
        throwError(env, "ERR_KAVO_PLATFORM",
                   "kavoInterface.node is not loaded or lacks its request phases");
    }
    return nullptr;
}

// start(kind, a, b, c, callback): reads the arguments now; on success
// queues the request (or, for a credential request while another holds the
// slot, lists it as waiting) and returns a token for cancel(), else returns
// the failure ({ code, step, status, lines }) and queues nothing.
napi_value start(napi_env env, napi_callback_info info) {
    size_t argc = 5;
    napi_value argv[5] = {};
    int32_t kind = -1;
    napi_valuetype callbackType = napi_undefined;
    if (!__atomic_load_n(&bound, __ATOMIC_ACQUIRE) ||
        napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok ||
        napi_get_value_int32(env, argv[0], &kind) != napi_ok || kind < 0 || kind >= kKinds ||
        napi_typeof(env, argv[4], &callbackType) != napi_ok || callbackType != napi_function) {
        throwError(env, "ERR_INVALID_ARG_VALUE", "start(kind, a, b, c, callback) after bind()");
        return nullptr;
    }
    auto *request = static_cast<Request *>(calloc(1, sizeof(Request)));
    if (request == nullptr) {
        throwError(env, "ERR_KAVO_PLATFORM", "out of memory");
        return nullptr;
    }
    request->kind = static_cast<Kind>(kind);
    Environment *owner = nullptr;
    if (napi_get_instance_data(env, reinterpret_cast<void **>(&owner)) != napi_ok ||
        owner == nullptr) {
        release(request);
        throwError(env, "ERR_KAVO_PLATFORM", "the companion module is not set up on this thread");
        return nullptr;
    }
    __atomic_add_fetch(&owner->references, 1, __ATOMIC_RELAXED);
    request->owner = owner;
    if (readArguments(env, request, argv + 1) != 0) {
        release(request);
        return failureOfThisThread(env);
    }
    napi_value token = nullptr;
    if (napi_create_reference(env, argv[4], 1, &request->callback) != napi_ok ||
        napi_create_external(env, request, nullptr, nullptr, &token) != napi_ok) {
        if (request->callback != nullptr) {
            (void)napi_delete_reference(env, request->callback);
        }
        release(request);
        throwError(env, "ERR_KAVO_PLATFORM", "cannot set up the request");
        return nullptr;
    }
    bool queueNow = true;
    if (isCredential(request->kind)) {
        (void)pthread_mutex_lock(&slotLock);
        if (slotBusy) {
            request->state = kWaiting;
            if (waitingTail != nullptr) {
                waitingTail->next = request;
            } else {
                waitingHead = request;
            }
            waitingTail = request;
            queueNow = false;
        } else {
            slotBusy = true;
        }
        (void)pthread_mutex_unlock(&slotLock);
        // While this thread has requests waiting, its loop stays alive.
        if (!queueNow && request->owner->waiting++ == 0) {
            (void)napi_ref_threadsafe_function(env, request->owner->wake);
        }
    }
    if (queueNow && !queueWork(env, request)) {
        if (request->work != nullptr) {
            (void)napi_delete_async_work(env, request->work);
        }
        (void)napi_delete_reference(env, request->callback);
        release(request);
        if (isCredential(static_cast<Kind>(kind))) {
            passSlot();
        }
        throwError(env, "ERR_KAVO_PLATFORM", "cannot queue the request");
        return nullptr;
    }
    return token;
}

// cancel(token): true when the request had not started and never will; its
// callback then runs with cancelled set (at once for a request still in the
// waiting list).  Only for a request whose callback has not run yet.
napi_value cancel(napi_env env, napi_callback_info info) {
    size_t argc = 1;
    napi_value argv[1] = {};
    void *data = nullptr;
    napi_value result = nullptr;
    bool cancelled = false;
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) == napi_ok &&
        napi_get_value_external(env, argv[0], &data) == napi_ok && data != nullptr) {
        auto *request = static_cast<Request *>(data);
        if (!isCredential(request->kind)) {
            cancelled = napi_cancel_async_work(env, request->work) == napi_ok;
        } else {
            bool unlisted = false;
            (void)pthread_mutex_lock(&slotLock);
            if (request->state == kWaiting) {
                Request **link = &waitingHead;
                Request *previous = nullptr;
                while (*link != request) {
                    previous = *link;
                    link = &(*link)->next;
                }
                *link = request->next;
                if (waitingTail == request) {
                    waitingTail = previous;
                }
                unlisted = true;
            } else if (request->state == kQueued || request->state == kHanded) {
                // Not started: it skips its core when its turn comes.
                request->cancelRequested = true;
                cancelled = true;
            }
            (void)pthread_mutex_unlock(&slotLock);
            if (unlisted) {
                leaveWaiting(env, request->owner);
                deliver(env, request, true);
                cancelled = true;
            }
        }
    }
    (void)napi_get_boolean(env, cancelled, &result);
    return result;
}

}  // namespace

int32_t node_api_module_get_api_version_v1(void) {
    return 8;
}

napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    napi_property_descriptor table[3] = {
        {"bind", nullptr, bind, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"start", nullptr, start, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"cancel", nullptr, cancel, nullptr, nullptr, nullptr, napi_default, nullptr},
    };
    (void)napi_define_properties(env, exports, 3, table);

    // This thread's wake-up for credential requests, unreferenced until one
    // of them waits.
    auto *owner = static_cast<Environment *>(calloc(1, sizeof(Environment)));
    napi_value name = nullptr;
    if (owner != nullptr) {
        owner->references = 1;
    }
    if (owner == nullptr ||
        napi_create_string_utf8(env, "kavo:credential-slot", NAPI_AUTO_LENGTH, &name) != napi_ok ||
        napi_create_threadsafe_function(env, nullptr, nullptr, name, 0, 1, owner, wakeFinalize,
                                        owner, wakeCall, &owner->wake) != napi_ok) {
        free(owner);
        (void)napi_throw_error(env, "ERR_KAVO_PLATFORM", "cannot set up the companion module");
        return nullptr;
    }
    (void)napi_unref_threadsafe_function(env, owner->wake);
    if (napi_set_instance_data(env, owner, nullptr, nullptr) != napi_ok ||
        napi_add_env_cleanup_hook(env, environmentCleanup, owner) != napi_ok) {
        (void)napi_throw_error(env, "ERR_KAVO_PLATFORM", "cannot set up the companion module");
        return nullptr;
    }
    return exports;
}
