#include "platform/runtime/Runtime.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <shared_mutex>
#include <unordered_set>

#include "platform/runtime/RuntimeTesting.h"

// ----------------------------------------------------------------------------
// Internals

struct objc_method {
    SEL name;
    IMP imp;  // guarded by the runtime lock
    std::string types;
};

struct objc_ivar {
    std::string name;
    std::string types;
    std::size_t size = 0;
    // Bound to a C++ data member; empty for a variable added at run time,
    // whose value lives in the object.
    std::function<std::any(const RuntimeObject&)> get;
    std::function<void(RuntimeObject&, const std::any&)> set;
};

class Protocol {
  public:
    struct Entry {
        objc_method_description description;
        bool required;
        bool instance;
    };
    std::string name;
    std::vector<Entry> methods;
    std::vector<Protocol*> protocols;
    bool registered = false;
};

struct objc_class::Internals {
    std::string name;
    Class superclass = nullptr;
    bool isMeta = false;
    bool registered = false;
    bool disposed = false;
    std::vector<std::unique_ptr<objc_method>> methods;
    std::vector<std::unique_ptr<objc_ivar>> ivars;
    std::vector<Protocol*> protocols;
    std::size_t instanceSize = 0;
    std::function<bool(const RuntimeObject&)> isInstance;
    std::function<std::shared_ptr<RuntimeObject>()> factory;
};

objc_class::objc_class(std::unique_ptr<Internals> in)
    : RuntimeObject(Unclassed{}), internals(std::move(in)) {}
objc_class::~objc_class() = default;

struct RuntimeAccess {
    static void setIsa(RuntimeObject& object, Class cls) { object.isa_.store(cls); }
    static Class isa(const RuntimeObject& object) { return object.isa_.load(); }
};

namespace {

// The runtime lock guards every class, method, ivar and protocol structure.
// Implementations never run under it.
struct Registry {
    std::shared_mutex lock;
    std::map<std::string, Class> classes;          // registered
    std::set<std::string> pendingNames;            // allocated, not yet registered
    std::vector<std::shared_ptr<objc_class>> all;  // keeps every class alive
    std::map<std::string, std::unique_ptr<Protocol>> protocols;
    Class root = nullptr;
    bool failNextAllocation = false;
};

Registry& registry();

Class makeClass(Registry& r, std::string name, Class superclass, bool isMeta) {
    auto internals = std::make_unique<objc_class::Internals>();
    internals->name = std::move(name);
    internals->superclass = superclass;
    internals->isMeta = isMeta;
    auto cls = std::make_shared<objc_class>(std::move(internals));
    r.all.push_back(cls);
    return cls.get();
}

objc_method* ownMethod(Class cls, SEL selector) {
    for (auto& m : cls->internals->methods) {
        if (m->name == selector) return m.get();
    }
    return nullptr;
}

objc_method* findMethod(Class cls, SEL selector) {
    for (Class c = cls; c; c = c->internals->superclass) {
        if (objc_method* m = ownMethod(c, selector)) return m;
    }
    return nullptr;
}

objc_method* addMethodLocked(Class cls, SEL selector, IMP imp, const std::string& types) {
    auto method = std::make_unique<objc_method>();
    method->name = selector;
    method->imp = std::move(imp);
    method->types = types;
    cls->internals->methods.push_back(std::move(method));
    return cls->internals->methods.back().get();
}

bool protocolConforms(const Protocol* protocol, const Protocol* other) {
    if (protocol == other) return true;
    for (const Protocol* p : protocol->protocols) {
        if (protocolConforms(p, other)) return true;
    }
    return false;
}

bool classOwnConforms(Class cls, const Protocol* protocol) {
    for (const Protocol* p : cls->internals->protocols) {
        if (protocolConforms(p, protocol)) return true;
    }
    return false;
}

std::string addressText(const void* address) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", address);
    std::string text = buf;
    if (text.rfind("0x", 0) != 0) text = "0x" + text;
    return text;
}

std::string demangle(const std::type_info& type) {
    int status = 0;
    char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string result = status == 0 && name ? name : type.name();
    std::free(name);
    return result;
}

Protocol* addProtocolLocked(Registry& r, const std::string& name) {
    auto protocol = std::make_unique<Protocol>();
    protocol->name = name;
    Protocol* raw = protocol.get();
    r.protocols.emplace(name, std::move(protocol));
    return raw;
}

void addOptional(Protocol* protocol, const char* selector, const char* types) {
    protocol->methods.push_back({{SEL(selector), types}, false, true});
}

// The root class, its metaclass and the built-in protocols.
void bootstrap(Registry& r) {
    Class root = makeClass(r, "NSObject", nullptr, false);
    Class rootMeta = makeClass(r, "NSObject", root, true);
    RuntimeAccess::setIsa(*rootMeta, rootMeta);
    RuntimeAccess::setIsa(*root, rootMeta);
    root->internals->registered = rootMeta->internals->registered = true;
    root->internals->instanceSize = sizeof(RuntimeObject);
    root->internals->isInstance = [](const RuntimeObject&) { return true; };
    root->internals->factory = [] { return std::make_shared<RuntimeObject>(); };
    r.classes.emplace("NSObject", root);
    r.root = root;

    auto add = [&](const char* name, auto block) {
        addMethodLocked(root, name, imp_implementationWithBlock(block), imp_typesOfBlock(block));
    };
    add("description", [](RuntimeObject& self) -> std::string {
        if (class_isMetaClass(RuntimeAccess::isa(self))) return self.className();
        return self.NSObject::description();
    });
    add("class", [](RuntimeObject& self) -> Class {
        Class cls = RuntimeAccess::isa(self);
        // A class answers itself, not its metaclass.
        return class_isMetaClass(cls) ? static_cast<Class>(&self) : cls;
    });
    add("respondsToSelector:",
        [](RuntimeObject& self, SEL selector) { return self.respondsToSelector(selector); });
    add("conformsToProtocol:",
        [](RuntimeObject& self, Protocol* protocol) { return self.conformsToProtocol(protocol); });
    add("isKindOfClass:", [](RuntimeObject& self, Class cls) { return self.isKindOfClass(cls); });

    Protocol* nsobject = addProtocolLocked(r, "NSObject");
    for (const char* sel :
         {"description", "class", "respondsToSelector:", "conformsToProtocol:", "isKindOfClass:"}) {
        nsobject->methods.push_back({{SEL(sel), ""}, true, true});
    }
    nsobject->registered = true;
    root->internals->protocols.push_back(nsobject);

    Protocol* delegate = addProtocolLocked(r, "NSApplicationDelegate");
    delegate->protocols.push_back(nsobject);
    addOptional(delegate, "applicationWillFinishLaunching:", "v@:@");
    addOptional(delegate, "applicationDidFinishLaunching:", "v@:@");
    addOptional(delegate, "applicationWillTerminate:", "v@:@");
    addOptional(delegate, "applicationShouldTerminate:", "Q@:@");
    addOptional(delegate, "applicationShouldTerminateAfterLastWindowClosed:", "B@:@");
    addOptional(delegate, "applicationShouldHandleReopen:hasVisibleWindows:", "B@:@B");
    addOptional(delegate, "applicationWillBecomeActive:", "v@:@");
    addOptional(delegate, "applicationDidBecomeActive:", "v@:@");
    addOptional(delegate, "applicationWillResignActive:", "v@:@");
    addOptional(delegate, "applicationDidResignActive:", "v@:@");
    addOptional(delegate, "applicationDockMenu:", "@@:@");
    addOptional(delegate, "application:openURLs:", "v@:@@");
    addOptional(delegate, "application:willContinueUserActivityWithType:", "B@:@@");
    addOptional(delegate, "application:continueUserActivity:restorationHandler:", "B@:@@@?");
    addOptional(delegate, "application:didRegisterForRemoteNotificationsWithDeviceToken:", "v@:@@");
    addOptional(delegate, "application:didFailToRegisterForRemoteNotificationsWithError:", "v@:@@");
    addOptional(delegate, "application:didReceiveRemoteNotification:", "v@:@@");
    delegate->registered = true;
}

Registry& registry() {
    static Registry* r = [] {
        auto* created = new Registry();  // lives until exit: classes are never freed
        bootstrap(*created);
        return created;
    }();
    return *r;
}

std::mutex& selectorMutex() {
    static std::mutex m;
    return m;
}

const std::string* internSelector(const std::string& name) {
    static auto* names = new std::unordered_set<std::string>();
    std::lock_guard<std::mutex> lock(selectorMutex());
    return &*names->insert(name).first;
}

Class metaclassOf(Class cls) {
    return cls ? RuntimeAccess::isa(*cls) : nullptr;
}

// The nearest class (itself included) that is bound to a C++ type.
Class boundClass(Class cls) {
    for (Class c = cls; c; c = c->internals->superclass) {
        if (c->internals->isInstance) return c;
    }
    return nullptr;
}

[[noreturn]] void raiseUnrecognized(const RuntimeObject& self, SEL op) {
    Class cls = RuntimeAccess::isa(self);
    bool isClass = class_isMetaClass(cls);
    throw NSException(NSException::NSInvalidArgumentException,
                      std::string(isClass ? "+[" : "-[") + class_getName(cls) + " " +
                          sel_getName(op) + "]: unrecognized selector sent to " +
                          (isClass ? "class " : "instance ") + addressText(&self));
}

std::any send(RuntimeObject* self, Class start, SEL op, const Arguments& args) {
    if (!self) return {};
    IMP imp;
    {
        std::shared_lock lock(registry().lock);
        if (objc_method* m = findMethod(start, op)) imp = m->imp;
    }
    if (!imp) raiseUnrecognized(*self, op);
    return (*imp)(*self, op, args);
}

}  // namespace

// ----------------------------------------------------------------------------
// Selectors

SEL::SEL(const char* name) : name_(name ? internSelector(name) : nullptr) {}
SEL::SEL(const std::string& name) : name_(internSelector(name)) {}

SEL sel_registerName(const std::string& name) {
    return SEL(name);
}
const char* sel_getName(SEL selector) {
    return selector ? selector.name() : "<null selector>";
}
SEL NSSelectorFromString(const std::string& name) {
    return name.empty() ? SEL() : SEL(name);
}
std::string NSStringFromSelector(SEL selector) {
    return selector ? selector.name() : "";
}

// ----------------------------------------------------------------------------
// Runtime objects

RuntimeObject::RuntimeObject(Class cls) : isa_(cls ? cls : rootClass()) {}
RuntimeObject::~RuntimeObject() = default;

Class RuntimeObject::rootClass() {
    return registry().root;
}

std::string RuntimeObject::className() const {
    return class_getName(isa_.load());
}

std::string RuntimeObject::description() const {
    return objc_msgSend<std::string>(const_cast<RuntimeObject*>(this), "description");
}

bool RuntimeObject::respondsToSelector(SEL selector) const {
    return class_respondsToSelector(isa_.load(), selector);
}

bool RuntimeObject::conformsToProtocol(Protocol* protocol) const {
    if (!protocol) return false;
    std::shared_lock lock(registry().lock);
    for (Class c = isa_.load(); c; c = c->internals->superclass) {
        if (classOwnConforms(c, protocol)) return true;
    }
    return false;
}

bool RuntimeObject::isKindOfClass(Class cls) const {
    for (Class c = isa_.load(); c; c = class_getSuperclass(c)) {
        if (c == cls) return true;
    }
    return false;
}

std::uint64_t RuntimeObject::addObserverForKeyPath(const std::string& keyPath,
                                                   KeyValueObserver observer) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    std::uint64_t token = nextObservationToken_++;
    observations_.push_back(
        {token, keyPath, std::make_shared<KeyValueObserver>(std::move(observer))});
    return token;
}

void RuntimeObject::removeObserverForKeyPath(std::uint64_t token) {
    std::shared_ptr<KeyValueObserver> removed;  // released outside the lock
    std::lock_guard<std::mutex> lock(stateMutex_);
    for (auto it = observations_.begin(); it != observations_.end(); ++it) {
        if (it->token == token) {
            removed = std::move(it->observer);
            observations_.erase(it);
            return;
        }
    }
}

void RuntimeObject::didChangeValueForKey(const std::string& key, const id& oldValue,
                                         const id& newValue) {
    std::vector<std::pair<std::uint64_t, std::shared_ptr<KeyValueObserver>>> matching;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        for (const auto& o : observations_) {
            if (o.keyPath == key) matching.emplace_back(o.token, o.observer);
        }
    }
    for (const auto& [token, observer] : matching) {
        bool stillRegistered = false;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            for (const auto& o : observations_) stillRegistered |= o.token == token;
        }
        if (stillRegistered) (*observer)(key, oldValue, newValue);
    }
}

// ----------------------------------------------------------------------------
// Classes

Class objc_getClass(const std::string& name) {
    Registry& r = registry();
    std::shared_lock lock(r.lock);
    auto it = r.classes.find(name);
    return it == r.classes.end() ? nullptr : it->second;
}
Class objc_lookUpClass(const std::string& name) {
    return objc_getClass(name);
}
Class objc_getMetaClass(const std::string& name) {
    return metaclassOf(objc_getClass(name));
}
Class NSClassFromString(const std::string& name) {
    return objc_getClass(name);
}
std::string NSStringFromClass(Class cls) {
    return cls ? class_getName(cls) : "";
}

std::vector<Class> objc_copyClassList() {
    Registry& r = registry();
    std::shared_lock lock(r.lock);
    std::vector<Class> list;
    for (const auto& [name, cls] : r.classes) list.push_back(cls);
    return list;
}

Class objc_allocateClassPair(Class superclass, const std::string& name, std::size_t extraBytes) {
    Registry& r = registry();
    std::unique_lock lock(r.lock);
    if (r.failNextAllocation) {
        r.failNextAllocation = false;
        return nullptr;
    }
    if (name.empty() || r.classes.count(name) || r.pendingNames.count(name)) return nullptr;
    if (superclass && (superclass->internals->isMeta || !superclass->internals->registered)) {
        return nullptr;
    }
    Class cls = makeClass(r, name, superclass, false);
    // A new root's metaclass inherits from the root itself.
    Class meta = makeClass(r, name, superclass ? metaclassOf(superclass) : cls, true);
    RuntimeAccess::setIsa(*cls, meta);
    RuntimeAccess::setIsa(*meta, metaclassOf(r.root));
    cls->internals->instanceSize =
        (superclass ? superclass->internals->instanceSize : sizeof(RuntimeObject)) + extraBytes;
    if (!superclass) {
        cls->internals->isInstance = [](const RuntimeObject&) { return true; };
        cls->internals->factory = [] { return std::make_shared<RuntimeObject>(); };
    }
    r.pendingNames.insert(name);
    return cls;
}

void objc_registerClassPair(Class cls) {
    if (!cls || cls->internals->isMeta) return;
    Registry& r = registry();
    std::unique_lock lock(r.lock);
    auto& in = *cls->internals;
    if (in.registered || in.disposed || !r.pendingNames.erase(in.name)) return;
    in.registered = true;
    metaclassOf(cls)->internals->registered = true;
    r.classes.emplace(in.name, cls);
}

void objc_disposeClassPair(Class cls) {
    if (!cls || cls->internals->isMeta) return;
    Registry& r = registry();
    std::unique_lock lock(r.lock);
    auto& in = *cls->internals;
    if (in.registered || in.disposed) return;
    in.disposed = true;
    r.pendingNames.erase(in.name);
}

const char* class_getName(Class cls) {
    return cls ? cls->internals->name.c_str() : "nil";
}
Class class_getSuperclass(Class cls) {
    if (!cls) return nullptr;
    std::shared_lock lock(registry().lock);
    return cls->internals->superclass;
}
bool class_isMetaClass(Class cls) {
    return cls && cls->internals->isMeta;
}
std::size_t class_getInstanceSize(Class cls) {
    if (!cls) return 0;
    std::shared_lock lock(registry().lock);
    return cls->internals->instanceSize;
}

std::shared_ptr<RuntimeObject> class_createInstance(Class cls) {
    if (!cls || cls->internals->isMeta) return nullptr;
    std::function<std::shared_ptr<RuntimeObject>()> factory;
    {
        std::shared_lock lock(registry().lock);
        if (Class bound = boundClass(cls)) factory = bound->internals->factory;
    }
    if (!factory) return nullptr;
    auto object = factory();
    RuntimeAccess::setIsa(*object, cls);
    return object;
}

Method class_getInstanceMethod(Class cls, SEL selector) {
    if (!cls || !selector) return nullptr;
    std::shared_lock lock(registry().lock);
    return findMethod(cls, selector);
}

Method class_getClassMethod(Class cls, SEL selector) {
    return class_getInstanceMethod(metaclassOf(cls), selector);
}

IMP class_getMethodImplementation(Class cls, SEL selector) {
    if (!cls || !selector) return nullptr;
    std::shared_lock lock(registry().lock);
    objc_method* m = findMethod(cls, selector);
    return m ? m->imp : nullptr;
}

bool class_respondsToSelector(Class cls, SEL selector) {
    return class_getMethodImplementation(cls, selector) != nullptr;
}

bool class_addMethod(Class cls, SEL selector, IMP imp, const std::string& types) {
    if (!cls || !selector || !imp) return false;
    std::unique_lock lock(registry().lock);
    if (ownMethod(cls, selector)) return false;
    addMethodLocked(cls, selector, std::move(imp), types);
    return true;
}

IMP class_replaceMethod(Class cls, SEL selector, IMP imp, const std::string& types) {
    if (!cls || !selector || !imp) return nullptr;
    std::unique_lock lock(registry().lock);
    if (objc_method* m = ownMethod(cls, selector)) return std::exchange(m->imp, std::move(imp));
    addMethodLocked(cls, selector, std::move(imp), types);
    return nullptr;
}

std::vector<Method> class_copyMethodList(Class cls) {
    std::vector<Method> list;
    if (!cls) return list;
    std::shared_lock lock(registry().lock);
    for (auto& m : cls->internals->methods) list.push_back(m.get());
    return list;
}

SEL method_getName(Method method) {
    return method ? method->name : SEL();
}
IMP method_getImplementation(Method method) {
    if (!method) return nullptr;
    std::shared_lock lock(registry().lock);
    return method->imp;
}
std::string method_getTypeEncoding(Method method) {
    return method ? method->types : "";
}
IMP method_setImplementation(Method method, IMP imp) {
    if (!method || !imp) return nullptr;
    std::unique_lock lock(registry().lock);
    return std::exchange(method->imp, std::move(imp));
}
void method_exchangeImplementations(Method first, Method second) {
    if (!first || !second) return;
    std::unique_lock lock(registry().lock);
    std::swap(first->imp, second->imp);
}

bool class_addIvar(Class cls, const std::string& name, std::size_t size, std::uint8_t alignment,
                   const std::string& types) {
    if (!cls || cls->internals->isMeta || name.empty()) return false;
    std::unique_lock lock(registry().lock);
    auto& in = *cls->internals;
    if (in.registered) return false;
    for (Class c = cls; c; c = c->internals->superclass) {
        for (auto& v : c->internals->ivars) {
            if (v->name == name) return false;
        }
    }
    auto ivar = std::make_unique<objc_ivar>();
    ivar->name = name;
    ivar->types = types;
    ivar->size = size;
    std::size_t align = alignment ? alignment : 1;
    in.instanceSize = (in.instanceSize + align - 1) / align * align + size;
    in.ivars.push_back(std::move(ivar));
    return true;
}

std::vector<Ivar> class_copyIvarList(Class cls) {
    std::vector<Ivar> list;
    if (!cls) return list;
    std::shared_lock lock(registry().lock);
    for (auto& v : cls->internals->ivars) list.push_back(v.get());
    return list;
}

Ivar class_getInstanceVariable(Class cls, const std::string& name) {
    std::shared_lock lock(registry().lock);
    for (Class c = cls; c; c = c->internals->superclass) {
        for (auto& v : c->internals->ivars) {
            if (v->name == name) return v.get();
        }
    }
    return nullptr;
}

const char* ivar_getName(Ivar ivar) {
    return ivar ? ivar->name.c_str() : nullptr;
}
const char* ivar_getTypeEncoding(Ivar ivar) {
    return ivar ? ivar->types.c_str() : nullptr;
}

bool class_addProtocol(Class cls, Protocol* protocol) {
    if (!cls || !protocol) return false;
    std::unique_lock lock(registry().lock);
    if (classOwnConforms(cls, protocol)) return false;
    cls->internals->protocols.push_back(protocol);
    return true;
}

bool class_conformsToProtocol(Class cls, Protocol* protocol) {
    if (!cls || !protocol) return false;
    std::shared_lock lock(registry().lock);
    return classOwnConforms(cls, protocol);
}

std::vector<Protocol*> class_copyProtocolList(Class cls) {
    if (!cls) return {};
    std::shared_lock lock(registry().lock);
    return cls->internals->protocols;
}

// ----------------------------------------------------------------------------
// Objects

Class object_getClass(const NSObject* object) {
    auto* runtimeObject = dynamic_cast<const RuntimeObject*>(object);
    return runtimeObject ? runtimeObject->isa_.load() : nullptr;
}

Class object_setClass(NSObject* object, Class cls) {
    auto* runtimeObject = dynamic_cast<RuntimeObject*>(object);
    if (!runtimeObject || !cls) return nullptr;
    {
        // Methods bound to a C++ type must find that type in the object.
        std::shared_lock lock(registry().lock);
        if (cls->internals->isMeta != class_isMetaClass(runtimeObject->isa_.load())) {
            return nullptr;
        }
        Class bound = boundClass(cls);
        if (!cls->internals->isMeta && (!bound || !bound->internals->isInstance(*runtimeObject))) {
            return nullptr;
        }
    }
    return runtimeObject->isa_.exchange(cls);
}

std::string object_getClassName(const NSObject* object) {
    return class_getName(object_getClass(object));
}

std::any object_getIvar(const NSObject* object, Ivar ivar) {
    auto* runtimeObject = dynamic_cast<const RuntimeObject*>(object);
    if (!runtimeObject || !ivar) return {};
    // Only an object whose class chain declares the variable holds it.
    if (class_getInstanceVariable(runtimeObject->isa_.load(), ivar->name) != ivar) return {};
    if (ivar->get) return ivar->get(*runtimeObject);
    std::lock_guard<std::mutex> lock(runtimeObject->stateMutex_);
    auto it = runtimeObject->ivarValues_.find(ivar);
    return it == runtimeObject->ivarValues_.end() ? std::any() : it->second;
}

void object_setIvar(NSObject* object, Ivar ivar, std::any value) {
    auto* runtimeObject = dynamic_cast<RuntimeObject*>(object);
    if (!runtimeObject || !ivar) return;
    if (class_getInstanceVariable(runtimeObject->isa_.load(), ivar->name) != ivar) return;
    if (ivar->set) {
        ivar->set(*runtimeObject, value);
        return;
    }
    std::any previous;  // released outside the lock
    std::lock_guard<std::mutex> lock(runtimeObject->stateMutex_);
    previous = std::exchange(runtimeObject->ivarValues_[ivar], std::move(value));
}

// ----------------------------------------------------------------------------
// Protocols

Protocol* objc_getProtocol(const std::string& name) {
    Registry& r = registry();
    std::shared_lock lock(r.lock);
    auto it = r.protocols.find(name);
    return it != r.protocols.end() && it->second->registered ? it->second.get() : nullptr;
}
Protocol* NSProtocolFromString(const std::string& name) {
    return objc_getProtocol(name);
}
std::string NSStringFromProtocol(Protocol* protocol) {
    return protocol ? protocol->name : "";
}
const char* protocol_getName(Protocol* protocol) {
    return protocol ? protocol->name.c_str() : nullptr;
}

Protocol* objc_allocateProtocol(const std::string& name) {
    Registry& r = registry();
    std::unique_lock lock(r.lock);
    if (name.empty() || r.protocols.count(name)) return nullptr;
    return addProtocolLocked(r, name);
}

void objc_registerProtocol(Protocol* protocol) {
    if (!protocol) return;
    std::unique_lock lock(registry().lock);
    protocol->registered = true;
}

void protocol_addMethodDescription(Protocol* protocol, SEL selector, const std::string& types,
                                   bool isRequiredMethod, bool isInstanceMethod) {
    if (!protocol || !selector) return;
    std::unique_lock lock(registry().lock);
    if (protocol->registered) return;
    protocol->methods.push_back({{selector, types}, isRequiredMethod, isInstanceMethod});
}

void protocol_addProtocol(Protocol* protocol, Protocol* addition) {
    if (!protocol || !addition) return;
    std::unique_lock lock(registry().lock);
    if (protocol->registered) return;
    protocol->protocols.push_back(addition);
}

namespace {
objc_method_description findDescription(const Protocol* protocol, SEL selector, bool required,
                                        bool instance) {
    for (const auto& entry : protocol->methods) {
        if (entry.description.name == selector && entry.required == required &&
            entry.instance == instance) {
            return entry.description;
        }
    }
    for (const Protocol* p : protocol->protocols) {
        auto found = findDescription(p, selector, required, instance);
        if (found.name) return found;
    }
    return {};
}
}  // namespace

objc_method_description protocol_getMethodDescription(Protocol* protocol, SEL selector,
                                                      bool isRequiredMethod,
                                                      bool isInstanceMethod) {
    if (!protocol || !selector) return {};
    std::shared_lock lock(registry().lock);
    return findDescription(protocol, selector, isRequiredMethod, isInstanceMethod);
}

bool protocol_conformsToProtocol(Protocol* protocol, Protocol* other) {
    if (!protocol || !other) return false;
    std::shared_lock lock(registry().lock);
    return protocolConforms(protocol, other);
}

// ----------------------------------------------------------------------------
// Messaging

std::any objc_msgSendv(RuntimeObject* self, SEL op, const Arguments& args) {
    return send(self, self ? RuntimeAccess::isa(*self) : nullptr, op, args);
}

std::any objc_msgSendSuperv(RuntimeObject* self, Class superclass, SEL op, const Arguments& args) {
    return send(self, superclass, op, args);
}

namespace runtime_detail {

void raiseTypeMismatch(const std::type_info& expected, const std::type_info& actual) {
    throw NSException(
        NSException::NSInvalidArgumentException,
        "a value of type " + demangle(actual) + " where " + demangle(expected) + " is expected");
}

void raiseArgumentCount(SEL cmd, std::size_t expected, std::size_t actual) {
    throw NSException(NSException::NSInvalidArgumentException,
                      std::string(sel_getName(cmd)) + " takes " + std::to_string(expected) +
                          " arguments, not " + std::to_string(actual));
}

void raiseWrongReceiver(const RuntimeObject& self, SEL cmd) {
    throw NSException(NSException::NSInvalidArgumentException,
                      std::string(sel_getName(cmd)) + " sent to an object of the wrong type (" +
                          self.className() + ")");
}

void raiseClassExists(const std::string& name) {
    throw NSException(NSException::NSInternalInconsistencyException,
                      "cannot create the class " + name + ": the name is taken");
}

void bindClass(Class cls, std::size_t instanceSize,
               std::function<bool(const RuntimeObject&)> isInstance,
               std::function<std::shared_ptr<RuntimeObject>()> factory) {
    if (!cls) return;
    std::unique_lock lock(registry().lock);
    auto& in = *cls->internals;
    if (in.registered) return;
    std::size_t added = 0;
    for (auto& v : in.ivars) {
        if (!v->get) added += v->size;
    }
    in.instanceSize = instanceSize + added;
    in.isInstance = std::move(isInstance);
    in.factory = std::move(factory);
}

void addBoundIvar(Class cls, const std::string& name, const std::string& types, std::size_t size,
                  std::function<std::any(const RuntimeObject&)> get,
                  std::function<void(RuntimeObject&, const std::any&)> set) {
    if (!class_addIvar(cls, name, size, 1, types)) return;
    std::unique_lock lock(registry().lock);
    objc_ivar* ivar = cls->internals->ivars.back().get();
    ivar->get = std::move(get);
    ivar->set = std::move(set);
}

}  // namespace runtime_detail

namespace sim {
void failNextAllocateClassPair() {
    Registry& r = registry();
    std::unique_lock lock(r.lock);
    r.failNextAllocation = true;
}
}  // namespace sim
