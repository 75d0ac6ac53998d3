/* Fuzz target: the directory.conf parser of the directory library's LDAP
 * back end, on arbitrary bytes.
 *
 * A file that parses must give what a connection can be made from: at
 * least one URI, each of a known scheme, a base, attribute names that can
 * stand in a filter unescaped, a timeout in range, bind DN and password
 * file together, StartTLS only over ldap://, a bind password never over
 * ldap:// without StartTLS.  A refused file gives one line that names the
 * line at fault. */
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/tamo/tamo_internal.h"

namespace {

bool plainName(const std::string &name) {
    if (name.empty()) {
        return false;
    }
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.')) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tamo::LdapConfig config;
    std::string error;
    const bool ok = tamo::parseConfig(reinterpret_cast<const char *>(data), size, config, error);
    if (!ok) {
        FUZZ_CHECK(error.rfind("line ", 0) == 0);
        for (char c : error) {
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 || c == '\t');
        }
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(!config.uris.empty() && !config.base.empty());
    std::string joined;
    bool allLdapi = true;
    for (const std::string &uri : config.uris) {
        const bool ldapi = strncasecmp(uri.c_str(), "ldapi://", 8) == 0;
        FUZZ_CHECK(ldapi || strncasecmp(uri.c_str(), "ldap://", 7) == 0 ||
                   strncasecmp(uri.c_str(), "ldaps://", 8) == 0);
        FUZZ_CHECK(uri.find_first_of(" \t,") == std::string::npos);
        FUZZ_CHECK(!config.startTls || strncasecmp(uri.c_str(), "ldap://", 7) == 0);
        // A password never goes over ldap:// in clear.
        FUZZ_CHECK(config.bindDn.empty() || config.startTls ||
                   strncasecmp(uri.c_str(), "ldap://", 7) != 0);
        allLdapi = allLdapi && ldapi;
        joined += (joined.empty() ? "" : " ") + uri;
    }
    FUZZ_CHECK(joined == config.uriList && allLdapi == config.allLdapi);
    FUZZ_CHECK(config.timeoutMs >= 1 && config.timeoutMs <= 600000);
    FUZZ_CHECK(config.bindDn.empty() == config.passwordFile.empty());
    FUZZ_CHECK(config.password.empty());
    for (const std::string *name :
         {&config.loginAttribute, &config.sidAttribute, &config.guidAttribute, &config.sevAttribute,
          &config.dnAttribute}) {
        FUZZ_CHECK(plainName(*name));
    }
    for (const std::string *value : {&config.base, &config.bindDn, &config.passwordFile}) {
        for (char c : *value) {
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 || c == '\t');
        }
    }
    return 0;
}
