// Test doubles linked into the add-on's unit tests in place of the host
// process and the platform: the system log, a scriptable identity library
// and a small Node-API that can be told to fail at any step.
#ifndef KAVO_TEST_ADDON_FAKES_H
#define KAVO_TEST_ADDON_FAKES_H

#include <node_api.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fakes {

// ---- System log: every record the code under test wrote. -----------------
struct LogRecord {
    int priority;
    std::string message;
};
std::vector<LogRecord> &logRecords();
// The messages with the "<function:line>" part reduced to "<function>", so
// tests compare whole texts without depending on line numbers.
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

// ---- Node-API double. --------------------------------------------------------
struct Value {
    enum Kind { Undefined, String, Number, Object } kind = Undefined;
    std::string text;
    uint32_t number = 0;
    std::vector<std::pair<std::string, Value *>> properties;
};

struct Napi {
    std::deque<Value> values;
    std::vector<Value *> arguments;
    // Fails the n-th call (1-based) of the named Node-API function.
    std::string failFunction;
    int failOnCall = 1;
    std::map<std::string, int> calls;

    Value *string(const std::string &text);
    Value *number(uint32_t number);
    napi_env env() { return reinterpret_cast<napi_env>(this); }
};

// Resets every double to its initial state.
void reset();

}  // namespace fakes

#endif
