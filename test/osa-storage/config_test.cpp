// Integer entries, resources and the system and user directories, read from
// the configuration file.
#include "test/osa-storage/platform_test.h"

namespace osa_test {

class ConfigFile : public Platform {};

TEST_F(ConfigFile, IntegerEntries) {
    Config(
        "Trace:b:1:01\nFour:b:4:00:00:00:01\nFive:b:5:01:02:03:04:05\n"
        "Str:s:0:ab\nLong:s:0:abcdefg\n");
    uint32_t value = 99, size = 4;
    EXPECT_EQ(getIntegerFromCFG("Trace", &value, &size), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(getIntegerFromCFG("Four", &value, &size), 0);
    EXPECT_EQ(value, 1u);
    value = 99;
    EXPECT_EQ(getIntegerFromCFG("Five", &value, &size), 0);  // too long: 0, success
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(getIntegerFromCFG("Str", &value, &size), 0);  // 'a' 'b' NUL folded
    EXPECT_EQ(value, 0x616200u);
    EXPECT_EQ(getIntegerFromCFG("Long", &value, &size), -13);
    EXPECT_EQ(getIntegerFromCFG("Missing", &value, &size), -7);
    size = 5;
    EXPECT_EQ(getIntegerFromCFG("Five", &value, &size), -13);
    EXPECT_EQ(size, 5u);
}

TEST_F(ConfigFile, ResourcesReportSizesAsTheLookupDid) {
    Config("Trace:b:1:01\nTraceFile:s:9:/x/y.log\n");
    uint32_t value = 0, size = 4;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE, &value, &size), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(size, 0u);
    for (uint32_t id : {0x1001u, 0x1009u, 0x0FFFu}) {
        size = 8;
        EXPECT_EQ(OSA_GetResource(id, &value, &size), -18);
        EXPECT_EQ(size, 0u);
    }
    char name[64] = {};
    size = sizeof name;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE_FILE, name, &size), 0);
    EXPECT_EQ(size, 9u);
    EXPECT_STREQ(name, "/x/y.log");
    char small[4] = "zzz";
    size = sizeof small;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE_FILE, small, &size), 0);
    EXPECT_EQ(size, 9u);
    EXPECT_STREQ(small, "zzz");
    size = sizeof name;
    EXPECT_EQ(OSA_GetResource(OSA_RES_DAC, name, &size), -7);

    // No configuration file: strings succeed with 0xFFFFFFFF, integers are 0.
    unlink(OSA_CONFIG_PATH);
    size = sizeof small;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE_FILE, small, &size), 0);
    EXPECT_EQ(size, 0xFFFFFFFFu);
    EXPECT_STREQ(small, "zzz");
    size = 4;
    value = 7;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE, &value, &size), 0);
    EXPECT_EQ(value, 0u);
}

TEST_F(ConfigFile, DirectoriesOfUpTo199Characters) {
    const std::string dir199 = "/" + std::string(198, 'd');
    Config("ConfigDirectory:s:0:" + dir199 + "x\n");
    EXPECT_EQ(_GetVESKDirectories(), -14);
    EXPECT_STREQ(OSA_Get_VESK_SystemPath(), "");  // the refused value is not kept
    // A later call reads the file again; the root defaults to the system one.
    Config("ConfigDirectory:s:0:" + dir199 + "\n");
    EXPECT_EQ(_GetVESKDirectories(), 0);
    EXPECT_EQ(OSA_Get_VESK_SystemPath(), dir199);
    EXPECT_EQ(OSA_Get_VESK_UserPath(), dir199);
    // Resolved once per process: later changes do not reach the strings.
    Config("ConfigDirectory:s:0:/other\n");
    EXPECT_EQ(_GetVESKDirectories(), 0);
    EXPECT_EQ(OSA_Get_VESK_SystemPath(), dir199);
}

TEST_F(ConfigFile, AConfigurationFileThatIsNotRegularReadsAsMissing) {
    for (bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "link to /dev/zero");
        PlantNonRegular(OSA_CONFIG_PATH, fifo);
        InBoundedChild([] {
            char name[16] = "zzz";
            uint32_t size = sizeof name;
            EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE_FILE, name, &size), 0);
            EXPECT_EQ(size, 0xFFFFFFFFu);
            EXPECT_STREQ(name, "zzz");
            uint32_t value = 7;
            size = sizeof value;
            EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE, &value, &size), 0);
            EXPECT_EQ(value, 0u);
            EXPECT_EQ(_GetVESKDirectories(), -14);
            EXPECT_EQ(OSA_MkUserdir(nullptr), EINVAL);
        });
        unlink(OSA_CONFIG_PATH);
    }
}

}  // namespace osa_test
