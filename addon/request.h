/* Node-API add-on layer: the four requests split into their three phases.
 *
 * Each JavaScript function of the module runs as: reading its arguments
 * into a request record (on the JavaScript thread), the request core (plain
 * C, on any thread), and making its result (on the JavaScript thread).  The
 * synchronous callbacks run the three phases one after the other; the
 * package's Promise companion runs the same phases, the core on a thread of
 * its own.  Both therefore make the same Node-API calls and write the
 * same system-log lines for the same arguments.
 *
 * Every phase starts a fresh request record on its thread: the lines it
 * logged, the step that failed and the platform library's status.
 * GetRequestRecord copies it out.  No password is ever logged, so none is
 * ever in a record. */
#ifndef KAVO_ADDON_REQUEST_H
#define KAVO_ADDON_REQUEST_H

#include <node_api.h>
#include <stdint.h>

#include "osa/export.h"

KAVO_BEGIN_DECLS

/* The step at which a request failed; KAVO_STEP_NONE while it has not. */
typedef enum KavoStep {
    KAVO_STEP_NONE = 0,
    KAVO_STEP_NODE_API = 1,          /* a Node-API call (arguments or result) */
    KAVO_STEP_ARGUMENT_TYPE = 2,     /* an argument is not a string */
    KAVO_STEP_ARGUMENT_NUL = 3,      /* a string argument holds a NUL byte */
    KAVO_STEP_INPUT = 4,             /* a C caller's argument: null, too long, not convertible */
    KAVO_STEP_MEMORY = 5,            /* an allocation failed */
    KAVO_STEP_PROTECT = 6,           /* LSSProtect; status is its status */
    KAVO_STEP_UNPROTECT = 7,         /* LSSUnprotect; status is its status */
    KAVO_STEP_STORE = 8,             /* the credential store; status is its status */
    KAVO_STEP_STORED_RECORD = 9,     /* the store handed back lengths out of range */
    KAVO_STEP_USER_TYPE = 10,        /* a user type other than "dorn" */
    KAVO_STEP_DIRECTORY_USER = 11,   /* the user lookup or list call; status is the library's */
    KAVO_STEP_SEV_EMPTY = 12,        /* the user's security-equivalence list is empty */
    KAVO_STEP_DIRECTORY_ENTRY = 13,  /* an entry of the list did not resolve; library status */
    KAVO_STEP_ARGUMENT_TOO_LONG = 14 /* a string argument is longer than its buffer */
} KavoStep;

#define KAVO_RECORD_LINES 8        /* lines kept; later ones are only counted */
#define KAVO_RECORD_LINE_SIZE 2048 /* a longer line is cut */

/* What one phase of a request did on the calling thread. */
typedef struct KavoRequestRecord {
    int32_t step;   /* KavoStep of the first failure */
    int32_t status; /* the platform library's status, when hasStatus */
    int32_t hasStatus;
    int32_t lineCount;   /* lines kept in `lines`, at most KAVO_RECORD_LINES */
    int32_t linesLogged; /* every line logged, kept or not */
    char lines[KAVO_RECORD_LINES][KAVO_RECORD_LINE_SIZE];
} KavoRequestRecord;

/* Request records, one per function: arguments in, results out.  Each is
 * zero-filled by its owner before the argument phase. */
typedef struct KavoSetCredentials {
    char applicationName[256];
    char userName[256];
    char password[128];
} KavoSetCredentials;

typedef struct KavoGetCredentials {
    char serviceName[256];
    char userName[256];
    char password[256];
} KavoGetCredentials;

typedef struct KavoSevList {
    char userType[6];
    char userName[256];
    int32_t count;
    char *dns; /* the DN array; the result phase releases it */
    /* The same DNs whole, as the library gave them: `count` zero-terminated
     * strings one after another, inside the `dns` allocation after its
     * 256-byte slots (which cut a longer DN), so releasing `dns` releases
     * them too.  The result is made from these. */
    const char *wholeDns;
} KavoSevList;

typedef struct KavoSidFromName {
    char name[256];
    char sidText[190];
} KavoSidFromName;

/* The four requests, one row each: the JavaScript name, the request record,
 * the three phases' exported names, the number of string arguments, and the
 * companion's thread set that runs the core (credential requests share one
 * thread, since the request lock serialises them anyway).  The Promise
 * companion expands this table for its kinds, its symbol lookup, its
 * dispatch and the names it gives JavaScript; adding a request is adding a
 * row. */
#define KAVO_REQUESTS(X)                                                                        \
    X(arb_set_credentials, KavoSetCredentials, ReadSetCredentialsArguments, SetCredentialsCore, \
      MakeSetCredentialsResult, 3, CREDENTIAL)                                                  \
    X(arb_get_credentials, KavoGetCredentials, ReadGetCredentialsArguments, GetCredentialsCore, \
      MakeGetCredentialsResult, 1, CREDENTIAL)                                                  \
    X(get_sev_list, KavoSevList, ReadSevListArguments, GetSevListCore, MakeSevListResult, 2,    \
      DIRECTORY)                                                                                \
    X(get_sid_from_name, KavoSidFromName, ReadSidFromNameArguments, GetSidFromNameCore,         \
      MakeSidFromNameResult, 1, DIRECTORY)

/* Argument phase: reads argv[0..2] (missing ones are undefined) into the
 * request.  Returns 0, or -1 after logging the failing step. */
KAVO_EXPORT int32_t ReadSetCredentialsArguments(napi_env env, const napi_value *argv,
                                                KavoSetCredentials *request);
KAVO_EXPORT int32_t ReadGetCredentialsArguments(napi_env env, const napi_value *argv,
                                                KavoGetCredentials *request);
KAVO_EXPORT int32_t ReadSevListArguments(napi_env env, const napi_value *argv,
                                         KavoSevList *request);
KAVO_EXPORT int32_t ReadSidFromNameArguments(napi_env env, const napi_value *argv,
                                             KavoSidFromName *request);

/* Request cores: no Node-API call, safe on any thread.  Return 0, or -1
 * after logging.  Credential requests are serialised by the module's
 * request lock. */
KAVO_EXPORT int32_t SetCredentialsCore(KavoSetCredentials *request);
KAVO_EXPORT int32_t GetCredentialsCore(KavoGetCredentials *request);
KAVO_EXPORT int32_t GetSevListCore(KavoSevList *request);
KAVO_EXPORT int32_t GetSidFromNameCore(KavoSidFromName *request);

/* Result phase: the result object, or null after logging.  The SEV list's
 * result phase releases the DN array on every path. */
KAVO_EXPORT napi_value MakeSetCredentialsResult(napi_env env, KavoSetCredentials *request);
KAVO_EXPORT napi_value MakeGetCredentialsResult(napi_env env, KavoGetCredentials *request);
KAVO_EXPORT napi_value MakeSevListResult(napi_env env, KavoSevList *request);
KAVO_EXPORT napi_value MakeSidFromNameResult(napi_env env, KavoSidFromName *request);

/* Copies the calling thread's record of its last request phase.  Returns 0,
 * or -1 when the thread has none (nothing logged and no phase run, or no
 * memory for it). */
KAVO_EXPORT int32_t GetRequestRecord(KavoRequestRecord *record);

KAVO_END_DECLS

#endif
