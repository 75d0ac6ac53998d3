// main of the platform tests.
#include "test/osa-storage/platform_test.h"

std::string osa_test::provisioned;

int main(int argc, char **argv) {
    // Never run against the host's own configuration.
    if (getenv("KAVO_PLATFORM_ROOT") == nullptr || !osa_test::Exists(OSA_CONFIG_PATH)) {
        fprintf(stderr, "needs a private platform root (run through tools/kavo-platform)\n");
        return 77;
    }
    osa_test::provisioned = osa_test::ReadText(OSA_CONFIG_PATH);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
