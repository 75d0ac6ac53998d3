/* The Promise companion's view of the add-on: its request phases, found at
 * run time in the copy of kavoInterface.node that the process has loaded,
 * and the request kinds of addon/request.h's KAVO_REQUESTS table. */
#ifndef KAVO_ADDON_ASYNC_BINDING_H
#define KAVO_ADDON_ASYNC_BINDING_H

#include <node_api.h>
#include <stdint.h>

#include "addon/async/queue.h"
#include "addon/request.h"

enum Kind : int32_t {
#define KAVO_KIND(name, ...) k_##name,
    KAVO_REQUESTS(KAVO_KIND)
#undef KAVO_KIND
        kKinds
};

struct KindInfo {
    const char *name; /* the JavaScript function's */
    int32_t arity;    /* its string arguments */
    JobThreads threads;
};
extern const KindInfo kKindInfo[kKinds];

/* One request of any kind, from its arguments to its result. */
struct Request {
    Job job; /* first: a Job* is the Request's address */
    Kind kind;
    bool failed;
    KavoRequestRecord *record; /* the core's record when it failed; may be null */
    union {
#define KAVO_DATA(name, Type, ...) Type name;
        KAVO_REQUESTS(KAVO_DATA)
#undef KAVO_DATA
    } data;
};

/* Finds the phases in the loaded add-on at `path` (RTLD_NOLOAD: never a
 * second copy).  Once per process; true when they are bound. */
bool bindAddon(const char *path);
bool addonBound();

int32_t readArguments(napi_env env, Request *request, const napi_value *argv);
/* The core, on any thread; a failure keeps that thread's request record. */
void runCore(Request *request);
napi_value makeResult(napi_env env, Request *request);
/* This thread's request record (malloc'd), or null. */
KavoRequestRecord *takeRecord();
/* Frees what the request holds and wipes it: it may have held a password. */
void clearRequest(Request *request);

#endif
