/* OS abstraction layer, storage group: names shared between the storage files
 * (files, configuration, key-store files, trace) and their unit tests.
 *
 * Nothing here is exported from the add-on: these are C++ names with hidden
 * visibility; the unit tests reach them because they link the layer's static
 * library directly. */
#ifndef KAVO_OSA_STORAGE_INTERNAL_H
#define KAVO_OSA_STORAGE_INTERNAL_H

#include <stdint.h>
#include <sys/stat.h>

#include "osa/osa.h"

namespace osa_store {

/* open(2) of a file that must be a regular file: a FIFO, a device, a
 * directory or a socket is refused with -1 and errno EINVAL, without
 * waiting for a writer or a device on the way.  The descriptor handed back
 * has exactly the flags asked for.  When status is given it receives the
 * file's fstat (files.cpp). */
int openRegular(const char *path, int flags, mode_t mode, struct stat *status = nullptr);

/* OSA_OpenFile, OSA_FileExist and OSA_GetFileSize for files that must be
 * regular, with openRegular's refusal: -1 as for a file that cannot be
 * opened (files.cpp). */
int32_t openRegularFile(const char *path, uint32_t flags, OsaFileHandle *handle);
int32_t regularFileExist(const char *path);
int32_t getRegularFileSize(const char *path, uint32_t *size);

/* Creates the file at path, empty and with permissions 0644, when nothing
 * exists there yet.  An existing file is left exactly as it is (no
 * truncation), which is what the key-store open needs when another process
 * creates and fills the same file at the same moment (files.cpp). */
void createIfMissing(const char *path);

/* Forgets the resolved key-store directories, the per-user directory and the
 * recorded system directory, so that a test can resolve them again from a
 * rewritten configuration file (config.cpp, keystore.cpp). */
void resetDirectories();
void resetKeystorePaths();

}  // namespace osa_store

#endif
