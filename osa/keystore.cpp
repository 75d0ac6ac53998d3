/* OS abstraction layer: key-store files by class.
 *
 * The cryptographic service library names its key stores, seed, archive and
 * key files only by class number; this file maps each class to a path in the
 * system directory or in the calling user's private directory, and opens,
 * reads, writes, closes, deletes and inspects them.  Every operation is
 * traced through OSA_syslog.  Between processes the files are guarded by the
 * whole-file locks that OSA_OpenFile takes. */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "osa/osa.h"
#include "osa/storage_internal.h"

// The library allocates and checks handles through this layout.
static_assert(offsetof(OsaCfgHandle, Signature) == 0 && sizeof(OsaCfgHandle::Signature) == 4);
static_assert(offsetof(OsaCfgHandle, Self) == 8);
static_assert(offsetof(OsaCfgHandle, File) == 16 && sizeof(OsaCfgHandle::File) == 260);
static_assert(offsetof(OsaCfgHandle, Name) == 280);
static_assert(offsetof(OsaCfgHandle, NameSize) == 288 && sizeof(OsaCfgHandle::NameSize) == 4);
static_assert(sizeof(OsaCfgHandle) == 296);

namespace {

struct FileClass {
    const char *fileName;  // null: the path is the directory itself
    bool perUser;
};

// Indexed by class number.
constexpr FileClass kClasses[OSA_CFG_CLASS_MAX + 1] = {
    {nullptr, false},       {nullptr, true},         {"veskfk", false},      {"xmgrcfg.vkd", false},
    {"xmgrcfg.ks2", true},  {"xarchive.000", false}, {"xarchive.001", true}, {"xmgrcfg.ks0", false},
    {"xmgrcfg.ks1", false}, {"xmgrseed.inf", false}, {"xmgrcfg.inf", false}, {"xmgrcfg.wks", false},
    {"vesksdi.key", true},  {"xmgrcfg.ks3", true},
};

// Paths are built here; directories of at most 200 characters (see
// _GetVESKDirectories) keep every path, per-user part and file name
// included, far below this size.
constexpr size_t kPathWork = 264;
static_assert(kPathWork > OSA_PATH_MAX);
constexpr size_t kUserDirectorySize = 256;
constexpr size_t kClassWork = 256;
static_assert(kClassWork >= OSA_PATH_MAX);
constexpr size_t kMkUserDirValue = 300;

/* Process-wide path state: the recorded system directory, and the per-user
 * directory once it has been built in the user directory root's string. */
const char *recordedSystemDirectory;
const char *perUserDirectory;
char userName[24];

/* Builds the per-user directory in place, once: root, "/", the user name,
 * "/".  Without a usable configuration nothing is built and the caller gets
 * an empty path, so that no key-store file lands under the root. */
const char *currentUserDirectory() {
    if (perUserDirectory != nullptr) {
        return perUserDirectory;
    }
    char *root = OSA_Get_VESK_UserPath();
    if (root[0] == '\0') {
        _GetVESKDirectories();
    }
    if (root[0] == '\0') {
        return nullptr;
    }
    const size_t used = strnlen(root, kUserDirectorySize);
    const int added = snprintf(root + used, kUserDirectorySize - used, "/%s/", _OSA_GetUserName());
    if (added < 0 || static_cast<size_t>(added) >= kUserDirectorySize - used) {
        root[used] = '\0';
        return nullptr;
    }
    perUserDirectory = root;
    return perUserDirectory;
}

/* The system directory, resolved and recorded on first use; null while it
 * is not configured (an unconfigured directory would put the files under
 * the file system's root). */
const char *systemDirectory() {
    // While resolution keeps failing it is tried again on each request, so
    // a configuration fixed later is still picked up.
    if (recordedSystemDirectory == nullptr || recordedSystemDirectory[0] == '\0') {
        _GetVESKDirectories();
        recordedSystemDirectory = OSA_Get_VESK_SystemPath();
    }
    return recordedSystemDirectory[0] != '\0' ? recordedSystemDirectory : nullptr;
}

/* Allocates a zeroed buffer for a path of `size` bytes; the empty path of a
 * class above 13 (size 0) still gets room for its NUL. */
char *allocatePath(uint32_t size) {
    return static_cast<char *>(calloc(size != 0 ? size : 1, 1));
}

/* Classes 2 to 13 name files; 0 and 1 are the directories themselves.  A
 * file of such a class must be a regular file: a FIFO or a device planted
 * in its place is refused without blocking, and reads as a missing file. */
bool namesAFile(uint32_t fileClass) {
    return fileClass >= 2 && fileClass <= OSA_CFG_CLASS_MAX;
}

int32_t fileExists(uint32_t fileClass, const char *path) {
    return namesAFile(fileClass) ? osa_store::regularFileExist(path) : OSA_FileExist(path);
}

int32_t fileSize(uint32_t fileClass, const char *path, uint32_t *size) {
    return namesAFile(fileClass) ? osa_store::getRegularFileSize(path, size)
                                 : OSA_GetFileSize(path, size);
}

int32_t openClassFile(uint32_t fileClass, const char *path, uint32_t flags, OsaFileHandle *handle) {
    return namesAFile(fileClass) ? osa_store::openRegularFile(path, flags, handle)
                                 : OSA_OpenFile(path, flags, handle);
}

void releaseHandle(OsaCfgHandle *cfg) {
    free(cfg->Name);
    // A stale pointer to a released handle then fails the check.
    cfg->Signature = 0;
    cfg->Self = nullptr;
    free(cfg);
}

}  // namespace

char *_OSA_GetUserName(void) {
    // The real user id in decimal, written once (pthread_once needs no C++
    // runtime) so that threads asking together only ever read the buffer.
    static pthread_once_t written = PTHREAD_ONCE_INIT;
    (void)pthread_once(&written, [] {
        (void)snprintf(userName, sizeof userName, "%ld", static_cast<long>(getuid()));
    });
    OSA_syslog(0, "_OSA_GetUserName:%s\n", userName);
    return userName;
}

uint32_t _OSA_GetCfgPath(uint32_t fileClass, char *out) {
    if (fileClass > OSA_CFG_CLASS_MAX) {
        return 0;  // no file: an empty path, nothing copied
    }
    const FileClass &entry = kClasses[fileClass];
    char work[kPathWork] = {};
    const char *directory = entry.perUser ? currentUserDirectory() : systemDirectory();
    if (directory != nullptr) {
        int length;
        if (entry.fileName == nullptr) {
            length = snprintf(work, sizeof work, "%s", directory);
        } else if (entry.perUser) {
            // The per-user directory already ends in a slash.
            length = snprintf(work, sizeof work, "%s%s", directory, entry.fileName);
        } else {
            length = snprintf(work, sizeof work, "%s/%s", directory, entry.fileName);
        }
        // A path must fit the 256-byte arrays it is opened from (and the
        // 256-byte buffer of OSA_cfg_Class); a longer one becomes empty.
        if (length < 0 || length >= OSA_PATH_MAX) {
            work[0] = '\0';
        }
    }
    const size_t size = strlen(work) + 1;
    if (out != nullptr) {
        memcpy(out, work, size);
    }
    return static_cast<uint32_t>(size);
}

int32_t CheckCfPtr(const OsaCfgHandle *cfg) {
    if (cfg == nullptr) {
        return OSA_CFG_ERR_NO_CLASS;
    }
    if (cfg->Self != cfg) {
        return OSA_CFG_ERR_BAD_SELF;
    }
    if (cfg->Signature != OSA_CFG_SIGNATURE) {
        return OSA_CFG_ERR_BAD_SIGNATURE;
    }
    return OSA_OK;
}

int32_t OSA_cfg_Init(void * /*ctx*/) {
    OSA_syslog(0, "OSA_cfg_Init\n");
    return _GetVESKDirectories();
}

int32_t OSA_cfg_Shutdown(void * /*ctx*/) {
    OSA_syslog(0, "OSA_cfg_Shutdown\n");
    return OSA_OK;
}

int32_t OSA_MkUserdir(const char * /*directory*/) {
    // The configured command knows what to create; the argument is unused.
    const int fd = osa_store::openRegular(OSA_CONFIG_PATH, O_RDONLY, 0);
    if (fd < 0) {
        return errno;
    }
    char command[kMkUserDirValue] = {};
    char type = 0;
    const int64_t found = OSA_unxCfgLookup(fd, "MkUserDir", &type, command, sizeof command);
    close(fd);
    // Only a text value is a command: a binary entry is not NUL-terminated
    // and is treated as missing.
    if (found <= 0 || type != 's' || static_cast<uint64_t>(found) > sizeof command) {
        return 2;
    }
    return system(command);
}

int32_t OSA_cfg_Create(void * /*ctx*/) {
    char directory[kUserDirectorySize] = {};
    const char *built = currentUserDirectory();
    if (built != nullptr) {
        (void)snprintf(directory, sizeof directory, "%s", built);
    }
    // The command's outcome is not reported: the caller finds out when it
    // opens a file in the directory.
    OSA_MkUserdir(directory);
    OSA_syslog(0, "OSA_cfg_Create: %s\n", directory);
    return OSA_OK;
}

int32_t OSA_cfg_Open(void * /*ctx*/, uint32_t fileClass, uint32_t flags, OsaCfgHandle **handle) {
    OSA_syslog(0, "OSA_cfg_Open\n");
    if (handle != nullptr) {
        *handle = nullptr;
    }
    auto *cfg = static_cast<OsaCfgHandle *>(calloc(1, sizeof(OsaCfgHandle)));
    if (cfg == nullptr) {
        return OSA_CFG_ERR_NO_MEMORY;
    }
    cfg->Signature = OSA_CFG_SIGNATURE;
    cfg->Self = cfg;
    cfg->File.fd = -1;
    cfg->NameSize = _OSA_GetCfgPath(fileClass, nullptr);
    cfg->Name = allocatePath(cfg->NameSize);
    if (cfg->Name == nullptr) {
        free(cfg);
        return OSA_CFG_ERR_NO_MEMORY;
    }
    cfg->NameSize = _OSA_GetCfgPath(fileClass, cfg->Name);
    OSA_syslog(0, "OSA_cfg_Open:handle->Name=%s\n", cfg->Name);

    // A missing file is created empty first, for readers too; only if nothing
    // is there, since another process may be creating and filling it.
    if (fileExists(fileClass, cfg->Name) != OSA_OK) {
        osa_store::createIfMissing(cfg->Name);
    }
    const int32_t result = openClassFile(fileClass, cfg->Name, flags, &cfg->File);
    if (result != OSA_OK) {
        releaseHandle(cfg);
        return result;
    }
    if (handle != nullptr) {
        *handle = cfg;
        return OSA_OK;
    }
    // No place for the handle: the open only made sure the file exists.
    OSA_cfg_Close(cfg);
    return OSA_OK;
}

int32_t OSA_cfg_Read(OsaCfgHandle *cfg, uint32_t offset, uint32_t size, void *buffer,
                     int32_t *count) {
    OSA_syslog(0, "OSA_cfg_Read\n");
    const int32_t check = CheckCfPtr(cfg);
    return check != OSA_OK ? check : OSA_ReadBytes(&cfg->File, offset, buffer, size, count);
}

int32_t OSA_cfg_Write(OsaCfgHandle *cfg, uint32_t offset, uint32_t size, const void *data,
                      int32_t *count) {
    OSA_syslog(0, "OSA_cfg_Write\n");
    const int32_t check = CheckCfPtr(cfg);
    return check != OSA_OK ? check : OSA_WriteBytes(&cfg->File, offset, data, size, count);
}

int32_t OSA_cfg_Close(OsaCfgHandle *cfg) {
    OSA_syslog(0, "OSA_cfg_Cloe\n");
    const int32_t check = CheckCfPtr(cfg);
    if (check != OSA_OK) {
        return check;
    }
    OSA_CloseFile(&cfg->File);
    releaseHandle(cfg);
    return OSA_OK;
}

int32_t OSA_cfg_Delete(uint32_t fileClass) {
    OSA_syslog(0, "OSA_cfg_Delete\n");
    char *path = allocatePath(_OSA_GetCfgPath(fileClass, nullptr));
    if (path == nullptr) {
        return OSA_CFG_ERR_NO_MEMORY;
    }
    _OSA_GetCfgPath(fileClass, path);
    const int32_t result = OSA_DeleteFile(path);
    free(path);
    return result;
}

int32_t OSA_cfg_Status(void * /*ctx*/, uint32_t fileClass, int32_t *exists, uint32_t *size,
                       void * /*ignored*/, uint32_t capacity, char *name, int32_t *nameSize) {
    OSA_syslog(0, "OSA_cfg_Status\n");
    const uint32_t pathSize = _OSA_GetCfgPath(fileClass, nullptr);
    if (pathSize == 0) {
        return OSA_CFG_ERR_NO_CLASS;
    }
    char *path = allocatePath(pathSize);
    if (path == nullptr) {
        return OSA_CFG_ERR_NO_MEMORY;
    }
    _OSA_GetCfgPath(fileClass, path);
    if (exists != nullptr) {
        *exists = fileExists(fileClass, path) == OSA_OK ? 1 : 0;
    }
    if (size != nullptr) {
        fileSize(fileClass, path, size);
    }
    if (name != nullptr) {
        // Whole with its NUL when it fits, else the first capacity bytes.
        memcpy(name, path, capacity >= pathSize ? pathSize : capacity);
    }
    if (nameSize != nullptr) {
        *nameSize = static_cast<int32_t>(pathSize);
    }
    free(path);
    return OSA_OK;
}

int32_t OSA_cfg_Class(void * /*ctx*/, int32_t *kind, int32_t *reserved, uint32_t capacity,
                      char *user, uint32_t *userLength) {
    char *path = static_cast<char *>(calloc(kClassWork, 1));
    if (path == nullptr) {
        return OSA_CFG_ERR_NO_MEMORY;
    }
    OSA_syslog(0, "OSA_cfg_Class\n");
    // The system-wide key file outranks a per-user one.
    *kind = 0;
    _OSA_GetCfgPath(2, path);
    if (fileExists(2, path) == OSA_OK) {
        *kind = -1;
    } else {
        _OSA_GetCfgPath(12, path);
        if (fileExists(12, path) == OSA_OK) {
            *kind = 1;
        }
    }
    free(path);
    const char *name = _OSA_GetUserName();
    const auto length = static_cast<uint32_t>(strlen(name));
    *userLength = length;
    if (capacity != 0) {
        memcpy(user, name, length < capacity ? length + 1 : capacity);
    }
    *reserved = 0;
    return OSA_OK;
}

namespace osa_store {

void resetKeystorePaths() {
    recordedSystemDirectory = nullptr;
    perUserDirectory = nullptr;
}

}  // namespace osa_store
