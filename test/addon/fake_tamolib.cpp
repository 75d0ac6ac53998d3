// Identity library double: the tamolib_* calls of the add-on, answered from
// fakes::directory() so that tests can give any answer, hostile ones
// included.
#include <cstdlib>
#include <cstring>

#include "platform/tamo/tamolib.h"
#include "test/addon/fakes.h"

namespace fakes {

Guid guidOf(int n) {
    Guid guid{};
    for (std::size_t i = 0; i < guid.size(); ++i) {
        guid[i] = static_cast<unsigned char>(n + i);
    }
    return guid;
}

Directory &directory() {
    static Directory instance;
    return instance;
}

}  // namespace fakes

extern "C" {

int32_t tamolib_get_userinfo_from_name(const char *name, int32_t *selector, unsigned char *,
                                       unsigned char *sid, int32_t *, int32_t *) {
    auto &d = fakes::directory();
    d.lastName = name;
    auto found = d.sids.find(name);
    if (*selector != TAMO_INFO_SID || found == d.sids.end()) {
        return TAMO_ERR_NOT_FOUND;
    }
    std::memcpy(sid, found->second.data(), found->second.size());
    return TAMO_OK;
}

int32_t tamolib_sid_to_string(const unsigned char *, char *text) {
    std::memcpy(text, fakes::directory().sidText.data(), fakes::directory().sidText.size());
    return TAMO_OK;
}

int32_t tamolib_get_sevlist_from_name(const unsigned char *name16, int32_t *count,
                                      unsigned char *guids, int32_t *) {
    auto &d = fakes::directory();
    ++d.listCalls;
    d.capacities.push_back(*count);
    d.lastName16.clear();
    for (std::size_t i = 0; name16[i] != 0 || name16[i + 1] != 0; i += 2) {
        d.lastName16.append(reinterpret_cast<const char *>(name16 + i), 2);
    }
    if (d.listHook) {
        return d.listHook(count, guids);
    }
    if (d.list.size() > static_cast<std::size_t>(*count)) {
        *count = static_cast<int32_t>(d.list.size());
        return TAMO_ERR_BUFFER_TOO_SMALL;
    }
    for (std::size_t i = 0; i < d.list.size(); ++i) {
        std::memcpy(guids + 16 * i, d.list[i].data(), 16);
    }
    *count = static_cast<int32_t>(d.list.size());
    return TAMO_OK;
}

int32_t tamolib_get_userinfo_from_guid(const unsigned char *guid, int32_t *selector, void *, void *,
                                       int32_t *, char **dn) {
    auto &d = fakes::directory();
    ++d.dnCalls;
    if (d.dnHook) {
        return d.dnHook(guid, dn);
    }
    fakes::Guid key;
    std::memcpy(key.data(), guid, 16);
    auto found = d.dns.find(key);
    if (*selector != TAMO_INFO_DN || found == d.dns.end()) {
        return d.missingStatus;
    }
    *dn = strdup(found->second.c_str());
    return TAMO_OK;
}

}  // extern "C"
