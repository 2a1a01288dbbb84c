// Answers of the remote-configuration service: any bytes give either no
// answer with a reason, or an answer whose entries are taken whole or
// refused with a reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "services/remoteconfig/RCNFetchAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    const auto answer = RCNFetchAnswer::parse(Data(data, data + size), &error);
    if (!answer) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (answer->invalidEntries && !answer->entries.empty()) std::abort();
    if (answer->entries.size() > size) std::abort();
    if (!answer->entries.empty() && !answer->fields.contains("entries")) std::abort();
    return 0;
}
