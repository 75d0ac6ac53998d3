// Test doubles linked into the add-on's unit tests in place of the host
// process and the platform: a scriptable identity library here, and the
// shared system-log and Node-API doubles of test/support.
#ifndef KAVO_TEST_ADDON_FAKES_H
#define KAVO_TEST_ADDON_FAKES_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "test/support/fake_napi.h"
#include "test/support/fake_syslog.h"

namespace fakes {

// The system log's records (test/support/fake_syslog.h) with the
// "<function:line>" part reduced to "<function>", so tests compare whole
// texts without depending on line numbers.
std::vector<std::string> logMessages();

// ---- Identity library double. ----------------------------------------------
using Guid = std::array<unsigned char, 16>;
Guid guidOf(int n);

struct Directory {
    // The list call: by default answers from `list` like the real library.
    // `listHook`, when set, answers instead (capacity in *count on entry).
    std::vector<Guid> list;
    std::function<int32_t(int32_t *count, unsigned char *guids)> listHook;
    int listCalls = 0;
    std::vector<int32_t> capacities;  // *count on entry of each list call
    std::string lastName16;           // the 16-bit name of the last list call

    // The per-GUID lookup: DNs by GUID; a GUID not present answers
    // `missingStatus`.  `dnHook`, when set, answers instead.
    std::map<Guid, std::string> dns;
    int32_t missingStatus = -9001;
    std::function<int32_t(const unsigned char *guid, char **dn)> dnHook;
    int dnCalls = 0;

    // The name lookup and SID conversion.
    std::map<std::string, std::vector<unsigned char>> sids;  // by UTF-8 name
    std::string lastName;
    std::string sidText = "S-1-5-21-1-2-3-1001";
};
Directory &directory();

// Resets every double to its initial state.
void reset();

}  // namespace fakes

#endif
