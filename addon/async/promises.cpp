// kavoPromises.node: the package's Promise companion of kavoInterface.node.
//
// It holds no request logic of its own.  start() reads a request's
// arguments on the JavaScript thread with the add-on's own argument phase,
// runs the add-on's request core on a thread of the companion (queue.h),
// and makes the result back on the JavaScript thread with the add-on's own
// result phase, so a Promise gives what the synchronous call gives and logs
// the same lines.  A failure goes to JavaScript with the request record of
// the thread that failed, from which its error code is derived; lastFailure()
// gives the strict API the same for a synchronous call.
//
// Lifetimes.  A request is referenced by its journey through the queue and
// by the token JavaScript holds for cancel(); the last of the two frees it,
// so a cancel() that comes late finds it settled and does nothing.  An
// Environment (one per JavaScript thread that loaded the companion) is
// referenced by itself until its thread-safe function is finalised, and by
// each of its requests.
//
// Needs nothing but the C library: dlopen and dlsym are part of it, and the
// Node-API functions come from the host process.
#include <node_api.h>
#include <stdlib.h>
#include <string.h>

#include "addon/async/binding.h"
#include "platform/credstore/kavocredstore.h"
#include "platform/tamo/tamolib.h"

extern "C" {
__attribute__((visibility("default"))) int32_t node_api_module_get_api_version_v1(void);
__attribute__((visibility("default"))) napi_value napi_register_module_v1(napi_env env,
                                                                          napi_value exports);
}

namespace {

// How long a torn-down environment waits for a request of its own that is
// running: the bound of the module's exit handler.
constexpr int32_t kTeardownWaitMs = 10000;

struct Environment {
    JobOwner jobs; /* guarded by the queue lock */
    napi_env env;
    napi_threadsafe_function home; /* brings finished requests back */
    uint32_t pending;              /* unsettled requests; JavaScript thread only */
    int32_t references;            /* atomic */
};

struct Call {
    Request request; /* first: a Job* is the Call's address */
    Environment *owner;
    napi_ref callback;
    int32_t references; /* atomic */
};

int32_t environments; /* atomic: environments that loaded the companion */

void dropEnvironment(Environment *owner) {
    if (__atomic_sub_fetch(&owner->references, 1, __ATOMIC_ACQ_REL) == 0) {
        free(owner);
    }
}

void dropCall(Call *call) {
    if (__atomic_sub_fetch(&call->references, 1, __ATOMIC_ACQ_REL) == 0) {
        clearRequest(&call->request);
        dropEnvironment(call->owner);
        free(call);
    }
}

// The error code a failed request rejects with, from its failing step and
// the library's status.  The directory library reports an unknown user with
// TAMO_ERR_NOT_FOUND; every other directory status is a platform failure.
const char *codeOf(const KavoRequestRecord *record) {
    const int32_t status = record != nullptr && record->hasStatus ? record->status : 0;
    switch (record != nullptr ? record->step : KAVO_STEP_NONE) {
        case KAVO_STEP_ARGUMENT_TYPE:
            return "ERR_INVALID_ARG_TYPE";
        case KAVO_STEP_ARGUMENT_NUL:
            return "ERR_INVALID_ARG_VALUE";
        case KAVO_STEP_ARGUMENT_TOO_LONG:
            return "ERR_KAVO_TOO_LONG";
        case KAVO_STEP_STORE:
            return status == CREDSTORE_ERR_NOT_FOUND ? "ERR_KAVO_NOT_FOUND" : "ERR_KAVO_PLATFORM";
        case KAVO_STEP_DIRECTORY_USER:
            return status == TAMO_ERR_NOT_FOUND ? "ERR_KAVO_NOT_FOUND" : "ERR_KAVO_PLATFORM";
        case KAVO_STEP_SEV_EMPTY:
            return "ERR_KAVO_NOT_FOUND";
        case KAVO_STEP_USER_TYPE:
            return "ERR_KAVO_UNSUPPORTED";
        default:
            return "ERR_KAVO_PLATFORM";
    }
}

bool setString(napi_env env, napi_value object, const char *key, const char *text, size_t length) {
    napi_value value = nullptr;
    return napi_create_string_utf8(env, text, length, &value) == napi_ok &&
           napi_set_named_property(env, object, key, value) == napi_ok;
}

bool setInt(napi_env env, napi_value object, const char *key, int32_t number) {
    napi_value value = nullptr;
    return napi_create_int32(env, number, &value) == napi_ok &&
           napi_set_named_property(env, object, key, value) == napi_ok;
}

// { code, step, status, lines } for JavaScript, or null if it cannot be made.
napi_value failureOf(napi_env env, const KavoRequestRecord *record) {
    napi_value failure = nullptr;
    napi_value lines = nullptr;
    if (napi_create_object(env, &failure) != napi_ok ||
        !setString(env, failure, "code", codeOf(record), NAPI_AUTO_LENGTH) ||
        napi_create_array(env, &lines) != napi_ok ||
        napi_set_named_property(env, failure, "lines", lines) != napi_ok) {
        return nullptr;
    }
    if (record == nullptr) {
        return failure;
    }
    if (!setInt(env, failure, "step", record->step) ||
        (record->hasStatus && !setInt(env, failure, "status", record->status))) {
        return nullptr;
    }
    for (int32_t i = 0; i < record->lineCount && i < KAVO_RECORD_LINES; ++i) {
        napi_value line = nullptr;
        const char *text = record->lines[i];
        if (napi_create_string_utf8(env, text, strnlen(text, KAVO_RECORD_LINE_SIZE), &line) !=
                napi_ok ||
            napi_set_element(env, lines, static_cast<uint32_t>(i), line) != napi_ok) {
            return nullptr;
        }
    }
    return failure;
}

// The failure of a phase that ran on this (the JavaScript) thread: of a
// request whose arguments were refused, or of the synchronous call just made.
napi_value failureOfThisThread(napi_env env) {
    KavoRequestRecord *record = takeRecord();
    napi_value failure = failureOf(env, record);
    free(record);
    return failure;
}

// A request leaves the set that keeps its thread's loop alive.
void settle(Call *call) {
    Environment *owner = call->owner;
    if (--owner->pending == 0) {
        (void)napi_unref_threadsafe_function(owner->env, owner->home);
    }
    (void)napi_delete_reference(owner->env, call->callback);
}

// On the JavaScript thread: callback(failure, value), then the request is
// released.
void deliver(napi_env env, Call *call) {
    napi_value callback = nullptr;
    napi_value undefined = nullptr;
    if (napi_get_reference_value(env, call->callback, &callback) == napi_ok &&
        callback != nullptr && napi_get_undefined(env, &undefined) == napi_ok) {
        napi_value argv[2] = {undefined, undefined};
        napi_value value = call->request.failed ? nullptr : makeResult(env, &call->request);
        if (value != nullptr) {
            argv[1] = value;
        } else {
            argv[0] = call->request.failed ? failureOf(env, call->request.record)
                                           : failureOfThisThread(env);
            argv[0] = argv[0] != nullptr ? argv[0] : undefined;
        }
        (void)napi_call_function(env, undefined, callback, 2, argv, nullptr);
    }
    settle(call);
    dropCall(call);
}

// The thread-safe function's call: env is null when it is torn down with
// calls still queued, and their requests are only released.
void homeCall(napi_env env, napi_value /*function*/, void * /*context*/, void *data) {
    auto *call = static_cast<Call *>(data);
    if (env == nullptr) {
        dropCall(call);
    } else {
        deliver(env, call);
    }
}

void runJob(Job *job) {
    runCore(&reinterpret_cast<Call *>(job)->request);
}

// On a companion thread, under the queue lock, which the teardown of the
// environment also holds while it marks it closing: `home` is never called
// after it was released.
void finishJob(Job *job, bool wanted) {
    auto *call = reinterpret_cast<Call *>(job);
    if (!wanted ||
        napi_call_threadsafe_function(call->owner->home, call, napi_tsfn_nonblocking) != napi_ok) {
        dropCall(call);
    }
}

void tokenFinalize(napi_env /*env*/, void *data, void * /*hint*/) {
    dropCall(static_cast<Call *>(data));
}

// bind(path): finds the phases in the already loaded kavoInterface.node.
napi_value bind(napi_env env, napi_callback_info info) {
    size_t argc = 1;
    napi_value argv[1] = {};
    char path[4096] = {};
    size_t length = 0;
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok ||
        napi_get_value_string_utf8(env, argv[0], path, sizeof path, &length) != napi_ok ||
        length >= sizeof path - 1) {
        (void)napi_throw_error(env, "ERR_INVALID_ARG_TYPE",
                               "bind() needs the path of kavoInterface.node");
    } else if (!bindAddon(path)) {
        (void)napi_throw_error(env, "ERR_KAVO_PLATFORM",
                               "kavoInterface.node is not loaded or lacks its request phases");
    }
    return nullptr;
}

// lastFailure(): the failure of the synchronous call this thread made last,
// as start() reports one ({ code, step, status, lines }).  The strict API
// calls it right after a function of the add-on returned undefined.
napi_value lastFailure(napi_env env, napi_callback_info /*info*/) {
    if (!addonBound()) {
        (void)napi_throw_error(env, "ERR_INVALID_ARG_VALUE", "lastFailure() after bind()");
        return nullptr;
    }
    return failureOfThisThread(env);
}

// start(kind, a, b, c, callback): reads the arguments now; on success
// queues the request and returns its token for cancel(), else returns the
// failure ({ code, step, status, lines }) and queues nothing.
napi_value start(napi_env env, napi_callback_info info) {
    size_t argc = 5;
    napi_value argv[5] = {};
    int32_t kind = -1;
    napi_valuetype callbackType = napi_undefined;
    Environment *owner = nullptr;
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok ||
        napi_get_value_int32(env, argv[0], &kind) != napi_ok || kind < 0 || kind >= kKinds ||
        napi_typeof(env, argv[4], &callbackType) != napi_ok || callbackType != napi_function ||
        napi_get_instance_data(env, reinterpret_cast<void **>(&owner)) != napi_ok ||
        owner == nullptr || !addonBound()) {
        (void)napi_throw_error(env, "ERR_INVALID_ARG_VALUE",
                               "start(kind, a, b, c, callback) after bind()");
        return nullptr;
    }
    auto *call = static_cast<Call *>(calloc(1, sizeof(Call)));
    if (call == nullptr) {
        (void)napi_throw_error(env, "ERR_KAVO_PLATFORM", "out of memory");
        return nullptr;
    }
    call->request.kind = static_cast<Kind>(kind);
    call->request.job.owner = &owner->jobs;
    call->request.job.threads = kKindInfo[kind].threads;
    call->request.job.run = runJob;
    call->request.job.finish = finishJob;
    call->owner = owner;
    call->references = 1;
    __atomic_add_fetch(&owner->references, 1, __ATOMIC_RELAXED);
    if (readArguments(env, &call->request, argv + 1) != 0) {
        dropCall(call);
        return failureOfThisThread(env);
    }
    napi_value token = nullptr;
    if (napi_create_reference(env, argv[4], 1, &call->callback) != napi_ok ||
        napi_create_external(env, call, tokenFinalize, nullptr, &token) != napi_ok) {
        (void)napi_delete_reference(env, call->callback);
        dropCall(call);
        (void)napi_throw_error(env, "ERR_KAVO_PLATFORM", "cannot set up the request");
        return nullptr;
    }
    call->references = 2; /* the queue's and the token's */
    // While this thread has requests out, its loop stays alive.
    if (owner->pending++ == 0) {
        (void)napi_ref_threadsafe_function(env, owner->home);
    }
    if (!jobSubmit(&call->request.job)) {
        settle(call);
        dropCall(call);
        (void)napi_throw_error(env, "ERR_KAVO_PLATFORM", "cannot queue the request");
        return nullptr;
    }
    return token;
}

// cancel(token): true when the request was still queued; it is dropped
// and its callback never runs.  A request that runs or has settled is left
// alone (false).
napi_value cancel(napi_env env, napi_callback_info info) {
    size_t argc = 1;
    napi_value argv[1] = {};
    void *data = nullptr;
    bool cancelled = false;
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) == napi_ok &&
        napi_get_value_external(env, argv[0], &data) == napi_ok && data != nullptr) {
        auto *call = static_cast<Call *>(data);
        cancelled = jobCancel(&call->request.job);
        if (cancelled) {
            settle(call);
            dropCall(call);
        }
    }
    napi_value result = nullptr;
    (void)napi_get_boolean(env, cancelled, &result);
    return result;
}

// At the environment's teardown: its queued requests are dropped, one that
// runs is waited for (bounded), and `home` is released.  The last
// environment to go stops the companion's threads.
void environmentCleanup(void *data) {
    auto *owner = static_cast<Environment *>(data);
    for (Job *job = jobsCloseOwner(&owner->jobs, kTeardownWaitMs); job != nullptr;) {
        auto *call = reinterpret_cast<Call *>(job);
        job = job->next;
        (void)napi_delete_reference(owner->env, call->callback);
        dropCall(call);
    }
    (void)napi_release_threadsafe_function(owner->home, napi_tsfn_abort);
    if (__atomic_sub_fetch(&environments, 1, __ATOMIC_ACQ_REL) == 0) {
        jobsStop(kTeardownWaitMs, false);
    }
}

void homeFinalize(napi_env /*env*/, void *data, void * /*hint*/) {
    dropEnvironment(static_cast<Environment *>(data));
}

// requests: { <function name>: { kind, arity } } from the request table.
napi_value requestTable(napi_env env) {
    napi_value table = nullptr;
    if (napi_create_object(env, &table) != napi_ok) {
        return nullptr;
    }
    for (int32_t kind = 0; kind < kKinds; ++kind) {
        napi_value entry = nullptr;
        if (napi_create_object(env, &entry) != napi_ok || !setInt(env, entry, "kind", kind) ||
            !setInt(env, entry, "arity", kKindInfo[kind].arity) ||
            napi_set_named_property(env, table, kKindInfo[kind].name, entry) != napi_ok) {
            return nullptr;
        }
    }
    return table;
}

}  // namespace

int32_t node_api_module_get_api_version_v1(void) {
    return 8;
}

napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    napi_property_descriptor table[5] = {
        {"bind", nullptr, bind, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"start", nullptr, start, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"cancel", nullptr, cancel, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"lastFailure", nullptr, lastFailure, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"requests", nullptr, nullptr, nullptr, nullptr, requestTable(env), napi_enumerable,
         nullptr},
    };
    auto *owner = static_cast<Environment *>(calloc(1, sizeof(Environment)));
    napi_value name = nullptr;
    if (table[4].value == nullptr || owner == nullptr ||
        napi_define_properties(env, exports, 5, table) != napi_ok ||
        napi_create_string_utf8(env, "kavo:promises", NAPI_AUTO_LENGTH, &name) != napi_ok ||
        napi_create_threadsafe_function(env, nullptr, nullptr, name, 0, 1, owner, homeFinalize,
                                        nullptr, homeCall, &owner->home) != napi_ok) {
        free(owner);
        (void)napi_throw_error(env, "ERR_KAVO_PLATFORM", "cannot set up the companion module");
        return nullptr;
    }
    owner->env = env;
    owner->references = 1;
    // Unreferenced until a request is out: an idle companion keeps no loop alive.
    (void)napi_unref_threadsafe_function(env, owner->home);
    __atomic_add_fetch(&environments, 1, __ATOMIC_ACQ_REL);
    if (napi_set_instance_data(env, owner, nullptr, nullptr) != napi_ok ||
        napi_add_env_cleanup_hook(env, environmentCleanup, owner) != napi_ok) {
        (void)napi_throw_error(env, "ERR_KAVO_PLATFORM", "cannot set up the companion module");
        return nullptr;
    }
    return exports;
}
