// Decodes arbitrary bytes as one of the measurement message types (chosen by
// the first byte). Whatever decodes must encode, and its encoding must
// decode (unless shorter than the input and refused for its memory) and
// encode again to the same bytes; every accessor read must be safe on the
// result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/log/Log.h"
#include "services/measurement/APMPBCodecs.h"

namespace {

APMPBMessageInfo* fresh(const APMPBMessageType& type) {
    auto* info = static_cast<APMPBMessageInfo*>(std::calloc(1, sizeof(APMPBMessageInfo)));
    if (info == nullptr || !APMPBInitMessageInfo(type, info)) std::abort();
    return info;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::setLogEcho(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const APMPBMessageType& type = *kAPMPBMessageTypes[data[0] % kAPMPBMessageTypeCount];
    APMPBMessageInfo* info = fresh(type);
    if (APMPBDecode(type, data + 1, size - 1, info)) {
        std::uint8_t* first = nullptr;
        const long firstSize = APMPBEncode(type, info, &first);
        if (firstSize < 0) std::abort();

        APMPBMessageInfo* copy = nullptr;
        if (!APMPBCopyMessageInfo(type, &copy, info)) std::abort();
        APMPBMessageInfo* again = fresh(type);
        if (!APMPBDecode(type, first, static_cast<std::size_t>(firstSize), again)) {
            // The heap a decode may take grows with its input, so an encoding
            // shorter than the input (unknown or repeated fields dropped) may
            // be refused where the input was not; never one as long.
            if (static_cast<std::size_t>(firstSize) >= size - 1) std::abort();
            std::free(first);
            APMPBFreeMessageInfo(type, again);
            APMPBFreeMessageInfo(type, copy);
            APMPBFreeMessageInfo(type, info);
            return 0;
        }
        std::uint8_t* second = nullptr;
        const long secondSize = APMPBEncode(type, again, &second);
        std::uint8_t* third = nullptr;
        const long thirdSize = APMPBEncode(type, copy, &third);
        if (secondSize != firstSize || thirdSize != firstSize ||
            std::memcmp(first, second, static_cast<std::size_t>(firstSize)) != 0 ||
            std::memcmp(first, third, static_cast<std::size_t>(firstSize)) != 0) {
            std::abort();
        }
        std::free(first);
        std::free(second);
        std::free(third);
        APMPBFreeMessageInfo(type, again);
        APMPBFreeMessageInfo(type, copy);
    }
    APMPBFreeMessageInfo(type, info);
    return 0;
}
