// Answers of the deferred-deep-link endpoint: any bytes give either no
// answer with a reason or an object whose "deeplink" is an absolute URL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/net/NSURL.h"
#include "services/measurement/APMDeepLinkInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Data bytes(data, data + size);
    APMDeepLinkInfoFailure failure = APMDeepLinkInfoFailure::None;
    NSError error;
    const auto info = APMDeepLinkInfoFromData(bytes, &failure, &error);
    if (info.has_value() != (failure == APMDeepLinkInfoFailure::None)) std::abort();
    if (size == 0 && failure != APMDeepLinkInfoFailure::EmptyData) std::abort();
    if (info) {
        const Value* link = info->find("deeplink");
        if (!link || !link->isString() || !NSURL::URLWithString(*link->asString())) std::abort();
    }
    return 0;
}
