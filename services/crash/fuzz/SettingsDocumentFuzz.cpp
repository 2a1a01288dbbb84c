// The outside data the crash reporter's settings download meets: the
// response's Content-Type and Retry-After headers, and the downloaded
// document, which must be accepted or rejected as a whole.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/JSON.h"
#include "platform/net/NSURLRequest.h"
#include "services/crash/RZRCTRNetworkResponseHandler.h"
#include "services/crash/RZRCTRSettingsDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto response = std::make_shared<NSHTTPURLResponse>(
        *NSURL::URLWithString("https://h.test/settings"), 200,
        NSHTTPHeaders{{"Content-Type", text}, {"Retry-After", text}});
    NSURLRequest request(*NSURL::URLWithString("https://h.test/settings"));
    request.setValue("application/json", "Accept");
    request.setValue("utf-8", "Accept-Charset");
    RZRCTRNetworkResponseHandler::contentTypeForResponse(response, request);
    const double retry = RZRCTRNetworkResponseHandler::retryValueForResponse(response);
    if (!(retry >= 0)) __builtin_trap();

    if (auto document = NSJSONSerialization::JSONObjectWithData(Data(data, data + size))) {
        if (RZRCTRIsValidSettingsDocument(*document)) {
            // An accepted document holds nothing the accessors cannot read.
            for (const char* key : {"cache_duration"}) {
                const Value& value = (*document)[key];
                if (!value.isNull() && !RZRCTRSettingsUInt32(value)) __builtin_trap();
            }
        }
    }
    return 0;
}
