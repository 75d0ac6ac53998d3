/* OS abstraction layer: the public interface.
 *
 * Process context, clocks, the atomic spin gate, mutexes and threads;
 * semaphores and reader-writer locks; the configuration file and numbered
 * resources; key-store files by class; the trace log; files and memory; random
 * seed gathering.  Every declaration here is exported with C linkage: the
 * cryptographic service library, which runs in the same process, calls these
 * functions and reads these objects.  Layouts of the structs below are part of
 * that interface. */
#ifndef KAVO_OSA_H
#define KAVO_OSA_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "osa/export.h"

KAVO_BEGIN_DECLS

/* ---- Status codes ------------------------------------------------------ */

enum {
    OSA_OK = 0,
    OSA_ERR_FAILURE = -2,        /* context, state and semaphore failures */
    OSA_ERR_IO = -1,             /* a system call failed or a transfer was short */
    OSA_ERR_NOT_FOUND = -7,      /* configuration entry not found */
    OSA_ERR_INT_SIZE = -13,      /* integer size or value does not fit */
    OSA_ERR_NO_SYSTEM_DIR = -14, /* "ConfigDirectory" is not configured */
    OSA_ERR_NO_MEMORY = -17,     /* the copy buffer could not be allocated */
    OSA_ERR_NOT_SUPPORTED = -18  /* resource id not supported */
};

/* Key-store handle statuses (positive, as the library expects them). */
enum {
    OSA_CFG_ERR_NO_CLASS = 2,      /* no such class, or a null handle */
    OSA_CFG_ERR_BAD_SELF = 3,      /* Self does not point at the handle */
    OSA_CFG_ERR_BAD_SIGNATURE = 4, /* Signature is not OSA_CFG_SIGNATURE */
    OSA_CFG_ERR_NO_MEMORY = 5
};

/* ---- Process context, time, atomic flag and mutexes -------------------- */

#define OSA_CONTEXT_TAG 0x11111111u

typedef struct OsaContext {
    uint64_t tag;  /* always OSA_CONTEXT_TAG */
    int32_t value; /* the creator's value */
} OsaContext;

KAVO_EXPORT int32_t OSA_Initialize(void *unused);
KAVO_EXPORT int32_t OSA_Deinitialize(void *unused);
KAVO_EXPORT uint64_t OSA_GetModuleHandle(uint64_t selector);
KAVO_EXPORT int32_t OSA_CreateContext(int32_t value, OsaContext **context);
KAVO_EXPORT int32_t OSA_DestroyContext(OsaContext *context);
KAVO_EXPORT int32_t OSA_DisableShutDownEvents(void);

/* Mode OSA_YIELD_PROCESSOR gives up the processor; any other mode returns at
 * once, so a gate waiter passing it spins. */
#define OSA_YIELD_SPIN 1u
#define OSA_YIELD_PROCESSOR 2u
KAVO_EXPORT int32_t OSA_YieldExecution(uint64_t mode);
KAVO_EXPORT int32_t OSA_Delay(void);

/* Atomic flag: 1 free, 0 taken.  test_and_set is a sequentially consistent
 * exchange; clear_set a release store of 1. */
KAVO_EXPORT int32_t OSA_test_and_set(int32_t *flag, const int32_t *newValue, uint64_t ignored);
KAVO_EXPORT void OSA_clear_set(int32_t *flag);

/* Error-checking mutexes: a second lock by the owner gives EDEADLK, an unlock
 * by another thread EPERM. */
KAVO_EXPORT int OSA_mutex_init(pthread_mutex_t *mutex);
KAVO_EXPORT int OSA_mutex_destroy(pthread_mutex_t *mutex);
KAVO_EXPORT int OSA_mutex_lock(pthread_mutex_t *mutex);
KAVO_EXPORT int OSA_mutex_trylock(pthread_mutex_t *mutex);
KAVO_EXPORT int OSA_mutex_unlock(pthread_mutex_t *mutex);

KAVO_EXPORT int OSA_pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                                   void *(*start)(void *), void *arg);
KAVO_EXPORT int OSA_pthread_join(pthread_t thread, void **value);
KAVO_EXPORT int OSA_pthread_kill(pthread_t thread, int signal);
KAVO_EXPORT pthread_t OSA_pthread_self(void);
KAVO_EXPORT __attribute__((noreturn)) void OSA_pthread_exit(void *value);
KAVO_EXPORT int OSA_pthread_equal(pthread_t a, pthread_t b);

KAVO_EXPORT uint32_t OSA_GetSecMsec(uint32_t *seconds, uint32_t *milliseconds);
KAVO_EXPORT uint64_t OSA_GetTODULong(void);

/* ---- Semaphores and reader-writer locks -------------------------------- */

typedef struct Semx {
    pthread_mutex_t mutex; /* guards count */
    pthread_cond_t cond;   /* signalled once per post; real-time clock */
    int32_t count;         /* posts not yet taken, never below 0 */
} Semx;

KAVO_EXPORT int semx_init(Semx *semx, int ignored, uint32_t initialCount);
KAVO_EXPORT int semx_destroy(Semx *semx);
KAVO_EXPORT int semx_wait(Semx *semx);
KAVO_EXPORT int semx_timedwait(Semx *semx, uint32_t timeoutMs);
KAVO_EXPORT int semx_post(Semx *semx);
KAVO_EXPORT int semx_getvalue(Semx *semx, int32_t *value);
KAVO_EXPORT int p_operation_cleanup(pthread_mutex_t *mutex);

typedef struct OsaSemaphore {
    Semx *semaphore;
} OsaSemaphore;

#define OSA_WAIT_FOREVER (-1LL)
KAVO_EXPORT int32_t OSA_AllocSemaphore(void *ignored, uint32_t optionA, uint32_t optionB,
                                       uint32_t initialCount, OsaSemaphore **handle);
KAVO_EXPORT int32_t OSA_FreeSemaphore(OsaSemaphore *handle);
KAVO_EXPORT int32_t OSA_PostSemaphore(OsaSemaphore *handle);
KAVO_EXPORT int32_t OSA_QuerySemaphore(OsaSemaphore *handle, int32_t *value);
KAVO_EXPORT int32_t OSA_WaitOnSemaphore(OsaSemaphore *handle, int64_t timeoutMs);
KAVO_EXPORT int32_t OSA_WaitForeverOnSemaphore(OsaSemaphore *handle);

typedef struct OsaRwLock {
    pthread_mutex_t resourceLock; /* held by the writer, or by the readers as a group */
    pthread_mutex_t countLock;    /* guards readers; always taken before resourceLock */
    int32_t readers;
    int32_t writer;
} OsaRwLock;

KAVO_EXPORT int OSA_rw_init(OsaRwLock *rw);
KAVO_EXPORT int OSA_rw_destroy(OsaRwLock *rw);
KAVO_EXPORT int OSA_rw_rdlock(OsaRwLock *rw);
KAVO_EXPORT int OSA_rw_wrlock(OsaRwLock *rw);
KAVO_EXPORT int OSA_rw_unlock(OsaRwLock *rw);
KAVO_EXPORT int OSA_rw_wr2rdlock(OsaRwLock *rw);

/* ---- Configuration file and resources ---------------------------------- */

#define OSA_CONFIG_PATH "/etc/opt/zorvex/vesk64.cfg"

/* fget_string needs room for a 300-character line and its NUL. */
#define OSA_CFG_LINE_MAX 300
#define OSA_CFG_LINE_BUFFER (OSA_CFG_LINE_MAX + 1)

/* Numbered resources of OSA_GetResource. */
enum {
    OSA_RES_DAC = 0x1000,
    OSA_RES_UNSUPPORTED = 0x1001,
    OSA_RES_SYNC_PERIOD = 0x1002,
    OSA_RES_SHARED_LIBRARY = 0x1003,
    OSA_RES_DAC2 = 0x1004,
    OSA_RES_MKUSERDIR = 0x1005,
    OSA_RES_TRACE = 0x1006,
    OSA_RES_TRACE_FILE = 0x1007,
    OSA_RES_RESTRICTION_LEVEL = 0x1008
};

KAVO_EXPORT int fget_string(char *line, int fd);
KAVO_EXPORT int64_t OSA_unxCfgRead(int fd, char *name, char *type, void *value, size_t size);
KAVO_EXPORT int64_t OSA_unxCfgWrite(int fd, const char *name, char type, const void *value,
                                    int64_t length);
KAVO_EXPORT int64_t OSA_unxCfgLookup(int fd, const char *name, char *type, void *value,
                                     size_t size);
KAVO_EXPORT int OSA_query_registry_value(const char *path, const char *name, void *ignored,
                                         void *value, uint32_t size);
KAVO_EXPORT int32_t getIntegerFromCFG(const char *name, uint32_t *value, uint32_t *size);
KAVO_EXPORT int32_t OSA_GetResource(uint32_t id, void *value, uint32_t *size);
KAVO_EXPORT int32_t _GetVESKDirectories(void);
KAVO_EXPORT char *OSA_Get_VESK_SystemPath(void);
KAVO_EXPORT char *OSA_Get_VESK_UserPath(void);

/* ---- Files and memory -------------------------------------------------- */

#define OSA_PATH_MAX 256

/* Open flags: only these two bits count. */
#define OSA_FILE_READ_ONLY 0x01u /* read only with a shared lock; else read-write, exclusive */
#define OSA_FILE_CREATE 0x40u    /* create when missing and truncate */
#define OSA_FILE_REPLACE 0x48u   /* what the whole-file writers use */

typedef struct OsaFileHandle {
    char path[OSA_PATH_MAX]; /* the path as opened */
    int32_t fd;              /* the open descriptor, -1 after a failed open */
} OsaFileHandle;

KAVO_EXPORT void *OSA_memcpy(void *dst, const void *src, uint32_t n);
KAVO_EXPORT void *OSA_memmove(void *dst, const void *src, uint32_t n);
KAVO_EXPORT void *OSA_memset(void *buffer, int32_t value, uint32_t n);
KAVO_EXPORT void *OSA_memchr(const void *buffer, int32_t value, uint32_t n);
KAVO_EXPORT int32_t OSA_memcmp(const void *a, const void *b, uint32_t n);
KAVO_EXPORT uint32_t OSA_UnicodeSize(const uint16_t *s);
KAVO_EXPORT uint32_t OSA_UnicodeLength(const uint16_t *s);

KAVO_EXPORT int32_t OSA_ExpandPath(const char *src, char *dst, uint32_t size);
KAVO_EXPORT int32_t OSA_OpenFile(const char *path, uint32_t flags, OsaFileHandle *handle);
KAVO_EXPORT int32_t OSA_CreateFile(const char *path, uint32_t flags, OsaFileHandle *handle);
KAVO_EXPORT int32_t OSA_CloseFile(OsaFileHandle *handle);
KAVO_EXPORT int32_t OSA_ReadBytes(OsaFileHandle *handle, uint32_t offset, void *buffer,
                                  uint32_t size, int32_t *count);
KAVO_EXPORT int32_t OSA_WriteBytes(OsaFileHandle *handle, uint32_t offset, const void *data,
                                   uint32_t size, int32_t *count);
KAVO_EXPORT int32_t OSA_GetFileSize(const char *path, uint32_t *size);
KAVO_EXPORT int32_t OSA_FileExist(const char *path);
KAVO_EXPORT int32_t OSA_DeleteFile(const char *path);
KAVO_EXPORT int32_t OSA_Mkdir(const char *path);
KAVO_EXPORT int32_t OSA_CopyFile(const char *destination, const char *source);
KAVO_EXPORT int32_t OSA_ReadFile(const char *path, void **data, int32_t *size);
KAVO_EXPORT int32_t OSA_WriteFile(const char *path, const void *data, int32_t size);

/* ---- Key-store configuration files ------------------------------------- */

#define OSA_CFG_SIGNATURE 552u
#define OSA_CFG_CLASS_MAX 13u

typedef struct OsaCfgHandle {
    uint32_t Signature;        /* OSA_CFG_SIGNATURE */
    struct OsaCfgHandle *Self; /* the handle's own address */
    OsaFileHandle File;
    char *Name;        /* the file's path, allocated with the handle */
    uint32_t NameSize; /* the path's length plus one */
} OsaCfgHandle;

KAVO_EXPORT int32_t OSA_cfg_Init(void *ctx);
KAVO_EXPORT int32_t OSA_cfg_Shutdown(void *ctx);
KAVO_EXPORT int32_t OSA_cfg_Create(void *ctx);
KAVO_EXPORT int32_t OSA_MkUserdir(const char *directory);
KAVO_EXPORT int32_t OSA_cfg_Open(void *ctx, uint32_t fileClass, uint32_t flags,
                                 OsaCfgHandle **handle);
KAVO_EXPORT int32_t OSA_cfg_Read(OsaCfgHandle *cfg, uint32_t offset, uint32_t size, void *buffer,
                                 int32_t *count);
KAVO_EXPORT int32_t OSA_cfg_Write(OsaCfgHandle *cfg, uint32_t offset, uint32_t size,
                                  const void *data, int32_t *count);
KAVO_EXPORT int32_t OSA_cfg_Close(OsaCfgHandle *cfg);
KAVO_EXPORT int32_t OSA_cfg_Delete(uint32_t fileClass);
KAVO_EXPORT int32_t OSA_cfg_Status(void *ctx, uint32_t fileClass, int32_t *exists, uint32_t *size,
                                   void *ignored, uint32_t capacity, char *name, int32_t *nameSize);
KAVO_EXPORT int32_t OSA_cfg_Class(void *ctx, int32_t *kind, int32_t *reserved, uint32_t capacity,
                                  char *user, uint32_t *userLength);
KAVO_EXPORT int32_t CheckCfPtr(const OsaCfgHandle *cfg);
KAVO_EXPORT uint32_t _OSA_GetCfgPath(uint32_t fileClass, char *out);
KAVO_EXPORT char *_OSA_GetUserName(void);

/* ---- Logging and trace ------------------------------------------------- */

#define OSA_TRACE_FILE_DEFAULT "/tmp/vesk.log"
#define OSA_TRACE_IMPLICIT_IDENT "OSA/VESK:"

KAVO_EXPORT extern char OSA_TraceFileName[128];
KAVO_EXPORT extern int32_t OSA_TraceEnabled;
KAVO_EXPORT extern char *OSA_TraceIdent;
KAVO_EXPORT extern uint32_t OSA_SyslogInitialized;
KAVO_EXPORT extern pthread_mutex_t OSA_LogMutex;

KAVO_EXPORT int OSA_openlog(char *ident, int option, int facility);
/* The format is walked conversion by conversion (see trace.cpp); it is not
 * handed to the C library's formatter as a whole. */
KAVO_EXPORT int OSA_syslog(int priority, const char *format, ...);
KAVO_EXPORT int OSA_closelog(void);
KAVO_EXPORT int OSA_WriteAlertMessage(uint64_t a, uint64_t b, uint64_t c, const char *text);

/* ---- Random seed gathering --------------------------------------------- */

KAVO_EXPORT int32_t OSA_GetRandom(void *buffer, uint32_t size);

KAVO_END_DECLS

#endif
