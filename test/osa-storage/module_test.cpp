// The key-store functions as an outside library in the same process reaches
// them: the built add-on is loaded with dlopen and every function is found
// through its dynamic symbol.  Creates, writes, reads back and deletes a
// key-store file by class inside a private platform root.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "osa/osa.h"

namespace {

int failures = 0;

void Check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

template <typename F>
F Find(void *module, const char *name) {
    void *symbol = dlsym(module, name);
    if (symbol == nullptr) {
        fprintf(stderr, "missing export %s\n", name);
        exit(1);
    }
    return reinterpret_cast<F>(symbol);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s MODULE\n", argv[0]);
        return 2;
    }
    if (getenv("KAVO_PLATFORM_ROOT") == nullptr || access(OSA_CONFIG_PATH, F_OK) != 0) {
        fprintf(stderr, "needs a private platform root (run through tools/kavo-platform)\n");
        return 77;
    }
    // The add-on binds every import at load; its Node-API imports come from
    // this program's failing stand-ins (test/support/napi_unavailable.cpp).
    void *module = dlopen(argv[1], RTLD_LAZY | RTLD_LOCAL);
    if (module == nullptr) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto init = Find<decltype(&OSA_cfg_Init)>(module, "OSA_cfg_Init");
    auto open = Find<decltype(&OSA_cfg_Open)>(module, "OSA_cfg_Open");
    auto read = Find<decltype(&OSA_cfg_Read)>(module, "OSA_cfg_Read");
    auto write = Find<decltype(&OSA_cfg_Write)>(module, "OSA_cfg_Write");
    auto close = Find<decltype(&OSA_cfg_Close)>(module, "OSA_cfg_Close");
    auto status = Find<decltype(&OSA_cfg_Status)>(module, "OSA_cfg_Status");
    auto remove = Find<decltype(&OSA_cfg_Delete)>(module, "OSA_cfg_Delete");

    Check(init(nullptr) == 0, "OSA_cfg_Init");
    const char keys[] = "machine keys";
    OsaCfgHandle *cfg = nullptr;
    int32_t count = 0;
    Check(open(nullptr, 7, OSA_FILE_CREATE, &cfg) == 0 && cfg != nullptr, "open for writing");
    if (cfg != nullptr) {
        Check(write(cfg, 0, sizeof keys, keys, &count) == 0 && count == sizeof keys, "write");
        Check(close(cfg) == 0, "close after writing");
    }
    cfg = nullptr;
    char back[64] = {};
    Check(open(nullptr, 7, OSA_FILE_READ_ONLY, &cfg) == 0 && cfg != nullptr, "open for reading");
    if (cfg != nullptr) {
        Check(read(cfg, 0, sizeof back, back, &count) == 0 && count == sizeof keys &&
                  memcmp(back, keys, sizeof keys) == 0,
              "read back");
        Check(close(cfg) == 0, "close after reading");
    }
    int32_t exists = 0;
    uint32_t size = 0;
    Check(status(nullptr, 7, &exists, &size, nullptr, 0, nullptr, nullptr) == 0 && exists == 1 &&
              size == sizeof keys,
          "status of the written file");
    Check(access("/etc/opt/zorvex/system/xmgrcfg.ks0", F_OK) == 0, "file in the system directory");
    Check(remove(7) == 0, "delete");
    Check(status(nullptr, 7, &exists, &size, nullptr, 0, nullptr, nullptr) == 0 && exists == 0,
          "status after delete");
    dlclose(module);
    if (failures == 0) {
        printf("key store through the add-on: ok\n");
    }
    return failures == 0 ? 0 : 1;
}
