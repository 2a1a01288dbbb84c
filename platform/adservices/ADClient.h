#pragma once
// Search-ads attribution stand-in: a runtime class "ADClient" with the class
// method "sharedClient" and the instance method
// "requestAttributionDetailsWithBlock:". The class exists only once a test or
// the console installs it, so callers must look it up at run time and cope
// with its absence. Requests stay pending until sim:: answers them.

#include <cstddef>
#include <functional>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// The completion of an attribution request: details (campaign-keyed
// dictionaries) or an error.
using ADAttributionHandler = std::function<void(const std::optional<Dictionary>& details,
                                                const std::optional<NSError>& error)>;

namespace sim {
// Registers "ADClient" (once per process; it cannot be removed again).
void installADClient();
// Requests sent and not answered yet.
std::size_t pendingADAttributionRequests();
// Answers the oldest pending request on the caller's thread; false when none.
bool answerADAttributionRequest(const std::optional<Dictionary>& details,
                                const std::optional<NSError>& error);
// Forgets every pending request.
void resetADClient();
}  // namespace sim
