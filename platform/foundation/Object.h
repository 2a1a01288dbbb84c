#pragma once
// Base of the reference-counted platform objects, held by std::shared_ptr.
// Carries the associated objects that the object runtime attaches to an
// owner: they are released when the owner is destroyed, after its own
// destructor body, exactly as the platform releases them at deallocation.

#include <map>
#include <memory>
#include <mutex>
#include <string>

class NSObject : public std::enable_shared_from_this<NSObject> {
  public:
    NSObject() = default;
    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;
    virtual ~NSObject();

    virtual std::string className() const { return "NSObject"; }
    virtual bool isEqual(const NSObject& other) const { return this == &other; }
    virtual std::size_t hash() const { return reinterpret_cast<std::size_t>(this); }
    virtual std::string description() const;

    // objc_setAssociatedObject / objc_getAssociatedObject: the key is an
    // address; a null value removes the association.
    void setAssociatedObject(const void* key, std::shared_ptr<void> value);
    std::shared_ptr<void> associatedObject(const void* key) const;

  private:
    mutable std::mutex associationsMutex_;
    std::map<const void*, std::shared_ptr<void>> associations_;
};

enum objc_AssociationPolicy : unsigned long {
    OBJC_ASSOCIATION_ASSIGN = 0,
    OBJC_ASSOCIATION_RETAIN_NONATOMIC = 1,
    OBJC_ASSOCIATION_COPY_NONATOMIC = 3,
    OBJC_ASSOCIATION_RETAIN = 01401,
    OBJC_ASSOCIATION_COPY = 01403,
};

inline void objc_setAssociatedObject(NSObject& object, const void* key, std::shared_ptr<void> value,
                                     objc_AssociationPolicy = OBJC_ASSOCIATION_RETAIN_NONATOMIC) {
    object.setAssociatedObject(key, std::move(value));
}
inline std::shared_ptr<void> objc_getAssociatedObject(const NSObject& object, const void* key) {
    return object.associatedObject(key);
}
