// The backend's upload reply, as it arrives from the network.
#include <cstddef>
#include <cstdint>

#include "services/transport/ZDTLGSReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    NSError error;
    auto reply = ZDTLGSDecodeReply(Data(data, data + size), &error);
    if (reply.waitBeforeNextMs && !error.domain.empty()) __builtin_trap();
    return 0;
}
