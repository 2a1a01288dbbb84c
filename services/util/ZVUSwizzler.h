#pragma once
// Replaces the implementation of an existing method by a block, reads a
// method's current implementation, tests whether a method exists, and lists
// an object's object-valued instance variables, on the object runtime.
// Replacements and reads run one at a time on the serial queue
// "com.zevera.ZVUSwizzler" (so they must not be started from a block running
// on it); the existence test and the listing do not use the queue. Refused
// calls are programming errors: they are logged as errors and change
// nothing.

#include <any>
#include <functional>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/runtime/Runtime.h"

class ZVUSwizzler {
  public:
    // The block gets the receiver, then the method's arguments; its result is
    // the method's.
    using Block = std::function<std::any(RuntimeObject& receiver, const Arguments& arguments)>;

    static void swizzleClass(Class aClass, SEL selector, bool isClassSelector, Block block);
    static IMP currentImplementationForClass(Class aClass, SEL selector, bool isClassSelector);
    // Inherited methods included; for a class selector, the class methods.
    static bool selectorExistsInClass(SEL selector, Class aClass, bool isClassSelector);
    // The values of the object's own class's variables whose type encoding
    // begins with "@" (objects and blocks), in declaration order; variables
    // holding nil are left out.
    static std::vector<std::any> ivarObjectsForObject(const NSObject* object);
};
