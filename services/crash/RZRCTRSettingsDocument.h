#pragma once
// The shape of a settings document, checked before any of it is used: an
// object whose known sections are objects and whose known keys hold whole
// numbers from 0 to 2^32 - 1 (limits, cache duration) or flags. Anything
// else in it is kept without effect.

#include <cstdint>
#include <optional>

#include "platform/foundation/Value.h"

bool RZRCTRIsValidSettingsDocument(const Value& document);
// A whole number from 0 to 2^32 - 1; nullopt for anything else.
std::optional<std::uint32_t> RZRCTRSettingsUInt32(const Value& value);
// A boolean or a number.
bool RZRCTRSettingsIsFlag(const Value& value);
