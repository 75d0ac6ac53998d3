// Key-store directories and files: the path table, opening, reading and
// writing, locking between processes, and the user directory.
#include "test/osa-storage/platform_test.h"

namespace osa_test {

class KeyStore : public Platform {};

TEST_F(KeyStore, PathTable) {
    Config("ConfigDirectory:s:4:/a/b\nUserDirectoryRoot:s:2:/u\n");
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    char path[OSA_PATH_MAX];
    EXPECT_EQ(_OSA_GetCfgPath(3, path), 17u);
    EXPECT_STREQ(path, "/a/b/xmgrcfg.vkd");
    EXPECT_EQ(_OSA_GetCfgPath(0, path), 5u);
    EXPECT_STREQ(path, "/a/b");
    const std::string user = "/u/" + kUid + "/";
    EXPECT_EQ(_OSA_GetCfgPath(1, nullptr), user.size() + 1);
    EXPECT_EQ(Path(1), user);
    EXPECT_EQ(OSA_Get_VESK_UserPath(), user);
    EXPECT_EQ(Path(4), user + "xmgrcfg.ks2");
    EXPECT_EQ(Path(7), "/a/b/xmgrcfg.ks0");
    EXPECT_EQ(Path(12), user + "vesksdi.key");
    memset(path, 'Q', sizeof path);
    EXPECT_EQ(_OSA_GetCfgPath(14, path), 0u);
    EXPECT_EQ(path[0], 'Q');

    // Status: class 14 touches nothing; a capacity one short of the size
    // delivers the path without its NUL.
    int32_t exists = -5, nameSize = -5;
    uint32_t size = 77;
    EXPECT_EQ(OSA_cfg_Status(nullptr, 14, &exists, &size, nullptr, 64, path, &nameSize), 2);
    EXPECT_EQ(exists, -5);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(nameSize, -5);
    EXPECT_EQ(OSA_cfg_Status(nullptr, 3, &exists, &size, nullptr, 16, path, &nameSize), 0);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(nameSize, 17);
    EXPECT_EQ(memcmp(path, "/a/b/xmgrcfg.vkd", 16), 0);
    EXPECT_EQ(path[16], 'Q');
}

TEST_F(KeyStore, UnconfiguredDirectoriesGiveNoUsablePath) {
    Config("Trace:b:1:00\n");
    EXPECT_EQ(OSA_cfg_Init(nullptr), -14);
    EXPECT_EQ(_OSA_GetCfgPath(7, nullptr), 1u);
    EXPECT_EQ(_OSA_GetCfgPath(4, nullptr), 1u);
    OsaCfgHandle *cfg = nullptr;
    EXPECT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_CREATE, &cfg), -1);
    EXPECT_EQ(cfg, nullptr);
    EXPECT_FALSE(Exists("/xmgrcfg.ks0"));
    // Fixing the configuration later is picked up.
    Config(provisioned);
    EXPECT_EQ(Path(7), kSystemDir + "/xmgrcfg.ks0");
}

TEST_F(KeyStore, KeyStoreRoundTrip) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    const std::string file = kSystemDir + "/xmgrcfg.ks0";
    OSA_cfg_Delete(7);
    ASSERT_FALSE(Exists(file));
    // A missing file is created empty (0644) even for a read-only open.
    OsaCfgHandle *cfg = nullptr;
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_READ_ONLY, &cfg), 0);
    ASSERT_NE(cfg, nullptr);
    EXPECT_EQ(cfg->Signature, OSA_CFG_SIGNATURE);
    EXPECT_EQ(cfg->Self, cfg);
    EXPECT_EQ(cfg->Name, file);
    EXPECT_EQ(cfg->NameSize, file.size() + 1);
    char buffer[16] = {};
    int32_t count = -1;
    EXPECT_EQ(OSA_cfg_Read(cfg, 0, sizeof buffer, buffer, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);
    struct stat status = {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);

    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_CREATE, &cfg), 0);
    EXPECT_EQ(OSA_cfg_Write(cfg, 2, 4, "keys", &count), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_READ_ONLY, &cfg), 0);
    EXPECT_EQ(OSA_cfg_Read(cfg, 0, sizeof buffer, buffer, &count), 0);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(memcmp(buffer, "\0\0keys", 6), 0);
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);

    int32_t exists = 0, nameSize = 0;
    uint32_t size = 0;
    char name[OSA_PATH_MAX];
    EXPECT_EQ(OSA_cfg_Status(nullptr, 7, &exists, &size, nullptr, sizeof name, name, &nameSize), 0);
    EXPECT_EQ(exists, 1);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(name, file);
    EXPECT_EQ(OSA_cfg_Delete(7), 0);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(OSA_cfg_Delete(7), -1);
    EXPECT_EQ(OSA_cfg_Delete(14), -1);
    cfg = reinterpret_cast<OsaCfgHandle *>(1);
    EXPECT_EQ(OSA_cfg_Open(nullptr, 14, 0, &cfg), -1);
    EXPECT_EQ(cfg, nullptr);
    // Without a place for the handle the open only makes sure the file exists.
    EXPECT_EQ(OSA_cfg_Open(nullptr, 8, 0, nullptr), 0);
    EXPECT_TRUE(Exists(kSystemDir + "/xmgrcfg.ks1"));
}

TEST_F(KeyStore, KeyStoreFilesMustBeRegularFiles) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    OSA_cfg_Delete(12);
    const std::string store = Path(7), key = Path(2);
    PlantNonRegular(store, true);
    PlantNonRegular(key, false);
    InBoundedChild([] {
        for (uint32_t fileClass : {2u, 7u}) {
            for (uint32_t flags : {OSA_FILE_READ_ONLY, 0u, OSA_FILE_CREATE}) {
                OsaCfgHandle *cfg = reinterpret_cast<OsaCfgHandle *>(1);
                EXPECT_EQ(OSA_cfg_Open(nullptr, fileClass, flags, &cfg), -1)
                    << "class " << fileClass << ", flags " << flags;
                EXPECT_EQ(cfg, nullptr);
            }
            // Status and kind see them as missing.
            int32_t exists = -5;
            uint32_t size = 77;
            EXPECT_EQ(
                OSA_cfg_Status(nullptr, fileClass, &exists, &size, nullptr, 0, nullptr, nullptr),
                0);
            EXPECT_EQ(exists, 0);
            EXPECT_EQ(size, 0u);
        }
        int32_t kind = 9, reserved = 9;
        uint32_t length = 0;
        EXPECT_EQ(OSA_cfg_Class(nullptr, &kind, &reserved, 0, nullptr, &length), 0);
        EXPECT_EQ(kind, 0);
        // The system directory, class 0, is a directory and still opens.
        EXPECT_EQ(OSA_cfg_Open(nullptr, 0, OSA_FILE_READ_ONLY, nullptr), 0);
    });
    // Nothing was created or replaced in their place.
    struct stat status = {};
    EXPECT_TRUE(lstat(store.c_str(), &status) == 0 && S_ISFIFO(status.st_mode));
    EXPECT_TRUE(lstat(key.c_str(), &status) == 0 && S_ISLNK(status.st_mode));
    unlink(store.c_str());
    unlink(key.c_str());
}

TEST_F(KeyStore, HandleChecks) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    int32_t count = 0;
    char byte = 0;
    EXPECT_EQ(CheckCfPtr(nullptr), 2);
    EXPECT_EQ(OSA_cfg_Close(nullptr), 2);
    EXPECT_EQ(OSA_cfg_Read(nullptr, 0, 1, &byte, &count), 2);
    OsaCfgHandle *cfg = nullptr;
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, 0, &cfg), 0);
    OsaCfgHandle copy = *cfg;
    EXPECT_EQ(CheckCfPtr(&copy), 3);
    EXPECT_EQ(OSA_cfg_Write(&copy, 0, 1, "x", &count), 3);
    cfg->Signature = 551;
    EXPECT_EQ(OSA_cfg_Close(cfg), 4);  // refused and not released
    EXPECT_EQ(OSA_cfg_Read(cfg, 0, 1, &byte, &count), 4);
    cfg->Signature = OSA_CFG_SIGNATURE;
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);
}

TEST_F(KeyStore, KeyStoreUpdatesFromSeveralProcessesAreNotLost) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_CREATE, nullptr), 0);
    // Each process adds 1 to a counter in the file 40 times, reading and
    // writing under one exclusive open.
    auto worker = [] {
        for (int i = 0; i < 40; ++i) {
            OsaCfgHandle *cfg = nullptr;
            uint32_t counter = 0;
            int32_t count = 0;
            if (OSA_cfg_Open(nullptr, 7, 0, &cfg) != 0 ||
                OSA_cfg_Read(cfg, 0, sizeof counter, &counter, &count) != 0) {
                return 1;
            }
            ++counter;
            usleep(100);
            if (OSA_cfg_Write(cfg, 0, sizeof counter, &counter, &count) != 0 ||
                OSA_cfg_Close(cfg) != 0) {
                return 2;
            }
        }
        return 0;
    };
    pid_t children[3];
    for (pid_t &child : children) {
        child = fork();
        if (child == 0) {
            _exit(worker());
        }
        ASSERT_GT(child, 0);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    OsaCfgHandle *cfg = nullptr;
    uint32_t counter = 0;
    int32_t count = 0;
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_READ_ONLY, &cfg), 0);
    EXPECT_EQ(OSA_cfg_Read(cfg, 0, sizeof counter, &counter, &count), 0);
    EXPECT_EQ(counter, 120u);
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);
}

TEST_F(KeyStore, UserDirectoryAndKind) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    const std::string userDir = kRoot + "/users/" + kUid;
    OSA_cfg_Delete(2);
    OSA_cfg_Delete(12);
    EXPECT_EQ(OSA_cfg_Create(nullptr), 0);  // runs the provisioned MkUserDir
    struct stat status = {};
    ASSERT_EQ(stat(userDir.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    int32_t kind = 9, reserved = 9;
    uint32_t length = 0;
    char user[32];
    memset(user, 'Q', sizeof user);
    EXPECT_EQ(OSA_cfg_Class(nullptr, &kind, &reserved, 0, user, &length), 0);
    EXPECT_EQ(kind, 0);
    EXPECT_EQ(reserved, 0);
    EXPECT_EQ(length, kUid.size());
    EXPECT_EQ(user[0], 'Q');  // capacity 0: nothing copied
    ASSERT_EQ(OSA_cfg_Open(nullptr, 12, 0, nullptr), 0);
    EXPECT_TRUE(Exists(userDir + "/vesksdi.key"));
    EXPECT_EQ(OSA_cfg_Class(nullptr, &kind, &reserved, length, user, &length), 0);
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(std::string(user, length), kUid);
    EXPECT_EQ(user[length], 'Q');  // exactly the capacity, no NUL
    ASSERT_EQ(OSA_cfg_Open(nullptr, 2, 0, nullptr), 0);
    EXPECT_EQ(OSA_cfg_Class(nullptr, &kind, &reserved, sizeof user, user, &length), 0);
    EXPECT_EQ(kind, -1);
    EXPECT_STREQ(user, kUid.c_str());
}

TEST_F(KeyStore, MkUserdirRunsOnlyATextCommand) {
    const std::string marker = kRoot + "/marker";
    Config("MkUserDir:b:2:41:42\nMkUserDir:s:0:touch " + marker + "\n");
    EXPECT_EQ(OSA_MkUserdir(nullptr), 2);  // the first entry is binary
    Config("Trace:b:1:00\n");
    EXPECT_EQ(OSA_MkUserdir(nullptr), 2);
    Config("MkUserDir:s:0:touch " + marker + "\n");
    EXPECT_FALSE(Exists(marker));
    EXPECT_EQ(OSA_MkUserdir(nullptr), 0);
    EXPECT_TRUE(Exists(marker));
    Config("MkUserDir:s:0:exit 3\n");
    EXPECT_EQ(OSA_MkUserdir(nullptr), 3 << 8);
    unlink(OSA_CONFIG_PATH);
    EXPECT_EQ(OSA_MkUserdir(nullptr), ENOENT);
}

}  // namespace osa_test
