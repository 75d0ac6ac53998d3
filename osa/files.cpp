/* OS abstraction layer: locked files and whole-file operations.
 *
 * A file is opened into a caller-provided OsaFileHandle and carries an
 * advisory whole-file flock lock from open to close: shared for read-only
 * handles, exclusive for read-write ones.  Offsets and sizes are unsigned
 * 32-bit; whole-file transfers move at most 4096 bytes per system call. */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "osa/osa.h"
#include "osa/storage_internal.h"

// Other modules allocate and read handles through this layout.
static_assert(offsetof(OsaFileHandle, path) == 0 && sizeof(OsaFileHandle::path) == 256);
static_assert(offsetof(OsaFileHandle, fd) == 256 && sizeof(OsaFileHandle::fd) == 4);
static_assert(sizeof(OsaFileHandle) == 260);

namespace {

constexpr uint32_t kChunk = 4096;
constexpr mode_t kFileMode = 0644;
constexpr mode_t kDirectoryMode = 0700;

/* A path is used only when it fits a 256-byte array with its NUL; a longer
 * one would be cut to a different (and unterminated) name. */
bool pathFits(const char *path) {
    return strnlen(path, OSA_PATH_MAX) < OSA_PATH_MAX;
}

/* Moves one chunk of `size` bytes from `in` to `out` at the same offset;
 * false when the read or the write fails or comes up short. */
bool copyChunk(OsaFileHandle *in, OsaFileHandle *out, uint32_t offset, uint32_t size,
               void *buffer) {
    int32_t got = 0;
    int32_t put = 0;
    if (OSA_ReadBytes(in, offset, buffer, size, &got) != OSA_OK ||
        static_cast<uint32_t>(got) != size) {
        return false;
    }
    return OSA_WriteBytes(out, offset, buffer, size, &put) == OSA_OK;
}

}  // namespace

int32_t OSA_ExpandPath(const char *src, char *dst, uint32_t size) {
    // No expansion: a bounded copy whose unused tail is filled with NULs.
    strncpy(dst, src, size);
    return OSA_OK;
}

namespace {

/* OSA_OpenFile's work; with regularOnly, anything but a regular file is
 * refused before a lock is taken or a byte truncated. */
int32_t openLocked(const char *path, uint32_t flags, OsaFileHandle *handle, bool regularOnly) {
    OSA_ExpandPath(path, handle->path, OSA_PATH_MAX);
    if (handle->path[OSA_PATH_MAX - 1] != '\0') {
        // 256 characters or more: the copy has no NUL, so the name is refused
        // rather than opened cut short; the record stays a terminated string.
        handle->path[OSA_PATH_MAX - 1] = '\0';
        handle->fd = -1;
        errno = ENAMETOOLONG;
        return OSA_ERR_IO;
    }
    const bool readOnly = (flags & OSA_FILE_READ_ONLY) != 0;
    const bool create = (flags & OSA_FILE_CREATE) != 0;
    int openFlags = readOnly ? O_RDONLY : O_RDWR;
    const int lock = readOnly ? LOCK_SH : LOCK_EX;
    // A writer truncates only once it holds its exclusive lock: at open it
    // would empty the file under another process's reader.  A read-only
    // descriptor cannot be truncated, so that combination keeps O_TRUNC.
    bool truncateAfterLock = false;
    if (create) {
        openFlags |= O_CREAT;
        if (readOnly) {
            openFlags |= O_TRUNC;
        } else {
            truncateAfterLock = true;
        }
    }
    // Created files get 0644 whatever the process's creation mask says.
    const mode_t previousMask = umask(0);
    const int fd = regularOnly ? osa_store::openRegular(handle->path, openFlags, kFileMode)
                               : open(handle->path, openFlags, kFileMode);
    umask(previousMask);
    handle->fd = fd;
    if (fd < 0) {
        return OSA_ERR_IO;
    }
    while (flock(fd, lock) != 0 && errno == EINTR) {
    }
    if (truncateAfterLock && ftruncate(fd, 0) != 0) {
        close(fd);
        handle->fd = -1;
        return OSA_ERR_IO;
    }
    return OSA_OK;
}

int32_t fileExist(const char *path, bool regularOnly) {
    OsaFileHandle handle;
    if (openLocked(path, OSA_FILE_READ_ONLY, &handle, regularOnly) != OSA_OK) {
        return OSA_ERR_IO;
    }
    OSA_CloseFile(&handle);
    return OSA_OK;
}

int32_t getFileSize(const char *path, uint32_t *size, bool regularOnly) {
    *size = 0;
    OsaFileHandle handle;
    const int32_t result = openLocked(path, OSA_FILE_READ_ONLY, &handle, regularOnly);
    if (result != OSA_OK) {
        return result;
    }
    struct stat status;
    if (fstat(handle.fd, &status) == 0) {
        *size = static_cast<uint32_t>(status.st_size);
    }
    OSA_CloseFile(&handle);
    return result;
}

}  // namespace

int32_t OSA_OpenFile(const char *path, uint32_t flags, OsaFileHandle *handle) {
    return openLocked(path, flags, handle, false);
}

int32_t OSA_CreateFile(const char *path, uint32_t flags, OsaFileHandle *handle) {
    return OSA_OpenFile(path, flags | OSA_FILE_CREATE, handle);
}

int32_t OSA_CloseFile(OsaFileHandle *handle) {
    flock(handle->fd, LOCK_UN);
    const int result = close(handle->fd);
    // A closed handle no longer names a descriptor that may be reused.
    handle->fd = -1;
    return result;
}

int32_t OSA_ReadBytes(OsaFileHandle *handle, uint32_t offset, void *buffer, uint32_t size,
                      int32_t *count) {
    if (lseek(handle->fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        return OSA_ERR_IO;
    }
    ssize_t got;
    do {
        got = read(handle->fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return OSA_ERR_IO;
    }
    // The kernel moves at most 0x7ffff000 bytes per call, so the count fits.
    *count = static_cast<int32_t>(got);
    return OSA_OK;
}

int32_t OSA_WriteBytes(OsaFileHandle *handle, uint32_t offset, const void *data, uint32_t size,
                       int32_t *count) {
    ssize_t put = -1;
    if (lseek(handle->fd, static_cast<off_t>(offset), SEEK_SET) >= 0) {
        do {
            put = write(handle->fd, data, size);
        } while (put < 0 && errno == EINTR);
    }
    *count = static_cast<int32_t>(put);
    return put >= 0 && static_cast<uint64_t>(put) == size ? OSA_OK : OSA_ERR_IO;
}

int32_t OSA_GetFileSize(const char *path, uint32_t *size) {
    return getFileSize(path, size, false);
}

int32_t OSA_FileExist(const char *path) {
    return fileExist(path, false);
}

int32_t OSA_DeleteFile(const char *path) {
    if (!pathFits(path)) {
        errno = ENAMETOOLONG;
        return OSA_ERR_IO;
    }
    return unlink(path) == 0 ? OSA_OK : OSA_ERR_IO;
}

int32_t OSA_Mkdir(const char *path) {
    if (!pathFits(path)) {
        errno = ENAMETOOLONG;
        return OSA_ERR_IO;
    }
    // Unlike files, directories honour the process's creation mask.
    return mkdir(path, kDirectoryMode) == 0 ? OSA_OK : OSA_ERR_IO;
}

int32_t OSA_CopyFile(const char *destination, const char *source) {
    void *buffer = malloc(kChunk);
    if (buffer == nullptr) {
        return OSA_ERR_NO_MEMORY;
    }
    uint32_t size = 0;
    int32_t result = OSA_GetFileSize(source, &size);
    if (result != OSA_OK) {
        free(buffer);
        return result;
    }
    OsaFileHandle in;
    result = OSA_OpenFile(source, OSA_FILE_READ_ONLY, &in);
    if (result != OSA_OK) {
        free(buffer);
        return result;
    }
    // Onto itself, a copy would empty the file and wait on its own lock.
    struct stat sourceStatus;
    struct stat destinationStatus;
    const bool haveSource = fstat(in.fd, &sourceStatus) == 0;
    if (haveSource && stat(destination, &destinationStatus) == 0 &&
        sourceStatus.st_dev == destinationStatus.st_dev &&
        sourceStatus.st_ino == destinationStatus.st_ino) {
        OSA_CloseFile(&in);
        free(buffer);
        return OSA_ERR_IO;
    }
    // The size that counts is the one under the shared lock just taken.
    if (haveSource) {
        size = static_cast<uint32_t>(sourceStatus.st_size);
    }
    OsaFileHandle out;
    result = OSA_OpenFile(destination, OSA_FILE_REPLACE, &out);
    if (result != OSA_OK) {
        OSA_CloseFile(&in);
        free(buffer);
        return result;
    }
    uint32_t offset = 0;
    uint32_t remaining = size;
    while (remaining > kChunk && result == OSA_OK) {
        if (!copyChunk(&in, &out, offset, kChunk, buffer)) {
            result = OSA_ERR_IO;
        }
        offset += kChunk;
        remaining -= kChunk;
    }
    if (result == OSA_OK && remaining > 0 && !copyChunk(&in, &out, offset, remaining, buffer)) {
        result = OSA_ERR_IO;
    }
    OSA_CloseFile(&out);
    OSA_CloseFile(&in);
    free(buffer);
    return result;
}

int32_t OSA_ReadFile(const char *path, void **data, int32_t *size) {
    *data = nullptr;
    *size = 0;
    uint32_t fileSize = 0;
    int32_t result = OSA_GetFileSize(path, &fileSize);
    if (result != OSA_OK) {
        return result;
    }
    OsaFileHandle handle;
    result = OSA_OpenFile(path, OSA_FILE_READ_ONLY, &handle);
    if (result != OSA_OK) {
        return result;
    }
    // The size is handed back as a signed 32-bit count; a file it cannot
    // express is refused instead of reported with a negative size.
    if (fileSize > static_cast<uint32_t>(INT32_MAX)) {
        OSA_CloseFile(&handle);
        return OSA_ERR_IO;
    }
    *size = static_cast<int32_t>(fileSize);
    // An empty file still gets a buffer of its own, which the caller frees.
    auto *buffer = static_cast<unsigned char *>(malloc(fileSize != 0 ? fileSize : 1));
    if (buffer == nullptr) {
        OSA_CloseFile(&handle);
        return OSA_ERR_IO;
    }
    for (uint32_t offset = 0; offset < fileSize;) {
        const uint32_t want = fileSize - offset < kChunk ? fileSize - offset : kChunk;
        int32_t got = 0;
        if (OSA_ReadBytes(&handle, offset, buffer + offset, want, &got) != OSA_OK ||
            static_cast<uint32_t>(got) != want) {
            OSA_CloseFile(&handle);
            free(buffer);
            return OSA_ERR_IO;
        }
        offset += want;
    }
    OSA_CloseFile(&handle);
    *data = buffer;
    return OSA_OK;
}

int32_t OSA_WriteFile(const char *path, const void *data, int32_t size) {
    // A negative size would read as some 4 GiB: refused before the removal.
    if (size < 0) {
        return OSA_ERR_IO;
    }
    // A new file replaces the old one: a process that still has the old file
    // open keeps reading the old contents.
    OSA_DeleteFile(path);
    OsaFileHandle handle;
    int32_t result = OSA_OpenFile(path, OSA_FILE_REPLACE, &handle);
    if (result != OSA_OK) {
        return result;
    }
    const auto *bytes = static_cast<const unsigned char *>(data);
    const auto total = static_cast<uint32_t>(size);
    for (uint32_t offset = 0; offset < total;) {
        const uint32_t chunk = total - offset < kChunk ? total - offset : kChunk;
        int32_t put = 0;
        if (OSA_WriteBytes(&handle, offset, bytes + offset, chunk, &put) != OSA_OK) {
            result = OSA_ERR_IO;
            break;
        }
        offset += chunk;
    }
    OSA_CloseFile(&handle);
    return result;
}

namespace osa_store {

int openRegular(const char *path, int flags, mode_t mode, struct stat *status) {
    // Non-blocking, so that a FIFO or a device does not wait on the way to
    // the check below that turns it away; cleared again before handing out.
    const int fd = open(path, flags | O_NONBLOCK, mode);
    if (fd < 0) {
        return -1;
    }
    struct stat own;
    struct stat *checked = status != nullptr ? status : &own;
    int failure = 0;
    if (fstat(fd, checked) != 0) {
        failure = errno;
    } else if (!S_ISREG(checked->st_mode)) {
        failure = EINVAL;
    } else {
        const int current = fcntl(fd, F_GETFL);
        if (current < 0 || fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
            failure = errno;
        }
    }
    if (failure != 0) {
        close(fd);
        errno = failure;
        return -1;
    }
    return fd;
}

int32_t openRegularFile(const char *path, uint32_t flags, OsaFileHandle *handle) {
    return openLocked(path, flags, handle, true);
}

int32_t regularFileExist(const char *path) {
    return fileExist(path, true);
}

int32_t getRegularFileSize(const char *path, uint32_t *size) {
    return getFileSize(path, size, true);
}

void createIfMissing(const char *path) {
    if (!pathFits(path)) {
        return;
    }
    const mode_t previousMask = umask(0);
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, kFileMode);
    umask(previousMask);
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace osa_store
