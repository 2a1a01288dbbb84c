#include "app/settings/Defaults.h"

namespace Defaults {

void reset(const std::vector<const Keys*>& keys) {
    for (const auto* key : keys) key->reset();
}

void reset(const std::vector<std::string>& names, NSUserDefaults& suite) {
    for (const auto& name : names) suite.removeObjectForKey(name);
}

void removeAll(NSUserDefaults& suite) {
    for (const auto& name : suite.dictionaryRepresentation().keys()) suite.removeObjectForKey(name);
}

}  // namespace Defaults
