#include "services/util/ZVUAppDelegateSwizzler.h"

#include <cstdio>
#include <random>

#include "platform/bundle/NSBundle.h"
#include "services/util/ZVUAppEnvironmentUtil.h"
#include "services/util/ZVULogger.h"

namespace {

const char* const kService = "[ZeveraUtilities/AppDelegateSwizzler]";
const char* const kRealClassKey = "ZVU_realClass";
const char* const kRealIMPBySelectorKey = "ZVU_realIMPBySelector";
const char* const kProxyPrefix = "ZVU_";

const SEL kContinueUserActivity = "application:continueUserActivity:restorationHandler:";
const SEL kDescription = "description";
const SEL kFakeDescription = "fakeDescription";
const SEL kDidRegister = "application:didRegisterForRemoteNotificationsWithDeviceToken:";
const SEL kDonorDidRegister = "application:donor_didRegisterForRemoteNotificationsWithDeviceToken:";
const SEL kDidFail = "application:didFailToRegisterForRemoteNotificationsWithError:";
const SEL kDonorDidFail = "application:donor_didFailToRegisterForRemoteNotificationsWithError:";
const SEL kDidReceive = "application:didReceiveRemoteNotification:";
const SEL kDonorDidReceive = "application:donor_didReceiveRemoteNotification:";

std::string code(long long number) {
    return ZVUMessageCode("I-SWZ%06ld", number);
}

using ImplementationTable = std::map<std::string, IMP>;

struct State {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<ZVUZeroingWeakContainer>> interceptors;
    id proxiedDelegate;
    Class realClass = nullptr;
    Class subclass = nullptr;
    std::mutex proxyOnce;
    bool proxied = false;
    std::mutex remoteNotificationsOnce;
    bool remoteNotificationsProxied = false;
};

State& state() {
    static State s;
    return s;
}

Protocol* applicationDelegateProtocol() {
    return objc_getProtocol("NSApplicationDelegate");
}

bool conformsToApplicationDelegate(const id& object) {
    auto* runtimeObject = dynamic_cast<RuntimeObject*>(object.get());
    return runtimeObject && runtimeObject->conformsToProtocol(applicationDelegateProtocol());
}

std::string addressText(const void* address) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", address);
    std::string text = buf;
    if (text.rfind("0x", 0) != 0) text = "0x" + text;
    return text;
}

std::string uuidString() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::uint64_t high;
    std::uint64_t low;
    {
        std::lock_guard<std::mutex> lock(mutex);
        high = generator();
        low = generator();
    }
    high = (high & ~0xF000ull) | 0x4000ull;            // version 4
    low = (low & ~(0xC0ull << 56)) | (0x80ull << 56);  // RFC 4122 variant
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08llX-%04llX-%04llX-%04llX-%012llX",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFFF),
                  static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return buf;
}

// A switch counts as YES unless it is a number, whose boolean value counts.
bool switchAllows(const Value* value) {
    if (!value) return true;
    if (value->isBool()) return *value->asBool();
    if (value->isNumber()) return value->asDouble().value_or(1) != 0;
    return true;
}

Class realClassOf(const NSObject& object) {
    auto stored = std::static_pointer_cast<NSObject>(object.associatedObject(kRealClassKey));
    return dynamic_cast<objc_class*>(stored.get());
}

std::shared_ptr<const ImplementationTable> realImplementationsOf(const NSObject& object) {
    return std::static_pointer_cast<const ImplementationTable>(
        object.associatedObject(kRealIMPBySelectorKey));
}

void attachRealImplementations(NSObject& object, const ImplementationTable& table) {
    object.setAssociatedObject(kRealIMPBySelectorKey, std::make_shared<ImplementationTable>(table));
}

// A delegate already carrying a proxy subclass made here: subclassing it
// again would record the carriers themselves as the real implementations,
// and every callback would then call itself without end.
bool alreadyProxied(const id& delegate) {
    Class current = object_getClass(delegate);
    Class real = realClassOf(*delegate);
    return real && current != real && NSStringFromClass(current).rfind(kProxyPrefix, 0) == 0 &&
           class_getSuperclass(current) == real;
}

void forgetProxiedDelegate() {
    id released;  // released outside the lock
    std::lock_guard<std::mutex> lock(state().mutex);
    released = std::move(state().proxiedDelegate);
}

// The carriers: each first tells the interceptors, then runs the delegate's
// own implementation.
std::any continueUserActivityCarrier(RuntimeObject& self, SEL, const Arguments& args) {
    IMP real =
        ZVUAppDelegateSwizzler::originalImplementationForSelector(kContinueUserActivity, self);
    bool result = false;
    ZVUAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
        kContinueUserActivity, [&](RuntimeObject& interceptor) {
            bool answered =
                runtime_cast<bool>(objc_msgSendv(&interceptor, kContinueUserActivity, args));
            result = result || answered;
        });
    if (real) {
        bool answered = runtime_cast<bool>((*real)(self, kContinueUserActivity, args));
        result = result || answered;
    }
    return result;
}

std::any fakeDescriptionCarrier(RuntimeObject& self, SEL, const Arguments&) {
    Class real = realClassOf(self);
    if (!real) real = class_getSuperclass(object_getClass(&self));
    return std::string("<" + NSStringFromClass(real) + ": " + addressText(&self) + ">");
}

Implementation::Body remoteNotificationCarrier(SEL callback) {
    return [callback](RuntimeObject& self, SEL, const Arguments& args) -> std::any {
        IMP real = ZVUAppDelegateSwizzler::originalImplementationForSelector(callback, self);
        objc_method_description invocation =
            ZVUAppDelegateSwizzler::appDelegateInvocationForSelector(callback);
        ZVUAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
            callback, [&](RuntimeObject& interceptor) {
                if (invocation.name) objc_msgSendv(&interceptor, callback, args);
            });
        if (real) (*real)(self, callback, args);
        return {};
    };
}

}  // namespace

// ----------------------------------------------------------------------------
// Containers and the observer

Class ZVUZeroingWeakContainer::runtimeClass() {
    static Class cls = ClassBuilder<ZVUZeroingWeakContainer>("ZVUZeroingWeakContainer")
                           .ivar("_object", &ZVUZeroingWeakContainer::object_)
                           .registerClass();
    return cls;
}

Class ZVUSceneZeroingWeakContainer::runtimeClass() {
    static Class cls = ClassBuilder<ZVUSceneZeroingWeakContainer>("ZVUSceneZeroingWeakContainer")
                           .ivar("_object", &ZVUSceneZeroingWeakContainer::object_)
                           .registerClass();
    return cls;
}

Class ZVUAppDelegateObserver::runtimeClass() {
    static Class cls = ClassBuilder<ZVUAppDelegateObserver>("ZVUAppDelegateObserver")
                           .ivar("_isObserving", &ZVUAppDelegateObserver::isObserving_)
                           .registerClass();
    return cls;
}

std::shared_ptr<ZVUAppDelegateObserver> ZVUAppDelegateObserver::sharedInstance() {
    static const auto instance = std::make_shared<ZVUAppDelegateObserver>();
    return instance;
}

void ZVUAppDelegateObserver::observeUIApplication() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isObserving_) return;
    id application = ZVUAppDelegateSwizzler::sharedApplication();
    auto* observed = dynamic_cast<RuntimeObject*>(application.get());
    if (!observed) return;
    std::weak_ptr<ZVUAppDelegateObserver> weakSelf =
        std::static_pointer_cast<ZVUAppDelegateObserver>(shared_from_this());
    observation_ = observed->addObserverForKeyPath(
        "delegate", [weakSelf](const std::string& keyPath, const id& oldValue, const id& newValue) {
            if (auto self = weakSelf.lock()) {
                self->observeValueForKeyPath(keyPath, oldValue, newValue);
            }
        });
    application_ = application;
    isObserving_ = true;
}

void ZVUAppDelegateObserver::observeValueForKeyPath(const std::string& keyPath, const id& oldValue,
                                                    const id& newValue) {
    if (keyPath != "delegate" || newValue == oldValue) return;
    if (!oldValue || oldValue != ZVUAppDelegateSwizzler::originalDelegate()) return;
    forgetProxiedDelegate();
    id application;
    std::uint64_t observation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!isObserving_) return;
        application = application_.lock();
        observation = observation_;
        isObserving_ = false;
        application_.reset();
    }
    if (auto* observed = dynamic_cast<RuntimeObject*>(application.get())) {
        observed->removeObserverForKeyPath(observation);
    }
}

bool ZVUAppDelegateObserver::isObserving() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return isObserving_;
}

// ----------------------------------------------------------------------------
// Switches and lookups

bool ZVUAppDelegateSwizzler::isAppDelegateProxyEnabled() {
    auto bundle = NSBundle::mainBundle();
    return switchAllows(bundle->objectForInfoDictionaryKey(kAppDelegateProxyEnabledPlistKey)) &&
           switchAllows(
               bundle->objectForInfoDictionaryKey(kReruzeraAppDelegateProxyEnabledPlistKey));
}

std::string ZVUAppDelegateSwizzler::correctAppDelegateProxyKey() {
    return NSClassFromString("RZRCore") ? kReruzeraAppDelegateProxyEnabledPlistKey
                                        : kAppDelegateProxyEnabledPlistKey;
}

std::string ZVUAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated() {
    return NSClassFromString("RZRCore")
               ? "To log deep link campaigns manually, call the methods in "
                 "ZAROduzozova+AppDelegate.h."
               : "";
}

id ZVUAppDelegateSwizzler::sharedApplication() {
    if (ZVUAppEnvironmentUtil::isAppExtension()) return nullptr;
    Class applicationClass = NSClassFromString("NSApplication");
    if (!applicationClass ||
        !class_respondsToSelector(object_getClass(applicationClass), "sharedApplication")) {
        return nullptr;
    }
    return objc_msgSend<id>(applicationClass, "sharedApplication");
}

id ZVUAppDelegateSwizzler::originalDelegate() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().proxiedDelegate;
}

Class ZVUAppDelegateSwizzler::donorClass() {
    static Class cls = [] {
        Class donor =
            objc_allocateClassPair(RuntimeObject::rootClass(), "ZVUAppDelegateSwizzler", 0);
        class_addMethod(donor, kContinueUserActivity,
                        Implementation::make(continueUserActivityCarrier), "B@:@@@?");
        class_addMethod(donor, kFakeDescription, Implementation::make(fakeDescriptionCarrier),
                        "@@:");
        class_addMethod(donor, kDonorDidRegister,
                        Implementation::make(remoteNotificationCarrier(kDidRegister)), "v@:@@");
        class_addMethod(donor, kDonorDidFail,
                        Implementation::make(remoteNotificationCarrier(kDidFail)), "v@:@@");
        class_addMethod(donor, kDonorDidReceive,
                        Implementation::make(remoteNotificationCarrier(kDidReceive)), "v@:@@");
        objc_registerClassPair(donor);
        return donor;
    }();
    return cls;
}

// ----------------------------------------------------------------------------
// Interceptors

std::optional<std::string> ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(
    const id& interceptor) {
    if (!interceptor) {
        ZVULogError(kService, false, code(1000), "AppDelegateProxy cannot add nil interceptor.");
        return std::nullopt;
    }
    if (!conformsToApplicationDelegate(interceptor)) {
        ZVULogError(kService, false, code(1001),
                    "AppDelegateProxy interceptor does not conform to UIApplicationDelegate");
        return std::nullopt;
    }
    std::string interceptorID = std::string(kProxyPrefix) + addressText(interceptor.get());
    if (interceptorID.empty()) {
        ZVULogError(kService, false, code(1002), "AppDelegateProxy cannot create Interceptor ID.");
        return std::nullopt;
    }
    auto container = std::make_shared<ZVUZeroingWeakContainer>(interceptor);
    std::lock_guard<std::mutex> lock(state().mutex);
    state().interceptors[interceptorID] = std::move(container);
    return interceptorID;
}

void ZVUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(
    const std::optional<std::string>& interceptorID) {
    if (!interceptorID) {
        ZVULogError(kService, false, code(1003),
                    "AppDelegateProxy cannot unregister empty interceptor ID.");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto& table = state().interceptors;
        auto it = table.find(*interceptorID);
        if (it != table.end() && it->second->object()) {
            table.erase(it);
            return;
        }
    }
    ZVULogError(kService, false, code(1004),
                "AppDelegateProxy cannot unregister interceptor that was not registered. "
                "Interceptor ID %@",
                *interceptorID);
}

std::map<std::string, std::shared_ptr<ZVUZeroingWeakContainer>>
ZVUAppDelegateSwizzler::interceptors() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().interceptors;
}

void ZVUAppDelegateSwizzler::clearInterceptors() {
    std::map<std::string, std::shared_ptr<ZVUZeroingWeakContainer>> released;
    std::lock_guard<std::mutex> lock(state().mutex);
    released.swap(state().interceptors);
}

void ZVUAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken() {
    {
        std::lock_guard<std::mutex> lock(state().proxyOnce);
        state().proxied = false;
    }
    std::lock_guard<std::mutex> lock(state().remoteNotificationsOnce);
    state().remoteNotificationsProxied = false;
}

void ZVUAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
    SEL methodSelector, const std::function<void(RuntimeObject& interceptor)>& callback) {
    for (const auto& [interceptorID, container] : interceptors()) {
        id interceptor = container->object();
        if (!interceptor) {
            ZVULogWarning(kService, false, code(1010),
                          "AppDelegateProxy cannot find interceptor with ID %@. Removing the "
                          "interceptor.",
                          interceptorID);
            std::lock_guard<std::mutex> lock(state().mutex);
            auto it = state().interceptors.find(interceptorID);
            if (it != state().interceptors.end() && it->second == container) {
                state().interceptors.erase(it);
            }
            continue;
        }
        auto* target = dynamic_cast<RuntimeObject*>(interceptor.get());
        if (target && target->respondsToSelector(methodSelector)) callback(*target);
    }
}

objc_method_description ZVUAppDelegateSwizzler::appDelegateInvocationForSelector(SEL selector) {
    return protocol_getMethodDescription(applicationDelegateProtocol(), selector, false, true);
}

IMP ZVUAppDelegateSwizzler::originalImplementationForSelector(SEL selector,
                                                              const NSObject& object) {
    auto table = realImplementationsOf(object);
    if (!table) return nullptr;
    auto it = table->find(NSStringFromSelector(selector));
    return it == table->end() ? nullptr : it->second;
}

// ----------------------------------------------------------------------------
// Installing the proxy

void ZVUAppDelegateSwizzler::proxyOriginalDelegate() {
    if (ZVUAppEnvironmentUtil::isAppExtension()) return;
    std::lock_guard<std::mutex> once(state().proxyOnce);
    if (state().proxied) return;
    state().proxied = true;
    id application = sharedApplication();
    proxyAppDelegate(application ? objc_msgSend<id>(application, "delegate") : nullptr);
}

void ZVUAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods() {
    if (ZVUAppEnvironmentUtil::isAppExtension()) return;
    proxyOriginalDelegate();
    std::lock_guard<std::mutex> once(state().remoteNotificationsOnce);
    if (state().remoteNotificationsProxied) return;
    state().remoteNotificationsProxied = true;

    id application = sharedApplication();
    id delegate = application ? objc_msgSend<id>(application, "delegate") : nullptr;
    Class realClass;
    Class subclass;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        realClass = state().realClass;
        subclass = state().subclass;
    }
    auto stored = delegate ? realImplementationsOf(*delegate) : nullptr;
    if (!realClass || !subclass || !delegate || !stored) return;
    ImplementationTable table = *stored;
    proxyRemoteNotificationsMethodsWithAppDelegateSubClass(subclass, realClass, delegate, table);
    attachRealImplementations(*delegate, table);
    reassignAppDelegate();
}

void ZVUAppDelegateSwizzler::proxyAppDelegate(const id& appDelegate) {
    const std::string alternative = correctAlternativeWhenAppDelegateProxyNotCreated();
    if (!conformsToApplicationDelegate(appDelegate)) {
        ZVULogNotice(kService, false, code(1014),
                     "App Delegate does not conform to UIApplicationDelegate protocol. %@",
                     alternative);
        return;
    }
    if (!isAppDelegateProxyEnabled()) {
        ZVULogNotice(kService, false, code(1011), "App Delegate Proxy is disabled. %@",
                     alternative);
        return;
    }
    try {
        Class realClass;
        Class subclass;
        if (alreadyProxied(appDelegate)) {
            realClass = realClassOf(*appDelegate);
            subclass = object_getClass(appDelegate);
        } else {
            realClass = object_getClass(appDelegate);
            subclass = createSubclassWithObject(appDelegate);
        }
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            state().realClass = realClass;
            state().subclass = subclass;
        }
        reassignAppDelegate();
    } catch (const std::exception&) {
        ZVULogError(kService, false, code(1013), "Cannot create App Delegate Proxy. %@",
                    alternative);
    }
}

Class ZVUAppDelegateSwizzler::createSubclassWithObject(const id& anObject) {
    Class realClass = object_getClass(anObject);
    const std::string className = std::string(kProxyPrefix) + NSStringFromClass(realClass);
    const std::string subclassName = className + "-" + uuidString();
    if (NSClassFromString(subclassName)) {
        ZVULogError(kService, false, code(1005),
                    "Cannot create a proxy for App Delegate. Subclass already exists. Original "
                    "Class: %@, subclass: %@",
                    NSStringFromClass(realClass), subclassName);
        return nullptr;
    }
    Class subclass = objc_allocateClassPair(realClass, subclassName, 0);
    if (!subclass) {
        ZVULogError(kService, false, code(1006),
                    "Cannot create a proxy for App Delegate. Subclass already exists. Original "
                    "Class: %@, subclass: Nil",
                    NSStringFromClass(realClass));
        return nullptr;
    }
    ImplementationTable realImplementations;
    proxyDestinationSelector(kContinueUserActivity, kContinueUserActivity, donorClass(), subclass,
                             realClass, realImplementations);
    addInstanceMethodWithDestinationSelector(kDescription, kFakeDescription, donorClass(),
                                             subclass);
    attachRealImplementations(*anObject, realImplementations);
    anObject->setAssociatedObject(kRealClassKey, realClass->shared_from_this());

    if (class_getInstanceSize(realClass) != class_getInstanceSize(subclass)) {
        ZVULogError(kService, false, code(1007),
                    "Cannot create subclass of App Delegate, because the created subclass is not "
                    "the same size. %@",
                    NSStringFromClass(realClass));
        objc_disposeClassPair(subclass);
        return nullptr;
    }
    objc_registerClassPair(subclass);
    if (object_setClass(anObject, subclass)) {
        ZVULogDebug(kService, false, code(1008),
                    "Successfully created App Delegate Proxy automatically. To disable the proxy, "
                    "set the flag %@ to NO (Boolean) in the Info.plist",
                    correctAppDelegateProxyKey());
    }
    return subclass;
}

void ZVUAppDelegateSwizzler::reassignAppDelegate() {
    id application = sharedApplication();
    id delegate = application ? objc_msgSend<id>(application, "delegate") : nullptr;
    if (application) {
        objc_msgSend(application, "setDelegate:", nullptr);
        objc_msgSend(application, "setDelegate:", delegate);
    }
    id released;  // the previous one, released outside the lock
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        released = std::exchange(state().proxiedDelegate, delegate);
    }
    ZVUAppDelegateObserver::sharedInstance()->observeUIApplication();
}

void ZVUAppDelegateSwizzler::proxyRemoteNotificationsMethodsWithAppDelegateSubClass(
    Class appDelegateSubClass, Class realClass, const id&,
    std::map<std::string, IMP>& realImplementationsBySelector) {
    proxyDestinationSelector(kDidRegister, kDonorDidRegister, donorClass(), appDelegateSubClass,
                             realClass, realImplementationsBySelector);
    proxyDestinationSelector(kDidFail, kDonorDidFail, donorClass(), appDelegateSubClass, realClass,
                             realImplementationsBySelector);
    proxyDestinationSelector(kDidReceive, kDonorDidReceive, donorClass(), appDelegateSubClass,
                             realClass, realImplementationsBySelector);
}

void ZVUAppDelegateSwizzler::proxyDestinationSelector(SEL destinationSelector, SEL sourceSelector,
                                                      Class fromClass, Class toClass,
                                                      Class realClass,
                                                      std::map<std::string, IMP>& store) {
    addInstanceMethodWithDestinationSelector(destinationSelector, sourceSelector, fromClass,
                                             toClass);
    store[NSStringFromSelector(destinationSelector)] =
        implementationOfMethodSelector(destinationSelector, realClass);
}

void ZVUAppDelegateSwizzler::addInstanceMethodWithSelector(SEL selector, Class fromClass,
                                                           Class toClass) {
    addInstanceMethodWithDestinationSelector(selector, selector, fromClass, toClass);
}

void ZVUAppDelegateSwizzler::addInstanceMethodWithDestinationSelector(SEL destinationSelector,
                                                                      SEL sourceSelector,
                                                                      Class fromClass,
                                                                      Class toClass) {
    Method method = class_getInstanceMethod(fromClass, sourceSelector);
    if (!class_addMethod(toClass, destinationSelector, method_getImplementation(method),
                         method_getTypeEncoding(method))) {
        ZVULogWarning(kService, false, code(1009),
                      "Cannot copy method to destination selector %@ as it already exists",
                      NSStringFromSelector(destinationSelector));
    }
}

IMP ZVUAppDelegateSwizzler::implementationOfMethodSelector(SEL selector, Class fromClass) {
    return method_getImplementation(class_getInstanceMethod(fromClass, selector));
}
