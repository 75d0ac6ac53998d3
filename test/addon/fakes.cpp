// The add-on tests' view of the shared doubles, and their reset; see
// fakes.h.
#include "test/addon/fakes.h"

namespace fakes {

std::vector<std::string> logMessages() {
    // "MFA-NAPI: <function:123> text" becomes "MFA-NAPI: <function> text".
    std::vector<std::string> messages;
    for (const auto &record : logRecords()) {
        std::string message = record.message;
        const std::size_t colon = message.find(':', sizeof "MFA-NAPI: <" - 1);
        const std::size_t close = message.find('>');
        if (message.rfind("MFA-NAPI: <", 0) == 0 && colon < close && close != std::string::npos) {
            message.erase(colon, close - colon);
        }
        messages.push_back(message);
    }
    return messages;
}

void reset() {
    logRecords().clear();
    napi() = Napi{};
    directory() = Directory{};
}

}  // namespace fakes
