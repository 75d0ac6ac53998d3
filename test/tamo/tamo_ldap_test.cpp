// The LDAP back end: directory.conf, and lookups against a private slapd
// (tools/ldap-fixture) loaded with entries written here.  The server tests
// skip when slapd is not installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"
#include "test/support/delay_proxy.h"
#include "test/support/in_child.h"
#include "test/support/temp_dir.h"
#include "test/tamo/lookups.h"

namespace {

bool parses(const std::string &text, std::string *error = nullptr) {
    tamo::LdapConfig config;
    std::string message;
    bool ok = tamo::parseConfig(text.data(), text.size(), config, message);
    if (error != nullptr) {
        *error = message;
    }
    return ok;
}

TEST(DirectoryConf, ReadsEveryKeyWithDefaultsForTheRest) {
    tamo::LdapConfig config;
    std::string error;
    const std::string text =
        "# test\n  uri = ldap://a.example ldaps://b.example:636  \r\n\nbase=dc=example,dc=com\n"
        "timeout_ms = 250\nsev_attribute = isMemberOf\nguid_attribute = 1.2.3.4\n";
    ASSERT_TRUE(tamo::parseConfig(text.data(), text.size(), config, error)) << error;
    EXPECT_EQ(config.uriList, "ldap://a.example ldaps://b.example:636");
    EXPECT_EQ(config.uris.size(), 2u);
    EXPECT_FALSE(config.allLdapi);
    EXPECT_EQ(config.base, "dc=example,dc=com");
    EXPECT_EQ(config.timeoutMs, 250);
    EXPECT_EQ(config.loginAttribute, "sAMAccountName");
    EXPECT_EQ(config.sidAttribute, "objectSid");
    EXPECT_EQ(config.guidAttribute, "1.2.3.4");
    EXPECT_EQ(config.sevAttribute, "isMemberOf");
    EXPECT_EQ(config.dnAttribute, "distinguishedName");
    EXPECT_FALSE(config.startTls);
    // Only user objects answer for a login, unless the schema says otherwise.
    EXPECT_EQ(config.userFilter, "(&(objectCategory=person)(objectClass=user))");
    EXPECT_EQ(config.caFile, "");
    const std::string more = text +
                             "user_filter = (&(objectClass=inetOrgPerson)(!(x=\\29)))\n"
                             "tls_ca_file = /etc/ssl/corp-ca.pem\ndn_attribute = entryDN\n";
    tamo::LdapConfig other;
    ASSERT_TRUE(tamo::parseConfig(more.data(), more.size(), other, error)) << error;
    EXPECT_EQ(other.userFilter, "(&(objectClass=inetOrgPerson)(!(x=\\29)))");
    EXPECT_EQ(other.caFile, "/etc/ssl/corp-ca.pem");
    EXPECT_EQ(other.dnAttribute, "entryDN");
}

TEST(DirectoryConf, TheServersTimeLimitIsNeverShorterThanTheTimeLeft) {
    // A server may count a limit of N seconds from its last whole second,
    // and end the search after little more than N - 1 of them.
    for (int64_t left = 1; left <= 20000; left += 7) {
        EXPECT_GE((tamo::serverTimeLimit(left) - 1) * int64_t{1000}, left) << left;
        EXPECT_LE((tamo::serverTimeLimit(left) - 2) * int64_t{1000}, left) << left;
    }
    EXPECT_EQ(tamo::serverTimeLimit(2000), 3);
}

TEST(DirectoryConf, RefusesWhatItCannotUseWithTheLine) {
    const std::string ok = "uri = ldapi://%2Ftmp%2Fs\nbase = o=corp\n";
    ASSERT_TRUE(parses(ok));
    const struct {
        std::string text, message;
    } bad[] = {
        {"base = o=corp\n", "uri is missing"},
        {"uri = ldap://h\n", "base is missing"},
        {ok + "colour = blue\n", "line 3: unknown key \"colour\""},
        {ok + "base = o=x\n", "line 3: base given twice"},
        {ok + "timeout_ms\n", "line 3: expected key = value"},
        {ok + "timeout_ms =\n", "line 3: timeout_ms has no value"},
        {ok + "timeout_ms = 0\n", "line 3: timeout_ms must be"},
        {ok + "timeout_ms = 5s\n", "line 3: timeout_ms must be"},
        {ok + "timeout_ms = 99999999999\n", "line 3: timeout_ms must be"},
        {ok + "starttls = true\n", "line 3: starttls must be yes or no"},
        {ok + "starttls = yes\n", "starttls applies to ldap:// URIs only"},
        {"uri = http://h\nbase = o=c\n", "line 1: uri \"http://h\" is not ldap://"},
        {"uri = ldap://a,ldap://b\nbase = o=c\n", "line 1: separate URIs with spaces"},
        {ok + "login_attribute = uid)(cn=*\n", "line 3: login_attribute \"uid)(cn=*\" is not"},
        {ok + "guid_attribute = 1..2\n", "is not an attribute name"},
        {ok + "user_filter = objectClass=user\n",
         "line 3: user_filter \"objectClass=user\" is not one filter in parentheses"},
        {ok + "user_filter = (a=b))(|(c=d)\n", "is not one filter in parentheses"},
        {ok + "user_filter = (a=b)(c=d)\n", "is not one filter in parentheses"},
        {ok + "user_filter = ((a=b)\n", "is not one filter in parentheses"},
        {ok + "tls_ca_file = ca.pem\n", "line 3: tls_ca_file must be an absolute path"},
        {ok + "bind_dn = cn=reader,o=corp\n", "bind_dn and password_file go together"},
        {ok + std::string("bind_dn = x\0y\n", 14), "line 3: a NUL byte"},
        {ok + "bind_dn = o=\x01\n", "line 3: bind_dn holds a control character"},
        // A password only over ldaps://, ldapi:// or StartTLS.
        {"uri = ldaps://h LDAP://h2\nbase = o=c\nbind_dn = cn=r\npassword_file = /p\n",
         "line 4: bind_dn over LDAP://h2 would send the password in clear; use ldaps://, "
         "ldapi:// or starttls = yes"},
    };
    for (const auto &c : bad) {
        std::string error;
        EXPECT_FALSE(parses(c.text, &error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    const std::string bind = "base = o=c\nbind_dn = cn=r\npassword_file = /p\n";
    for (const char *uris : {"ldaps://h ldapi://%2Fs", "ldap://h\nstarttls = yes"}) {
        EXPECT_TRUE(parses("uri = " + std::string(uris) + "\n" + bind)) << uris;
    }
    tamo::LdapConfig config;
    std::string error;
    int32_t status = TAMO_OK;
    const std::string clear = "uri = ldap://h\n" + bind;
    EXPECT_FALSE(tamo::parseConfig(clear.data(), clear.size(), config, error, &status));
    EXPECT_EQ(status, TAMO_ERR_CLEAR_TEXT_BIND);
}

TEST(DirectoryConf, AFileThatCannotBeUsedFailsEveryCallWithoutFallingBack) {
    kavotest::TempDir dir;
    ASSERT_TRUE(dir.create("tamo-ldap"));
    setenv("TAMO_DIRECTORY_CONF", (dir.path() + "/missing.conf").c_str(), 1);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_CONFIG));
    setenv("TAMO_DIRECTORY_CONF", dir.write("bad.conf", "uri = ldapi://x\n").c_str(), 1);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_CONFIG));
    // A password file others can read; an empty one; one that would go
    // over ldap:// in clear.
    const struct {
        const char *uri, *password;
        mode_t mode;
        int32_t status;
    } passwords[] = {{"ldaps://127.0.0.1:1", "secret\n", 0644, TAMO_ERR_CONFIG},
                     {"ldaps://127.0.0.1:1", "\n", 0600, TAMO_ERR_CONFIG},
                     {"ldap://127.0.0.1:1", "secret\n", 0600, TAMO_ERR_CLEAR_TEXT_BIND}};
    for (const auto &p : passwords) {
        const std::string file = dir.write("pw", p.password, p.mode);
        setenv(
            "TAMO_DIRECTORY_CONF",
            dir.write("pw.conf", std::string("uri = ") + p.uri +
                                     "\nbase = o=c\nbind_dn = cn=r\npassword_file = " + file + "\n")
                .c_str(),
            1);
        EXPECT_EQ(sidOf("alice"), std::to_string(p.status)) << p.uri << " " << p.mode;
    }
    // A file that others could have written, checked again when its mode or
    // owner changes: nobody else may choose the server.
    const std::string usable = dir.write("usable.conf", "uri = ldapi://%2Fnowhere\nbase = o=c\n");
    setenv("TAMO_DIRECTORY_CONF", usable.c_str(), 1);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_UNAVAILABLE));
    for (mode_t mode : {0666, 0620}) {
        ASSERT_EQ(chmod(usable.c_str(), mode), 0);
        EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_CONFIG)) << std::oct << mode;
    }
    ASSERT_EQ(chmod(usable.c_str(), 0644), 0);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_UNAVAILABLE));
    // The CA certificates decide which server is believed: the same rule.
    const std::string ca = dir.write("ca.pem", "not read before a connection\n", 0664);
    const std::string trusting =
        dir.write("ca.conf", "uri = ldaps://127.0.0.1:1\nbase = o=c\ntls_ca_file = " + ca + "\n");
    setenv("TAMO_DIRECTORY_CONF", trusting.c_str(), 1);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_CONFIG));
    ASSERT_EQ(chmod(ca.c_str(), 0644), 0);
    ASSERT_EQ(chmod(trusting.c_str(), 0640), 0);  // a change, so the files are read again
    // Accepted now: the call goes as far as finding no server there.
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_UNAVAILABLE));
    setenv("TAMO_DIRECTORY_CONF", usable.c_str(), 1);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(usable.c_str(), 4242, static_cast<gid_t>(-1)), 0);
        EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_CONFIG));
    }
    const std::string fifo = dir.path() + "/fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("TAMO_DIRECTORY_CONF", fifo.c_str(), 1);
    alarm(10);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_CONFIG));
    alarm(0);
    unsetenv("TAMO_DIRECTORY_CONF");
}

double threadCpuMs() {
    struct timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

TEST(Deadline, AStalledTlsHandshakeEndsAtTheTimeoutWithoutSpinning) {
    int port = 0;
    const int silent = kavotest::listenOnLoopback(port);  // never accepts
    ASSERT_GE(silent, 0);
    kavotest::TempDir dir;
    ASSERT_TRUE(dir.create("tamo-ldap"));
    setenv("TAMO_DIRECTORY_CONF",
           dir.write("silent.conf", "uri = ldaps://127.0.0.1:" + std::to_string(port) +
                                        "\nbase = o=c\ntimeout_ms = 500\n")
               .c_str(),
           1);
    const double cpuBefore = threadCpuMs();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_UNAVAILABLE));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    EXPECT_GE(waited, 400);
    EXPECT_LT(waited, 1500);
    // Waiting, not retrying: a spinning handshake burns the whole wait.
    EXPECT_LT(threadCpuMs() - cpuBefore, 100.0);
    unsetenv("TAMO_DIRECTORY_CONF");
    close(silent);
    // Past the time that calls fail at once after a timeout.
    std::this_thread::sleep_for(std::chrono::milliseconds(TAMO_FAIL_FAST_MS + 50));
}

// The fixture server with a few entries; one per test program.
class Server : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (std::system("command -v slapd >/dev/null || test -x /usr/sbin/slapd") != 0) {
            return;
        }
        dir_ = new kavotest::TempDir;
        if (!dir_->create("tamo-ldap")) {
            return;
        }
        // SIDs: a valid one, one of 16 sub-authorities (72 bytes), one whose
        // count says 15 but holds 1.  GUIDs: 16 bytes, and one of 15.
        std::string ldif =
            "dn: o=corp\nobjectClass: kavoDirectoryEntry\nobjectClass: extensibleObject\n"
            "o: corp\n\n" +
            entry("alice", "alice", "AQUAAAAAAAUVAAAAAQAAAAIAAAADAAAA6QMAAA==",
                  "AAECAwQFBgcICQoLDA0ODw==", {"cn=g1,o=corp", "cn=g0,o=corp"}) +
            entry("g0", "", "", "EBESExQVFhcYGRobHB0eHw==", {}) +
            entry("g1", "", "", "ICEiIyQlJicoKSorLC0uLw==", {}) +
            entry("short", "", "", "MDEyMzQ1Njc4OTo7PD0+", {}) +
            entry("star", "st*r", "AQEAAAAAAAUBAAAA", "", {}) +
            entry("paren", "a(b)\\c", "AQEAAAAAAAUCAAAA", "", {}) +
            entry("long", "long",
                  "ARAAAAAAAAUAAAAAAQAAAAIAAAADAAAABAAAAAUAAAAGAAAABwAAAAgAAAAJAAAACgAAAAsAAAAM"
                  "AAAADQAAAA4AAAAPAAAA",
                  "", {}) +
            entry("liar", "liar", "AQ8AAAAAAAUBAAAA", "", {}) +
            entry("twin1", "twin", "AQEAAAAAAAUBAAAA", "", {}) +
            entry("twin2", "twin", "AQEAAAAAAAUBAAAA", "", {}) +
            entry("dangling", "dangling", "", "", {"cn=g0,o=corp", "cn=nowhere,o=corp"}) +
            entry("badguid", "badguid", "", "", {"cn=short,o=corp"}) +
            entry("shouter", "shouter", "", "", {"CN=G1,O=CORP", "cn=g0,o=corp"}) +
            "dn: cn=huge,o=corp\nobjectClass: kavoDirectoryEntry\nobjectClass: "
            "extensibleObject\ncn: huge\nsAMAccountName: huge\ndescription: " +
            std::string(TAMO_LDAP_MAX_MESSAGE, 'x') + "\n\n";
        // More list entries than slapd lets an anonymous session have
        // waiting (100), with GUIDs of 16 printable bytes.
        std::string wide =
            "dn: cn=wide,o=corp\nobjectClass: kavoDirectoryEntry\n"
            "objectClass: extensibleObject\ncn: wide\nsAMAccountName: wide\n";
        for (int i = 0; i < kWide; ++i) {
            wide += "memberOf: " + wideGroup(i) + "\n";
            ldif += "dn: " + wideGroup(i) +
                    "\nobjectClass: kavoDirectoryEntry\nobjectClass: extensibleObject\n"
                    "objectGUID: " +
                    wideGuid(i) + "\n\n";
        }
        const std::string file = dir_->write("data.ldif", ldif + wide + "\n" + reader());
        port_ = freePort();
        const std::string command = std::string(KAVO_SOURCE_DIR) + "/tools/ldap-fixture start " +
                                    dir_->path() + "/srv --port " + std::to_string(port_) + " " +
                                    file + " >/dev/null";
        if (std::system(command.c_str()) != 0) {
            ADD_FAILURE() << "the fixture did not start";
            return;
        }
        uri_ = "ldapi://" + escapeSlashes(dir_->path() + "/srv/ldapi");
    }
    static void TearDownTestSuite() {
        if (dir_ != nullptr) {
            fixture("stop");
            delete dir_;
            dir_ = nullptr;
        }
    }
    void SetUp() override {
        if (uri_.empty()) {
            GTEST_SKIP() << "slapd is not installed";
        }
        configure("");
    }
    void TearDown() override { unsetenv("TAMO_DIRECTORY_CONF"); }

    static void fixture(const char *command) {
        std::system((std::string(KAVO_SOURCE_DIR) + "/tools/ldap-fixture " + command + " " +
                     dir_->path() + "/srv >/dev/null")
                        .c_str());
    }
    static std::string escapeSlashes(const std::string &path) {
        std::string out;
        for (char c : path) {
            out += c == '/' ? std::string("%2F") : std::string(1, c);
        }
        return out;
    }
    static std::string entry(const std::string &cn, const std::string &login,
                             const std::string &sid, const std::string &guid,
                             std::initializer_list<const char *> members) {
        std::string text = "dn: cn=" + cn + ",o=corp\nobjectClass: kavoDirectoryEntry\n" +
                           "objectClass: extensibleObject\ncn: " + cn + "\n";
        text += login.empty() ? "" : "sAMAccountName: " + login + "\n";
        text += sid.empty() ? "" : "objectSid:: " + sid + "\n";
        text += guid.empty() ? "" : "objectGUID:: " + guid + "\n";
        for (const char *member : members) {
            text += std::string("memberOf: ") + member + "\n";
        }
        return text + "\n";
    }
    static constexpr int kWide = 150;
    static std::string wideGroup(int i) { return "cn=w" + std::to_string(i) + ",o=corp"; }
    static std::string wideGuid(int i) {
        char text[17];
        std::snprintf(text, sizeof text, "wide-guid-%06d", i);
        return text;
    }
    // A port nobody listens on now (the kernel's choice).
    static int freePort() {
        int port = 0;
        close(kavotest::listenOnLoopback(port));
        return port;
    }
    static std::string reader() {
        return "dn: cn=reader,o=corp\nobjectClass: kavoDirectoryEntry\nobjectClass: "
               "extensibleObject\ncn: reader\nuserPassword: s3cret\n\n";
    }
    // Points the library at uri, through a file of its own: the fixture's
    // entries are all of one class of its own, and OpenLDAP gives an
    // entry's DN as entryDN.
    static void configure(const std::string &extra, const std::string &uri = uri_,
                          const std::string &file = "directory.conf",
                          const std::string &dnAttribute = "entryDN") {
        setenv("TAMO_DIRECTORY_CONF",
               dir_->write(file, "uri = " + uri +
                                     "\nbase = o=corp\nuser_filter = "
                                     "(objectClass=kavoDirectoryEntry)\ndn_attribute = " +
                                     dnAttribute + "\n" + extra)
                   .c_str(),
               1);
    }
    static std::string tcp(int port) { return "ldap://127.0.0.1:" + std::to_string(port); }

    static kavotest::TempDir *dir_;
    static std::string uri_;
    static int port_;
};
kavotest::TempDir *Server::dir_ = nullptr;
std::string Server::uri_;
int Server::port_ = 0;

TEST_F(Server, AWideListCostsTwoRoundTripsAndStaysWithinTheServersLimits) {
    // Over TCP, anonymously, through a link that holds every answer 100 ms:
    // the user's search, then its entries read by their DN a few searches
    // at a time, all sent at once.  Where the server does not know
    // dn_attribute, one base read per entry, at most 64 waiting at a time
    // (slapd ends a session with more than 100 waiting): more round trips,
    // the same answer.
    constexpr auto kDelay = std::chrono::milliseconds(100);
    kavotest::DelayProxy link(port_, kDelay);
    ASSERT_NE(link.port(), 0);
    for (const std::string dnAttribute : {"entryDN", "noSuchAttribute"}) {
        SCOPED_TRACE(dnAttribute);
        configure("", tcp(link.port()), dnAttribute + ".conf", dnAttribute);
        const auto name = utf16(u"wide");
        std::vector<unsigned char> guids(kWide * TAMO_GUID_SIZE);
        int32_t count = kWide;
        ASSERT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");  // connected and bound
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(tamolib_get_sevlist_from_name(name.data(), &count, guids.data(), nullptr),
                  TAMO_OK);
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(count, kWide);
        for (int i = 0; i < kWide; ++i) {
            EXPECT_EQ(
                std::string(reinterpret_cast<char *>(&guids[i * TAMO_GUID_SIZE]), TAMO_GUID_SIZE),
                wideGuid(i));
        }
        EXPECT_EQ(dnOf(&guids[(kWide - 1) * TAMO_GUID_SIZE]), wideGroup(kWide - 1));
        if (dnAttribute == "entryDN") {
            EXPECT_LT(took, 3 * kDelay);
        } else {
            EXPECT_GE(took, 4 * kDelay);  // 1 + 150 / 64 round trips
        }
    }
}

TEST_F(Server, TheLookupsAfterAListAreAnsweredFromItForAShortWhile) {
    const auto name = utf16(u"alice");
    unsigned char guids[2 * TAMO_GUID_SIZE];
    int32_t count = 1;
    // Too short a buffer: the call again with the count is answered from
    // the list just read, and so are the lookups of its GUIDs; nothing else.
    ASSERT_EQ(tamolib_get_sevlist_from_name(name.data(), &count, guids, nullptr),
              TAMO_ERR_BUFFER_TOO_SMALL);
    ASSERT_EQ(count, 2);
    fixture("stop");
    ASSERT_EQ(tamolib_get_sevlist_from_name(name.data(), &count, guids, nullptr), TAMO_OK);
    EXPECT_EQ(dnOf(guids), "cn=g1,o=corp");
    EXPECT_EQ(dnOf(guids + TAMO_GUID_SIZE), "cn=g0,o=corp");
    const unsigned char other[TAMO_GUID_SIZE] = {0x30};
    EXPECT_EQ(dnOf(other), std::to_string(TAMO_ERR_UNAVAILABLE));
    // Another thread, or the same one after the memo's time, asks the server.
    std::string fromOtherThread;
    std::thread([&] { fromOtherThread = dnOf(guids); }).join();
    EXPECT_EQ(fromOtherThread, std::to_string(TAMO_ERR_UNAVAILABLE));
    std::this_thread::sleep_for(std::chrono::milliseconds(TAMO_LIST_MEMO_MS + 50));
    EXPECT_EQ(dnOf(guids), std::to_string(TAMO_ERR_UNAVAILABLE));
    fixture("start");
    EXPECT_EQ(dnOf(guids), "cn=g1,o=corp");
}

TEST_F(Server, LookupsOfSeveralThreadsDoNotWaitForEachOthersAnswers) {
    // Every answer takes 200 ms: on one shared connection four lookups
    // (each a bind and a search on a new thread) would take 1.6 s.
    constexpr auto kDelay = std::chrono::milliseconds(200);
    kavotest::DelayProxy slow(port_, kDelay);
    ASSERT_NE(slow.port(), 0);
    configure("", tcp(slow.port()), "slow.conf");
    std::string results[4];
    const auto start = std::chrono::steady_clock::now();
    {
        std::vector<std::thread> threads;
        for (std::string &result : results) {
            threads.emplace_back([&result] { result = sidOf("alice"); });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
    }
    const auto took = std::chrono::steady_clock::now() - start;
    for (const std::string &result : results) {
        EXPECT_EQ(result, "S-1-5-21-1-2-3-1001");
    }
    EXPECT_LT(took, 3 * kDelay);
}

TEST_F(Server, NamesAreEscapedAndMatchOnlyThemselves) {
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");
    EXPECT_EQ(sidOf("st*r"), "S-1-5-1");
    EXPECT_EQ(sidOf("a(b)\\c"), "S-1-5-2");
    for (const char *name :
         {"*", "st*", "a*", "alice)(cn=*", "*)(sAMAccountName=alice", "al\\69ce", "Alice", ""}) {
        EXPECT_EQ(sidOf(name), std::to_string(TAMO_ERR_NOT_FOUND)) << name;
    }
    EXPECT_EQ(sidOf("twin"), std::to_string(TAMO_ERR_AMBIGUOUS));
    // Failover: a URI where no server listens is passed over.
    configure("", "ldapi://%2Fnonexistent%2Fsocket " + uri_, "failover.conf");
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");
    EXPECT_EQ(sidOf("dangling"), std::to_string(TAMO_ERR_NO_SID));
}

TEST_F(Server, SidsThatDoNotFitThePackedFormAreRefusedWithoutWriting) {
    // Exactly the caller's 68 bytes on the heap: a longer write is caught.
    auto *sid = static_cast<unsigned char *>(malloc(TAMO_SID_MAX_SIZE));
    std::memset(sid, 0x5A, TAMO_SID_MAX_SIZE);
    EXPECT_EQ(sidOf("long", sid), std::to_string(TAMO_ERR_BAD_VALUE));
    EXPECT_EQ(sidOf("liar", sid), std::to_string(TAMO_ERR_BAD_VALUE));
    EXPECT_EQ(sid[0], 0x5A);
    EXPECT_EQ(sid[TAMO_SID_MAX_SIZE - 1], 0x5A);
    free(sid);
}

TEST_F(Server, ListsResolveToGuidsInServerOrderAndGuidsToDns) {
    unsigned char guids[2 * 16];
    std::memset(guids, 0x5A, sizeof guids);
    const auto list = [&](const char16_t *login, int32_t count) {
        return tamolib_get_sevlist_from_name(utf16(login).data(), &count, guids, nullptr);
    };
    int32_t count = 1;
    EXPECT_EQ(tamolib_get_sevlist_from_name(utf16(u"alice").data(), &count, guids, nullptr),
              TAMO_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(guids[0], 0x5A);
    // A value in another case than the entry's own DN names the entry too.
    for (const char16_t *login : {u"alice", u"shouter"}) {
        ASSERT_EQ(list(login, 2), TAMO_OK);
        EXPECT_EQ(guids[0], 0x20);  // g1 first, as stored
        EXPECT_EQ(guids[16], 0x10);
        EXPECT_EQ(dnOf(guids), "cn=g1,o=corp");
        EXPECT_EQ(dnOf(guids + 16), "cn=g0,o=corp");
    }
    const unsigned char unknown[16] = {0xFF};
    int32_t selector = TAMO_INFO_DN;
    char *dn = nullptr;
    EXPECT_EQ(tamolib_get_userinfo_from_guid(unknown, &selector, nullptr, nullptr, nullptr, &dn),
              TAMO_ERR_NOT_FOUND);
    EXPECT_EQ(dn, nullptr);

    // A value naming no entry, or an entry whose GUID is not 16 bytes.
    EXPECT_EQ(list(u"dangling", 2), TAMO_ERR_UNRESOLVED);
    EXPECT_EQ(list(u"badguid", 2), TAMO_ERR_UNRESOLVED);
}

TEST_F(Server, SimpleBindReadsThePasswordFileAgainWhenItChanges) {
    const std::string file = dir_->write("reader.pw", "s3cret\n");
    configure("bind_dn = cn=reader,o=corp\npassword_file = " + file + "\n");
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");
    // Rotated in place: the next call binds with the new password.  A wrong
    // one is sent once: after "invalid credentials" no call of any thread
    // binds again, not even to find the server gone, until a file changes.
    dir_->write("reader.pw", "a-wrong-guess");
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_BIND_REFUSED));
    fixture("stop");
    std::string fromOtherThread;
    std::thread([&] { fromOtherThread = sidOf("alice"); }).join();
    EXPECT_EQ(fromOtherThread, std::to_string(TAMO_ERR_BIND_REFUSED));
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_BIND_REFUSED));
    fixture("start");
    dir_->write("reader.pw", "s3cret", 0640);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_CONFIG));
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");
}

TEST_F(Server, AnAnswerPastTheBoundEndsTheCallNotTheMemory) {
    // The "list" attribute of this user is one value past the bound; the
    // call does not get as far as counting it.
    configure("sev_attribute = description\n");
    int32_t count = 0;
    EXPECT_EQ(tamolib_get_sevlist_from_name(utf16(u"huge").data(), &count, nullptr, nullptr),
              TAMO_ERR_UNAVAILABLE);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");
}

bool stopped(pid_t pid) {
    std::string stat;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && stat.compare(close, 4, ") T ") == 0;
}

TEST_F(Server, StoppedOrSilentServerFailsWithinTheTimeoutThenRecovers) {
    configure("timeout_ms = 400\n");
    ASSERT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");
    auto timed = [](std::string &result) {
        auto start = std::chrono::steady_clock::now();
        result = sidOf("alice");
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    std::string result;
    // Silent: the call waits out its deadline, the next fails at once.
    pid_t pid = 0;
    std::ifstream(dir_->path() + "/srv/slapd.pid") >> pid;
    ASSERT_GT(pid, 0);
    kill(pid, SIGSTOP);
    // The signal takes effect some time after kill() returns.
    for (int i = 0; i < 200 && !stopped(pid); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto waited = timed(result);
    EXPECT_EQ(result, std::to_string(TAMO_ERR_UNAVAILABLE));
    EXPECT_GE(waited, 300);
    EXPECT_LT(waited, 1500);
    EXPECT_LT(timed(result), 50);
    EXPECT_EQ(result, std::to_string(TAMO_ERR_UNAVAILABLE));
    kill(pid, SIGCONT);
    std::this_thread::sleep_for(std::chrono::milliseconds(TAMO_FAIL_FAST_MS + 100));
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");

    // Stopped: refused at once; started again: the next call reconnects.
    fixture("stop");
    EXPECT_LT(timed(result), 300);
    EXPECT_EQ(result, std::to_string(TAMO_ERR_UNAVAILABLE));
    fixture("start");
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");

    // A child after fork() makes its own connection.
    kavotest::expectInChild([&] { return sidOf("st*r") == "S-1-5-1"; });
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1001");
}

}  // namespace
