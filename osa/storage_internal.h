/* OS abstraction layer, storage group: names shared between the storage files
 * (files, configuration, key-store files, trace) and their unit tests.
 *
 * Nothing here is exported from the add-on: these are C++ names with hidden
 * visibility; the unit tests reach them because they link the layer's static
 * library directly. */
#ifndef KAVO_OSA_STORAGE_INTERNAL_H
#define KAVO_OSA_STORAGE_INTERNAL_H

#include <stdint.h>

namespace osa_store {

/* Creates the file at path, empty and with permissions 0644, when nothing
 * exists there yet.  An existing file is left exactly as it is (no
 * truncation), which is what the key-store open needs when another process
 * creates and fills the same file at the same moment (files.cpp). */
void CreateIfMissing(const char *path);

/* Forgets the resolved key-store directories, the per-user directory and the
 * recorded system directory, so that a test can resolve them again from a
 * rewritten configuration file (config.cpp, keystore.cpp). */
void ResetDirectories();
void ResetKeystorePaths();

}  // namespace osa_store

#endif
