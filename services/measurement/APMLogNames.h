#pragma once
// Names and parameter dictionaries as monitor lines show them. In debug
// mode (and with the analytics interface present), a short internal name
// is shown with its public name, "public (short)", and a parameter
// dictionary one entry per line; otherwise the plain text. Any thread.

#include <map>
#include <string>

#include "platform/foundation/Value.h"
#include "services/measurement/APMValue.h"

// The name rule over a table of public name to short name.
std::string APMRenderName(const Value& name, const std::map<std::string, std::string>& table);
std::string APMRenderEventName(const Value& name);
// Over the engine's parameter name alias table (APMParameterNameAliases).
std::string APMRenderParameterName(const Value& name);
std::string APMRenderUserPropertyName(const Value& name);
// Lines "    name = value;" sorted without regard to case, within braces.
std::string APMRenderParameters(const APMEventParameters* parameters);
