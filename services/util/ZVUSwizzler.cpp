#include "services/util/ZVUSwizzler.h"

#include <memory>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"

namespace {

std::shared_ptr<DispatchQueue> swizzleQueue() {
    static const auto queue = DispatchQueue::create("com.zevera.ZVUSwizzler");
    return queue;
}

void reportProgrammingError(const std::string& text) {
    static const auto* const log = new OSLog(
        *os_log_create("com.zevera.utilities", "ZVUSwizzler"));  // used until the last thread ends
    os_log_error(*log, text);
}

Method lookUp(Class aClass, SEL selector, bool isClassSelector) {
    return isClassSelector ? class_getClassMethod(aClass, selector)
                           : class_getInstanceMethod(aClass, selector);
}

}  // namespace

void ZVUSwizzler::swizzleClass(Class aClass, SEL selector, bool isClassSelector, Block block) {
    swizzleQueue()->sync([&] {
        if (!selector) {
            reportProgrammingError("The selector cannot be NULL");
            return;
        }
        if (!aClass) {
            reportProgrammingError("The class cannot be Nil");
            return;
        }
        Class target = isClassSelector ? object_getClass(aClass) : aClass;
        Method method = lookUp(aClass, selector, isClassSelector);
        if (!method) {
            reportProgrammingError("You're attempting to swizzle a method that doesn't exist. (" +
                                   NSStringFromClass(aClass) + ", " +
                                   NSStringFromSelector(selector) + ")");
            return;
        }
        IMP replacement = Implementation::make(
            [block = std::move(block)](RuntimeObject& self, SEL, const Arguments& args) {
                return block(self, args);
            });
        class_replaceMethod(target, selector, std::move(replacement),
                            method_getTypeEncoding(method));
    });
}

IMP ZVUSwizzler::currentImplementationForClass(Class aClass, SEL selector, bool isClassSelector) {
    if (!selector) {
        reportProgrammingError("The selector cannot be NULL");
        return nullptr;
    }
    if (!aClass) {
        reportProgrammingError("The class cannot be Nil");
        return nullptr;
    }
    return swizzleQueue()->syncValue([&]() -> IMP {
        Method method = lookUp(aClass, selector, isClassSelector);
        if (!method) {
            reportProgrammingError("The Method for this class/selector combo doesn't exist (" +
                                   NSStringFromClass(aClass) + ", " +
                                   NSStringFromSelector(selector) + ").");
            return nullptr;
        }
        IMP imp = method_getImplementation(method);
        if (!imp) {
            reportProgrammingError("The IMP for this class/selector combo doesn't exist (" +
                                   NSStringFromClass(aClass) + ", " +
                                   NSStringFromSelector(selector) + ").");
        }
        return imp;
    });
}

bool ZVUSwizzler::selectorExistsInClass(SEL selector, Class aClass, bool isClassSelector) {
    return lookUp(aClass, selector, isClassSelector) != nullptr;
}

std::vector<std::any> ZVUSwizzler::ivarObjectsForObject(const NSObject* object) {
    std::vector<std::any> values;
    for (Ivar ivar : class_copyIvarList(object_getClass(object))) {
        const char* types = ivar_getTypeEncoding(ivar);
        if (!types || types[0] != '@') continue;
        std::any value = object_getIvar(object, ivar);
        if (!value.has_value()) continue;
        if (const id* reference = std::any_cast<id>(&value); reference && !*reference) continue;
        values.push_back(std::move(value));
    }
    return values;
}
