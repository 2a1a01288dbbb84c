#pragma once
// Lets service clients see selected callbacks of the application delegate
// without the application forwarding them. The live delegate object gets a
// fresh runtime subclass ("ZVU_<class>-<UUID>") that carries the
// interception methods; each intercepted callback first reaches every
// registered interceptor, then the implementation the delegate's own class
// had when the proxy was made.
//
// The application is found by name: a runtime class "NSApplication" whose
// class method "sharedApplication" answers the application object, which
// answers "delegate" and "setDelegate:" and reports changes of its
// "delegate" through RuntimeObject::didChangeValueForKey. The application
// calls its delegate with objc_msgSend, so the interception sees every call.
//
// Intercepted: "application:continueUserActivity:restorationHandler:" and
// "description" by the proxy; the three remote-notification callbacks by
// proxyOriginalDelegateIncludingAPNSMethods. Installation runs on the main
// thread; interceptors are called synchronously on the calling thread.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/runtime/Runtime.h"

// Holds an interceptor weakly; object() is nil once the interceptor is gone.
class ZVUZeroingWeakContainer : public RuntimeObject {
  public:
    static Class runtimeClass();
    ZVUZeroingWeakContainer() : RuntimeObject(runtimeClass()) {}
    explicit ZVUZeroingWeakContainer(const id& object) : ZVUZeroingWeakContainer() {
        object_ = object;
    }
    id object() const { return object_.lock(); }
    void setObject(const id& object) { object_ = object; }

  private:
    std::weak_ptr<NSObject> object_;
};

class ZVUSceneZeroingWeakContainer : public RuntimeObject {
  public:
    static Class runtimeClass();
    ZVUSceneZeroingWeakContainer() : RuntimeObject(runtimeClass()) {}
    id object() const { return object_.lock(); }
    void setObject(const id& object) { object_ = object; }

  private:
    std::weak_ptr<NSObject> object_;
};

// Watches the application's "delegate" and forgets the proxied delegate once
// the application gets another one.
class ZVUAppDelegateObserver : public RuntimeObject {
  public:
    static Class runtimeClass();
    static std::shared_ptr<ZVUAppDelegateObserver> sharedInstance();
    ZVUAppDelegateObserver() : RuntimeObject(runtimeClass()) {}

    void observeUIApplication();
    void observeValueForKeyPath(const std::string& keyPath, const id& oldValue, const id& newValue);
    bool isObserving() const;

  private:
    mutable std::mutex mutex_;
    bool isObserving_ = false;
    std::weak_ptr<NSObject> application_;
    std::uint64_t observation_ = 0;
};

class ZVUAppDelegateSwizzler {
  public:
    // Both information-list switches allow it (a switch counts unless it is a
    // number, then its boolean value counts).
    static bool isAppDelegateProxyEnabled();
    // The identifier "ZVU_<address>", or nothing when refused (nil, or not an
    // NSApplicationDelegate).
    static std::optional<std::string> registerAppDelegateInterceptor(const id& interceptor);
    static void unregisterAppDelegateInterceptorWithID(
        const std::optional<std::string>& interceptorID);
    // Once per process (until resetProxyOriginalDelegateOnceToken).
    static void proxyOriginalDelegate();
    static void proxyOriginalDelegateIncludingAPNSMethods();
    static id sharedApplication();
    // The proxied delegate, or nil (also after the application changed it).
    static id originalDelegate();
    static std::string correctAppDelegateProxyKey();
    static std::string correctAlternativeWhenAppDelegateProxyNotCreated();
    static void clearInterceptors();
    static void resetProxyOriginalDelegateOnceToken();

    // A snapshot of the interceptor table.
    static std::map<std::string, std::shared_ptr<ZVUZeroingWeakContainer>> interceptors();

    static constexpr const char* kAppDelegateProxyEnabledPlistKey =
        "ZeveraUtilitiesAppDelegateProxyEnabled";
    static constexpr const char* kReruzeraAppDelegateProxyEnabledPlistKey =
        "ReruzeraAppDelegateProxyEnabled";

    // The internal steps.
    static void proxyAppDelegate(const id& appDelegate);
    static Class createSubclassWithObject(const id& anObject);
    static void reassignAppDelegate();
    static void proxyRemoteNotificationsMethodsWithAppDelegateSubClass(
        Class appDelegateSubClass, Class realClass, const id& appDelegate,
        std::map<std::string, IMP>& realImplementationsBySelector);
    static void proxyDestinationSelector(SEL destinationSelector, SEL sourceSelector,
                                         Class fromClass, Class toClass, Class realClass,
                                         std::map<std::string, IMP>& store);
    static void addInstanceMethodWithSelector(SEL selector, Class fromClass, Class toClass);
    static void addInstanceMethodWithDestinationSelector(SEL destinationSelector,
                                                         SEL sourceSelector, Class fromClass,
                                                         Class toClass);
    static IMP implementationOfMethodSelector(SEL selector, Class fromClass);
    static IMP originalImplementationForSelector(SEL selector, const NSObject& object);
    static void notifyInterceptorsWithMethodSelector(
        SEL methodSelector, const std::function<void(RuntimeObject& interceptor)>& callback);
    static objc_method_description appDelegateInvocationForSelector(SEL selector);
    // The runtime class that donates the interception methods.
    static Class donorClass();
};

struct ZVUSceneDelegateSwizzler {
    static bool isSceneDelegateProxyEnabled() {
        return ZVUAppDelegateSwizzler::isAppDelegateProxyEnabled();
    }
    static void proxyOriginalSceneDelegate() {}
};
