// The machine keys in a PKCS#11 token: a SoftHSM2 token of this test's own
// (test/support/with-token-platform).  The keys are made inside it and can
// never be read out; processes starting together make one set of them; the
// token's session outlives the service's sessions and is made again after
// fork(); every way the token can be unusable fails closed, with one line
// naming the cause and never a key-store file in its place.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "test/pex2/pex2_test.h"
#include "test/support/temp_dir.h"
#include "test/support/test_token.h"

using namespace pex2test;
using kavotest::TestToken;

namespace {

const char *kMarker = kavotest::kTokenMarkerPath;
const char *kConfig = kavotest::kConfigPath;
const WrapCase &kKind12 = kWrapCases[2];

/* Opens a session, wraps a fresh content key and unwraps it again; the
 * status of the first call that failed. */
int32_t RoundTrip(uint64_t module) {
    Session s(module);
    if (s.status() != PEX2_OK) {
        return s.status();
    }
    const PexHandle wrapping = s.FindWrappingKey();
    int32_t status = PEX2_OK;
    const std::vector<uint8_t> wrapped = Wrap(s, kKind12, wrapping, s.GenerateKey(128), &status);
    PexHandle back = 0;
    return status != PEX2_OK ? status : Unwrap(s, wrapping, wrapped, &back);
}

bool Exists(const char *path) {
    struct stat info {};
    return lstat(path, &info) == 0;
}

std::string ReadText(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::trunc) << text;
}

/* Runs body in a child whose standard error goes to *errors; returns its
 * exit code. */
template <typename Body>
int InChild(Body body, std::string *errors) {
    kavotest::TempDir dir;
    if (!dir.create("pex2-token")) {
        return -1;
    }
    const std::string file = dir.path() + "/stderr";
    const pid_t child = fork();
    if (child == 0) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        _exit(body());
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    *errors = ReadText(file);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

/* A status as an exit code. */
int Code(int32_t status) {
    return -status % 256;
}

class Token : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(kavotest::TokenConfigured()) << "run under test/support/with-token-platform";
        ASSERT_TRUE(token_.Open()) << token_.error();
        alarm(120);  // a call that blocks fails the program instead of hanging
    }
    void TearDown() override { alarm(0); }

    /* Back to a token and root on which no key was made yet. */
    void Forget() {
        token_.DestroyAll(kavotest::kWrappingKeyLabel);
        token_.DestroyAll(kavotest::kPartitionKeyLabel);
        unlink(kMarker);
    }

    TestToken token_;
};

TEST_F(Token, KeysAreMadeInsideTheTokenAndNeverLeaveIt) {
    Forget();
    ASSERT_EQ(RoundTrip(0x7100u), PEX2_OK);
    for (const char *label : {kavotest::kWrappingKeyLabel, kavotest::kPartitionKeyLabel}) {
        SCOPED_TRACE(label);
        const std::vector<CK_OBJECT_HANDLE> keys = token_.Find(label);
        ASSERT_EQ(keys.size(), 1u);
        const struct {
            CK_ATTRIBUTE_TYPE type;
            CK_ULONG value;
        } expected[] = {{CKA_TOKEN, CK_TRUE},
                        {CKA_PRIVATE, CK_TRUE},
                        {CKA_SENSITIVE, CK_TRUE},
                        {CKA_EXTRACTABLE, CK_FALSE},
                        {CKA_ALWAYS_SENSITIVE, CK_TRUE},
                        {CKA_NEVER_EXTRACTABLE, CK_TRUE},
                        {CKA_LOCAL, CK_TRUE},
                        {CKA_WRAP, CK_FALSE},
                        {CKA_KEY_TYPE, CKK_AES},
                        {CKA_VALUE_LEN, 32}};
        for (const auto &attribute : expected) {
            EXPECT_EQ(token_.Number(keys[0], attribute.type), attribute.value)
                << "attribute 0x" << std::hex << attribute.type;
        }
        EXPECT_EQ(token_.ReadValue(keys[0]), CKR_ATTRIBUTE_SENSITIVE);
    }
    // Kind 12 is what the protection layer sees; the first use is recorded
    // beside where the key file would be, and no key file is made.
    Session s(0x7101u);
    uint32_t present = 0;
    EXPECT_EQ(s.Attribute(s.FindWrappingKey(), PEX_ATTR_KEY_KIND, &present), 12u);
    EXPECT_EQ(ReadFileBytes(kMarker).size(), 176u);
    struct stat info {};
    ASSERT_EQ(stat(kMarker, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(Exists(kKeyStorePath));

    // Unwrapping in the token refuses damaged bytes, and a refusal leaves
    // the next unwrap of good bytes right.
    const PexHandle wrapping = s.FindWrappingKey();
    int32_t status = PEX2_OK;
    const std::vector<uint8_t> wrapped = Wrap(s, kKind12, wrapping, s.GenerateKey(128), &status);
    ASSERT_EQ(status, PEX2_OK);
    for (size_t i = 8; i < wrapped.size(); i += 3) {
        std::vector<uint8_t> damaged = wrapped;
        damaged[i] ^= 0x01;
        PexHandle none = 0;
        EXPECT_EQ(Unwrap(s, wrapping, damaged, &none), PEX2_ERR_BAD_WRAPPED_KEY) << i;
        EXPECT_EQ(Unwrap(s, wrapping, wrapped, &none), PEX2_OK) << i;
    }
}

TEST_F(Token, TheTokenSessionOutlivesServiceSessionsAndIsMadeAgainAfterFork) {
    // Where no other session is open, closing this one logs the user out:
    // so it is (in a child, where the library starts afresh).
    std::string errors;
    EXPECT_EQ(InChild(
                  [] {
                      TestToken alone;
                      return alone.Open() && !alone.LoggedInElsewhere() ? 0 : 1;
                  },
                  &errors),
              0)
        << errors;
    // Each round trip ends its service session; the token's session and
    // login stay, for the next one.
    for (uint64_t module = 0x7200u; module < 0x7203u; ++module) {
        EXPECT_EQ(RoundTrip(module), PEX2_OK);
        EXPECT_TRUE(token_.LoggedInElsewhere());
    }
    // A child starts the library afresh and logs in itself; the parent's
    // session is untouched by it.
    EXPECT_EQ(InChild([] { return Code(RoundTrip(0x7210u)); }, &errors), 0) << errors;
    EXPECT_TRUE(token_.LoggedInElsewhere());
    EXPECT_EQ(RoundTrip(0x7205u), PEX2_OK);
}

TEST_F(Token, ProcessesStartingTogetherMakeOneSetOfKeys) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Forget();
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < 6; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                close(gate[1]);
                char byte;
                (void)!read(gate[0], &byte, 1);
                _exit(Code(RoundTrip(0x7300u + static_cast<uint64_t>(i))));
            }
            children.push_back(child);
        }
        close(gate[0]);
        close(gate[1]);
        for (pid_t child : children) {
            int wstatus = 0;
            ASSERT_EQ(waitpid(child, &wstatus, 0), child);
            EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
        }
        EXPECT_EQ(token_.Find(kavotest::kWrappingKeyLabel).size(), 1u);
        EXPECT_EQ(token_.Find(kavotest::kPartitionKeyLabel).size(), 1u);
        // And this process, which made none of them, uses them too.
        EXPECT_EQ(RoundTrip(0x7310u), PEX2_OK);
    }
}

TEST_F(Token, AWrongPinIsNotOfferedAgainUntilThePinFileChanges) {
    ASSERT_EQ(RoundTrip(0x7400u), PEX2_OK);
    const std::string pinFile = kavotest::ConfigEntry("Pkcs11PinFile");
    const std::string pin = ReadText(pinFile);
    std::string errors;
    // In a child, which logs in afresh: refused, then refused without
    // asking the token, then taken once the file holds the right PIN again.
    const int code = InChild(
        [&] {
            WriteText(pinFile, "not-the-pin\n");
            const int32_t first = RoundTrip(0x7401u);
            const int32_t second = RoundTrip(0x7402u);
            sleep(1);  // the file's time must move
            WriteText(pinFile, pin);
            const int32_t third = RoundTrip(0x7403u);
            return first == PEX2_ERR_TOKEN_UNAVAILABLE && second == first && third == PEX2_OK ? 0
                                                                                              : 1;
        },
        &errors);
    WriteText(pinFile, pin);
    EXPECT_EQ(code, 0) << errors;
    EXPECT_NE(errors.find("refused the login: wrong PIN"), std::string::npos) << errors;
    EXPECT_NE(errors.find("not offered again until the file changes"), std::string::npos) << errors;
}

/* Only run by the next test, in a new process of this program: one session
 * start, with nothing of the fixture's, whose status is the exit code. */
TEST(TokenChild, DISABLED_OneSession) {
    _exit(Code(RoundTrip(0x7500u)));
}

TEST_F(Token, AnUnusableTokenFailsClosedWithOneLineNamingTheCause) {
    ASSERT_EQ(RoundTrip(0x7600u), PEX2_OK);
    const std::string config = ReadText(kConfig);
    const std::string pinFile = kavotest::ConfigEntry("Pkcs11PinFile");
    kavotest::TempDir empty;
    ASSERT_TRUE(empty.create("pex2-no-token"));
    WriteText(empty.path() + "/softhsm2.conf",
              "directories.tokendir = " + empty.path() + "\nobjectstore.backend = file\n");
    const std::string noTokenConf = "SOFTHSM2_CONF=" + empty.path() + "/softhsm2.conf";
    // Lines of the configuration with one entry replaced (or dropped, for "").
    const auto withEntry = [&](const std::string &name, const std::string &value) {
        std::istringstream lines(config);
        std::string out;
        for (std::string line; std::getline(lines, line);) {
            if (line.compare(0, name.size() + 1, name + ":") != 0) {
                out += line + "\n";
            } else if (!value.empty()) {
                out += name + ":s:" + std::to_string(value.size()) + ":" + value + "\n";
            }
        }
        return out;
    };
    const struct Row {
        const char *name;
        std::string config;  // the configuration file during the row
        mode_t pinMode;
        std::string env;  // NAME=value for the process, or ""
        bool keysGone;
        int32_t status;
        const char *cause;
    } rows[] = {
        {"wrong PIN", config, 0600, "", false, PEX2_ERR_TOKEN_UNAVAILABLE, "wrong PIN"},
        {"PIN file readable by others", config, 0644, "", false, PEX2_ERR_TOKEN_UNAVAILABLE,
         "is open to group or others"},
        {"PIN file missing", withEntry("Pkcs11PinFile", pinFile + ".gone"), 0600, "", false,
         PEX2_ERR_TOKEN_UNAVAILABLE, "cannot be opened"},
        {"no token with the label", config, 0600, noTokenConf, false, PEX2_ERR_TOKEN_UNAVAILABLE,
         "no token labelled \"kavo\""},
        {"module missing", withEntry("Pkcs11Module", "/nonexistent/libpkcs11.so"), 0600, "", false,
         PEX2_ERR_TOKEN_UNAVAILABLE, "cannot be loaded"},
        {"token named only in part", withEntry("Pkcs11TokenLabel", ""), 0600, "", false,
         PEX2_ERR_TOKEN_UNAVAILABLE, "only in part"},
        {"token lost its keys", config, 0600, "", true, PEX2_ERR_TOKEN_KEYS_MISSING,
         "has lost the machine key"},
    };
    const std::string pin = ReadText(pinFile);
    const std::vector<uint8_t> marker = ReadFileBytes(kMarker);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        WriteText(kConfig, row.config);
        chmod(pinFile.c_str(), row.pinMode);
        if (std::string(row.name) == "wrong PIN") {
            WriteText(pinFile, "not-the-pin\n");
        }
        if (row.keysGone) {
            token_.DestroyAll(kavotest::kWrappingKeyLabel);
            token_.DestroyAll(kavotest::kPartitionKeyLabel);
        }
        std::string errors;
        const int code = InChild(
            [&] {
                if (!row.env.empty()) {
                    putenv(const_cast<char *>(row.env.c_str()));
                }
                execl("/proc/self/exe", "pex2_token_test", "--gtest_also_run_disabled_tests",
                      "--gtest_filter=TokenChild.DISABLED_OneSession",
                      static_cast<char *>(nullptr));
                return 127;
            },
            &errors);
        WriteText(kConfig, config);
        WriteText(pinFile, pin);
        chmod(pinFile.c_str(), 0600);
        EXPECT_EQ(code, Code(row.status)) << errors;
        // One line, naming the cause; no key file, no new keys, the marker
        // as it was.
        std::istringstream lines(errors);
        int count = 0;
        for (std::string line; std::getline(lines, line);) {
            count += line.rfind("PEX2: ", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(count, 1) << errors;
        EXPECT_NE(errors.find(row.cause), std::string::npos) << errors;
        EXPECT_FALSE(Exists(kKeyStorePath));
        EXPECT_EQ(ReadFileBytes(kMarker), marker);
        EXPECT_EQ(token_.Find(kavotest::kWrappingKeyLabel).size(), row.keysGone ? 0u : 1u);
    }
}

}  // namespace
