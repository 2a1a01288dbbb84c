#pragma once
// One object per (host, key), created on first request and kept by the host
// (as an associated object) for the host's lifetime. Asking for the same
// (host, key) from inside its own creation block raises NSException
// "Reentering registeredObjectWithHost:key:creationBlock: not allowed".

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"

struct VUVEzuAssociationRegistration {
    static std::shared_ptr<NSObject> registeredObjectWithHost(
        NSObject& host, const std::string& key,
        const std::function<std::shared_ptr<NSObject>()>& creationBlock);

    template <class T>
    static std::shared_ptr<T> registeredObjectWithHost(
        NSObject& host, const std::string& key,
        const std::function<std::shared_ptr<T>()>& creationBlock) {
        return std::dynamic_pointer_cast<T>(registeredObjectWithHost(
            host, key,
            std::function<std::shared_ptr<NSObject>()>(
                [&creationBlock]() -> std::shared_ptr<NSObject> { return creationBlock(); })));
    }
};
