#include "services/measurement/APMDeepLinkInfo.h"

#include "platform/foundation/JSON.h"
#include "platform/net/NSURL.h"

std::optional<Dictionary> APMDeepLinkInfoFromData(const Data& data, APMDeepLinkInfoFailure* failure,
                                                  NSError* error) {
    auto fail = [&](APMDeepLinkInfoFailure reason) -> std::optional<Dictionary> {
        if (failure) *failure = reason;
        return std::nullopt;
    };
    if (failure) *failure = APMDeepLinkInfoFailure::None;
    if (data.empty()) return fail(APMDeepLinkInfoFailure::EmptyData);
    NSError parseError;
    auto object = NSJSONSerialization::JSONObjectWithData(data, &parseError);
    if (!object) {
        if (error) *error = parseError;
        return fail(APMDeepLinkInfoFailure::NotJSON);
    }
    // An array at the top level is valid JSON but carries no link.
    const Dictionary* info = object->asDictionary();
    if (!info || info->empty()) return fail(APMDeepLinkInfoFailure::NoUsableLink);
    const Value* link = info->find("deeplink");
    const auto text = link ? link->asString() : std::nullopt;
    if (!link || !link->isString() || !text || !NSURL::URLWithString(*text))
        return fail(APMDeepLinkInfoFailure::NoUsableLink);
    return *info;
}
