#pragma once
// Object runtime stand-in: classes made of selectors and implementations,
// looked up by name, extended, subclassed and swapped on live objects at run
// time. A message goes through the receiver's current class, so replacing an
// implementation, or the class of a live object, intercepts every later call.
//
// Representation:
//  * A runtime object is a RuntimeObject (an NSObject) that carries its class
//    (object_getClass). Classes are runtime objects too; their class is their
//    metaclass, which holds the class methods. The root metaclass inherits
//    from the root class "NSObject", so class objects answer the root's
//    instance methods, as on the platform.
//  * An implementation (IMP) is a shared, type-erased callable
//        std::any (RuntimeObject& self, SEL _cmd, const Arguments& args)
//    with identity: every lookup of one method gives the same IMP until the
//    method is given another one. Implementation::make wraps such a body;
//    imp_implementationWithBlock and ClassBuilder adapt typed callables.
//  * Arguments and results travel as std::any. Objects travel as `id`
//    (std::shared_ptr<NSObject>): boxing turns shared pointers to NSObject
//    subclasses into id, nullptr into a null id and C strings into
//    std::string. runtime_cast converts back: an object parameter of a
//    subclass type is dynamic-cast, numbers convert between arithmetic types,
//    and an empty value gives the value-initialised type (nil, 0, NO).
//    Anything else that does not match raises NSInvalidArgumentException.
//  * Classes, methods, instance variables and protocols live until the
//    process ends, so the raw handles stay valid.
//
// Messaging an object that does not answer a selector raises NSException
// NSInvalidArgumentException "-[Class selector]: unrecognized selector sent
// to instance 0x...", as the platform does; messaging nil does nothing and
// gives an empty result. All functions are thread-safe; implementations and
// observers run outside the runtime's lock, so they may change the runtime.
//
// Built in: the root class "NSObject" (instance methods "description",
// "class", "respondsToSelector:", "conformsToProtocol:", "isKindOfClass:")
// and the protocols "NSObject" and "NSApplicationDelegate" (the application
// framework's delegate callbacks as optional instance methods), so that
// services can check a delegate's conformance without linking the
// application framework.

#include <any>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

class RuntimeObject;
struct objc_class;
struct objc_method;
struct objc_ivar;
class Protocol;

using Class = objc_class*;
using Method = objc_method*;
using Ivar = objc_ivar*;
using id = std::shared_ptr<NSObject>;
using Arguments = std::vector<std::any>;

// An interned selector name; the default value is the null selector.
class SEL {
  public:
    SEL() = default;
    SEL(const char* name);  // NOLINT: selectors are spelled as strings
    SEL(const std::string& name);
    const char* name() const { return name_ ? name_->c_str() : nullptr; }
    explicit operator bool() const { return name_ != nullptr; }
    bool operator==(const SEL& other) const { return name_ == other.name_; }
    bool operator<(const SEL& other) const { return name_ < other.name_; }

  private:
    const std::string* name_ = nullptr;
};

SEL sel_registerName(const std::string& name);
const char* sel_getName(SEL selector);  // "<null selector>" for the null one
SEL NSSelectorFromString(const std::string& name);
std::string NSStringFromSelector(SEL selector);

class Implementation {
  public:
    using Body = std::function<std::any(RuntimeObject& self, SEL cmd, const Arguments& args)>;
    explicit Implementation(Body body) : body_(std::move(body)) {}
    static std::shared_ptr<const Implementation> make(Body body) {
        return std::make_shared<const Implementation>(std::move(body));
    }
    std::any operator()(RuntimeObject& self, SEL cmd, const Arguments& args) const {
        return body_(self, cmd, args);
    }

  private:
    Body body_;
};
using IMP = std::shared_ptr<const Implementation>;

struct objc_method_description {
    SEL name;  // null when no such method
    std::string types;
};

// ----------------------------------------------------------------------------
// Runtime objects

class RuntimeObject : public NSObject {
  public:
    // An instance of cls (the root class "NSObject" when null).
    explicit RuntimeObject(Class cls = nullptr);
    ~RuntimeObject() override;

    // The name of the object's current class.
    std::string className() const override;
    // Sends "description", so a replaced implementation answers.
    std::string description() const override;

    bool respondsToSelector(SEL selector) const;
    // Walks the class chain and the protocols' own protocols.
    bool conformsToProtocol(Protocol* protocol) const;
    bool isKindOfClass(Class cls) const;

    // Key-value observing of object-valued properties: the owner of a
    // property calls didChangeValueForKey in its setter, and each observer of
    // that key runs synchronously with the old and the new value. An
    // observer removed before its turn is not called.
    using KeyValueObserver =
        std::function<void(const std::string& keyPath, const id& oldValue, const id& newValue)>;
    std::uint64_t addObserverForKeyPath(const std::string& keyPath, KeyValueObserver observer);
    void removeObserverForKeyPath(std::uint64_t token);
    void didChangeValueForKey(const std::string& key, const id& oldValue, const id& newValue);

    static Class rootClass();

  protected:
    struct Unclassed {};
    explicit RuntimeObject(Unclassed) {}

  private:
    friend Class object_getClass(const NSObject* object);
    friend Class object_setClass(NSObject* object, Class cls);
    friend std::any object_getIvar(const NSObject* object, Ivar ivar);
    friend void object_setIvar(NSObject* object, Ivar ivar, std::any value);
    friend struct RuntimeAccess;

    std::atomic<Class> isa_{nullptr};
    mutable std::mutex stateMutex_;
    std::map<const objc_ivar*, std::any> ivarValues_;  // variables added at run time
    struct KeyValueObservation {
        std::uint64_t token;
        std::string keyPath;
        std::shared_ptr<KeyValueObserver> observer;
    };
    std::vector<KeyValueObservation> observations_;
    std::uint64_t nextObservationToken_ = 1;
};

// A class object. Its internals belong to the runtime.
struct objc_class final : public RuntimeObject {
    struct Internals;
    explicit objc_class(std::unique_ptr<Internals> internals);
    ~objc_class() override;
    std::unique_ptr<Internals> internals;
};

// ----------------------------------------------------------------------------
// Classes

Class objc_getClass(const std::string& name);  // registered classes only
Class objc_lookUpClass(const std::string& name);
Class objc_getMetaClass(const std::string& name);
Class NSClassFromString(const std::string& name);
std::string NSStringFromClass(Class cls);  // "" for nil
std::vector<Class> objc_copyClassList();

// Null when the name is taken (registered or being built), when the
// superclass is not registered yet, or when told to fail (sim).
Class objc_allocateClassPair(Class superclass, const std::string& name, std::size_t extraBytes);
void objc_registerClassPair(Class cls);
// Only for a pair that has not been registered: frees its name.
void objc_disposeClassPair(Class cls);

const char* class_getName(Class cls);  // "nil" for nil
Class class_getSuperclass(Class cls);
bool class_isMetaClass(Class cls);
std::size_t class_getInstanceSize(Class cls);
// A new instance: the nearest class bound to a C++ type makes the object.
std::shared_ptr<RuntimeObject> class_createInstance(Class cls);

Method class_getInstanceMethod(Class cls, SEL selector);  // inherited ones too
Method class_getClassMethod(Class cls, SEL selector);
IMP class_getMethodImplementation(Class cls, SEL selector);  // null when none
bool class_respondsToSelector(Class cls, SEL selector);
// False when the class itself already has the selector.
bool class_addMethod(Class cls, SEL selector, IMP imp, const std::string& types);
// Replaces the class's own method (giving its old IMP) or adds one (giving
// null); the superclass is never touched.
IMP class_replaceMethod(Class cls, SEL selector, IMP imp, const std::string& types);
std::vector<Method> class_copyMethodList(Class cls);  // own methods, in order

SEL method_getName(Method method);
IMP method_getImplementation(Method method);
std::string method_getTypeEncoding(Method method);
IMP method_setImplementation(Method method, IMP imp);
void method_exchangeImplementations(Method first, Method second);

// Only before the class pair is registered; false when the name is taken.
bool class_addIvar(Class cls, const std::string& name, std::size_t size, std::uint8_t alignment,
                   const std::string& types);
std::vector<Ivar> class_copyIvarList(Class cls);  // own variables, in declaration order
Ivar class_getInstanceVariable(Class cls, const std::string& name);
const char* ivar_getName(Ivar ivar);
const char* ivar_getTypeEncoding(Ivar ivar);

bool class_addProtocol(Class cls, Protocol* protocol);
// The class's own protocols (and what they adopt), not its superclasses'.
bool class_conformsToProtocol(Class cls, Protocol* protocol);
std::vector<Protocol*> class_copyProtocolList(Class cls);

// ----------------------------------------------------------------------------
// Objects

Class object_getClass(const NSObject* object);  // nil for nil or a plain NSObject
inline Class object_getClass(const id& object) {
    return object_getClass(object.get());
}
// Gives the previous class, or nil (and changes nothing) for nil, a plain
// NSObject, or a class whose C++ type the object does not have.
Class object_setClass(NSObject* object, Class cls);
inline Class object_setClass(const id& object, Class cls) {
    return object_setClass(object.get(), cls);
}
std::string object_getClassName(const NSObject* object);
// A nil object variable reads as a null id; an unset run-time variable, a
// nil object or one without that variable give an empty value.
std::any object_getIvar(const NSObject* object, Ivar ivar);
void object_setIvar(NSObject* object, Ivar ivar, std::any value);

// ----------------------------------------------------------------------------
// Protocols

Protocol* objc_getProtocol(const std::string& name);  // registered ones only
Protocol* NSProtocolFromString(const std::string& name);
std::string NSStringFromProtocol(Protocol* protocol);
const char* protocol_getName(Protocol* protocol);
Protocol* objc_allocateProtocol(const std::string& name);  // null when taken
void objc_registerProtocol(Protocol* protocol);
// Only while the protocol is being built.
void protocol_addMethodDescription(Protocol* protocol, SEL selector, const std::string& types,
                                   bool isRequiredMethod, bool isInstanceMethod);
void protocol_addProtocol(Protocol* protocol, Protocol* addition);
// Searches the protocol and the protocols it adopts.
objc_method_description protocol_getMethodDescription(Protocol* protocol, SEL selector,
                                                      bool isRequiredMethod, bool isInstanceMethod);
bool protocol_conformsToProtocol(Protocol* protocol, Protocol* other);

// ----------------------------------------------------------------------------
// Typed arguments and messaging

namespace runtime_detail {

template <class T>
struct SharedPointer : std::false_type {};
template <class U>
struct SharedPointer<std::shared_ptr<U>> : std::true_type {
    using element = U;
};
template <class T>
struct WeakPointer : std::false_type {};
template <class U>
struct WeakPointer<std::weak_ptr<U>> : std::true_type {
    using element = U;
};
template <class T>
constexpr bool isObjectPointer() {
    if constexpr (SharedPointer<T>::value) {
        return std::is_base_of_v<NSObject, typename SharedPointer<T>::element>;
    } else {
        return false;
    }
}
template <class T>
struct StdFunction : std::false_type {};
template <class R, class... A>
struct StdFunction<std::function<R(A...)>> : std::true_type {};

[[noreturn]] void raiseTypeMismatch(const std::type_info& expected, const std::type_info& actual);
[[noreturn]] void raiseArgumentCount(SEL cmd, std::size_t expected, std::size_t actual);
[[noreturn]] void raiseWrongReceiver(const RuntimeObject& self, SEL cmd);

template <class S, class D>
bool convertFrom(const std::any& value, D& out) {
    if (const S* p = std::any_cast<S>(&value)) {
        out = static_cast<D>(*p);
        return true;
    }
    return false;
}
template <class D>
bool convertArithmetic(const std::any& value, D& out) {
    return convertFrom<bool>(value, out) || convertFrom<char>(value, out) ||
           convertFrom<signed char>(value, out) || convertFrom<unsigned char>(value, out) ||
           convertFrom<short>(value, out) || convertFrom<unsigned short>(value, out) ||
           convertFrom<int>(value, out) || convertFrom<unsigned>(value, out) ||
           convertFrom<long>(value, out) || convertFrom<unsigned long>(value, out) ||
           convertFrom<long long>(value, out) || convertFrom<unsigned long long>(value, out) ||
           convertFrom<float>(value, out) || convertFrom<double>(value, out);
}

// The platform's type encoding of a C++ type.
template <class T>
std::string encode() {
    using D = std::remove_cvref_t<T>;
    if constexpr (std::is_void_v<D>)
        return "v";
    else if constexpr (std::is_same_v<D, bool>)
        return "B";
    else if constexpr (std::is_same_v<D, char> || std::is_same_v<D, signed char>)
        return "c";
    else if constexpr (std::is_same_v<D, unsigned char>)
        return "C";
    else if constexpr (std::is_same_v<D, short>)
        return "s";
    else if constexpr (std::is_same_v<D, unsigned short>)
        return "S";
    else if constexpr (std::is_same_v<D, int>)
        return "i";
    else if constexpr (std::is_same_v<D, unsigned>)
        return "I";
    else if constexpr (std::is_same_v<D, long> || std::is_same_v<D, long long>)
        return "q";
    else if constexpr (std::is_same_v<D, unsigned long> || std::is_same_v<D, unsigned long long>)
        return "Q";
    else if constexpr (std::is_same_v<D, float>)
        return "f";
    else if constexpr (std::is_same_v<D, double>)
        return "d";
    else if constexpr (std::is_same_v<D, Class>)
        return "#";
    else if constexpr (std::is_same_v<D, SEL>)
        return ":";
    else if constexpr (StdFunction<D>::value)
        return "@?";
    else if constexpr (isObjectPointer<D>() || WeakPointer<D>::value)
        return "@";
    else if constexpr (std::is_same_v<D, std::string>)
        return "@\"NSString\"";
    else if constexpr (std::is_pointer_v<D>)
        return "^v";
    else
        return "?";
}
template <class R, class... A>
std::string methodTypes() {
    return encode<R>() + "@:" + (std::string() + ... + encode<A>());
}

}  // namespace runtime_detail

template <class T>
std::any runtime_box(T&& value) {
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, std::any>) {
        return std::forward<T>(value);
    } else if constexpr (std::is_same_v<D, std::nullptr_t>) {
        return std::any(id());
    } else if constexpr (runtime_detail::isObjectPointer<D>()) {
        return std::any(id(std::forward<T>(value)));
    } else if constexpr (std::is_same_v<D, const char*> || std::is_same_v<D, char*>) {
        const char* text = value;
        return std::any(std::string(text ? text : ""));
    } else {
        return std::any(std::forward<T>(value));
    }
}

template <class T>
std::remove_cvref_t<T> runtime_cast(const std::any& value) {
    using D = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<D, std::any>) {
        return value;
    } else if constexpr (runtime_detail::isObjectPointer<D>()) {
        using U = typename runtime_detail::SharedPointer<D>::element;
        if (!value.has_value()) return nullptr;
        if (const id* object = std::any_cast<id>(&value)) {
            if constexpr (std::is_same_v<U, NSObject>) {
                return *object;
            } else {
                if (!*object) return nullptr;
                if (auto typed = std::dynamic_pointer_cast<U>(*object)) return typed;
                runtime_detail::raiseTypeMismatch(typeid(U), typeid(**object));
            }
        }
        if (const D* typed = std::any_cast<D>(&value)) return *typed;
        runtime_detail::raiseTypeMismatch(typeid(D), value.type());
    } else {
        if (const D* typed = std::any_cast<D>(&value)) return *typed;
        if constexpr (std::is_arithmetic_v<D>) {
            D converted{};
            if (runtime_detail::convertArithmetic(value, converted)) return converted;
        }
        if constexpr (std::is_default_constructible_v<D>) {
            if (!value.has_value()) return D{};
        }
        runtime_detail::raiseTypeMismatch(typeid(D), value.type());
    }
}

// Sends the message with boxed arguments through the receiver's class.
std::any objc_msgSendv(RuntimeObject* self, SEL op, const Arguments& args);
// The same, starting the lookup at `superclass` ([super op]).
std::any objc_msgSendSuperv(RuntimeObject* self, Class superclass, SEL op, const Arguments& args);

template <class R = void, class... A>
R objc_msgSend(RuntimeObject* self, SEL op, A&&... args) {
    std::any result = objc_msgSendv(self, op, Arguments{runtime_box(std::forward<A>(args))...});
    if constexpr (!std::is_void_v<R>) return runtime_cast<R>(result);
}
// A receiver held by shared pointer; one that is not a runtime object does
// not answer any selector.
template <class R = void, class T, class... A>
R objc_msgSend(const std::shared_ptr<T>& self, SEL op, A&&... args) {
    RuntimeObject* receiver = nullptr;
    if (self) {
        receiver = dynamic_cast<RuntimeObject*>(static_cast<NSObject*>(self.get()));
        if (!receiver) {
            throw NSException(NSException::NSInvalidArgumentException,
                              "-[" + self->className() + " " + NSStringFromSelector(op) +
                                  "]: unrecognized selector sent to instance");
        }
    }
    return objc_msgSend<R>(receiver, op, std::forward<A>(args)...);
}
template <class R = void, class... A>
R objc_msgSendSuper(RuntimeObject* self, Class superclass, SEL op, A&&... args) {
    std::any result =
        objc_msgSendSuperv(self, superclass, op, Arguments{runtime_box(std::forward<A>(args))...});
    if constexpr (!std::is_void_v<R>) return runtime_cast<R>(result);
}

namespace runtime_detail {

template <class Self, class R, class... A, std::size_t... I>
std::any invokeTyped(const std::function<R(Self&, A...)>& fn, RuntimeObject& self, SEL cmd,
                     const Arguments& args, std::index_sequence<I...>) {
    if (args.size() != sizeof...(A)) raiseArgumentCount(cmd, sizeof...(A), args.size());
    Self* typed = dynamic_cast<Self*>(&self);
    if (!typed) raiseWrongReceiver(self, cmd);
    if constexpr (std::is_void_v<R>) {
        fn(*typed, runtime_cast<A>(args[I])...);
        return {};
    } else {
        return runtime_box(fn(*typed, runtime_cast<A>(args[I])...));
    }
}

template <class Self, class R, class... A>
Implementation::Body typedBody(std::function<R(Self&, A...)> fn) {
    static_assert(std::is_base_of_v<RuntimeObject, std::remove_const_t<Self>>,
                  "the first parameter is the receiver, a RuntimeObject");
    static_assert(
        ((!std::is_lvalue_reference_v<A> || std::is_const_v<std::remove_reference_t<A>>)&&...),
        "arguments arrive by value or const reference");
    return [fn = std::move(fn)](RuntimeObject& self, SEL cmd, const Arguments& args) {
        return invokeTyped(fn, self, cmd, args, std::index_sequence_for<A...>{});
    };
}

template <class Self, class R, class... A>
std::string typedMethodTypes(const std::function<R(Self&, A...)>&) {
    return methodTypes<R, A...>();
}

}  // namespace runtime_detail

// An implementation from a typed callable whose first parameter is the
// receiver (RuntimeObject& or a subclass) and the others the method's
// arguments, e.g. [](Toy& self, const id& sender) -> bool { ... }.
template <class F>
IMP imp_implementationWithBlock(F block) {
    return Implementation::make(runtime_detail::typedBody(std::function(std::move(block))));
}
// The type encoding such a callable gets ("B@:@" for the example above).
template <class F>
std::string imp_typesOfBlock(const F& block) {
    return runtime_detail::typedMethodTypes(std::function(block));
}

// ----------------------------------------------------------------------------
// Classes bound to C++ types

namespace runtime_detail {
// Records the C++ side of a class: its size, how to tell its instances and
// how to make one (no factory for abstract or non-default-constructible T).
void bindClass(Class cls, std::size_t instanceSize,
               std::function<bool(const RuntimeObject&)> isInstance,
               std::function<std::shared_ptr<RuntimeObject>()> factory);
void addBoundIvar(Class cls, const std::string& name, const std::string& types, std::size_t size,
                  std::function<std::any(const RuntimeObject&)> get,
                  std::function<void(RuntimeObject&, const std::any&)> set);
[[noreturn]] void raiseClassExists(const std::string& name);
}  // namespace runtime_detail

// Declares the runtime class of a C++ type T (derived from RuntimeObject):
//
//   class Toy : public RuntimeObject {
//     public:
//       static Class runtimeClass() {
//           static Class cls = ClassBuilder<Toy>("Toy")
//               .method("ping:", &Toy::ping)
//               .conformsTo(objc_getProtocol("NSApplicationDelegate"))
//               .registerClass();
//           return cls;
//       }
//       Toy() : RuntimeObject(runtimeClass()) {}
//       bool ping(const id& sender);
//   };
//
// registerClass raises NSInternalInconsistencyException when the name is
// taken: two C++ types cannot share a class name.
template <class T>
class ClassBuilder {
    static_assert(std::is_base_of_v<RuntimeObject, T>, "T must derive from RuntimeObject");

  public:
    explicit ClassBuilder(std::string name, Class superclass = RuntimeObject::rootClass())
        : name_(std::move(name)), cls_(objc_allocateClassPair(superclass, name_, 0)) {}

    template <class C, class R, class... A>
    ClassBuilder& method(SEL selector, R (C::*member)(A...)) {
        return method(selector, std::function<R(T&, A...)>([member](T& self, A... args) -> R {
                          return (self.*member)(std::forward<A>(args)...);
                      }));
    }
    template <class C, class R, class... A>
    ClassBuilder& method(SEL selector, R (C::*member)(A...) const) {
        return method(selector, std::function<R(T&, A...)>([member](T& self, A... args) -> R {
                          return (self.*member)(std::forward<A>(args)...);
                      }));
    }
    // A callable (T& or a base, then the arguments).
    template <class F>
    ClassBuilder& method(SEL selector, F block) {
        if (cls_) {
            std::string types = imp_typesOfBlock(block);
            class_addMethod(cls_, selector, imp_implementationWithBlock(std::move(block)), types);
        }
        return *this;
    }
    // A callable whose receiver is the class object (RuntimeObject&).
    template <class F>
    ClassBuilder& classMethod(SEL selector, F block) {
        if (cls_) {
            std::string types = imp_typesOfBlock(block);
            class_addMethod(object_getClass(cls_), selector,
                            imp_implementationWithBlock(std::move(block)), types);
        }
        return *this;
    }
    // An instance variable backed by a data member (listed, read and written
    // through object_getIvar / object_setIvar).
    template <class M>
    ClassBuilder& ivar(const std::string& name, M T::*member) {
        if (!cls_) return *this;
        std::function<std::any(const RuntimeObject&)> get = [member](const RuntimeObject& o) {
            const M& field = static_cast<const T&>(o).*member;
            if constexpr (runtime_detail::WeakPointer<M>::value) {
                return runtime_box(field.lock());
            } else {
                return runtime_box(field);
            }
        };
        std::function<void(RuntimeObject&, const std::any&)> set = [member](RuntimeObject& o,
                                                                            const std::any& value) {
            M& field = static_cast<T&>(o).*member;
            if constexpr (runtime_detail::WeakPointer<M>::value) {
                field =
                    runtime_cast<std::shared_ptr<typename runtime_detail::WeakPointer<M>::element>>(
                        value);
            } else {
                field = runtime_cast<M>(value);
            }
        };
        runtime_detail::addBoundIvar(cls_, name, runtime_detail::encode<M>(), sizeof(M),
                                     std::move(get), std::move(set));
        return *this;
    }
    ClassBuilder& conformsTo(Protocol* protocol) {
        if (cls_ && protocol) class_addProtocol(cls_, protocol);
        return *this;
    }
    Class registerClass() {
        if (!cls_) runtime_detail::raiseClassExists(name_);
        std::function<std::shared_ptr<RuntimeObject>()> factory;
        if constexpr (std::is_default_constructible_v<T> && !std::is_abstract_v<T>) {
            factory = [] { return std::make_shared<T>(); };
        }
        runtime_detail::bindClass(
            cls_, sizeof(T),
            [](const RuntimeObject& o) { return dynamic_cast<const T*>(&o) != nullptr; },
            std::move(factory));
        objc_registerClassPair(cls_);
        return cls_;
    }

  private:
    std::string name_;
    Class cls_;
};
