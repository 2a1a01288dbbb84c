#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

TEST(NSError, LocalizedDescriptionAndDescription) {
    NSError plain("NSCocoaErrorDomain", 4);
    EXPECT_EQ(plain.localizedDescription(),
              "The operation couldn\u2019t be completed. (NSCocoaErrorDomain error 4.)");
    EXPECT_EQ(plain.description(),
              "Error Domain=NSCocoaErrorDomain Code=4 \"The operation couldn\u2019t be completed. "
              "(NSCocoaErrorDomain error 4.)\"");

    auto described = NSError::withDescription("MyDomain", -2, "Something broke.");
    EXPECT_EQ(described.localizedDescription(), "Something broke.");
    EXPECT_EQ(described.description(),
              "Error Domain=MyDomain Code=-2 \"Something broke.\" "
              "UserInfo={NSLocalizedDescription=Something broke.}");

    NSError nonString("D", 1,
                      Dictionary{{NSError::NSLocalizedDescriptionKey, 5}, {"Extra", "x y"}});
    EXPECT_EQ(nonString.localizedDescription(),
              "The operation couldn\u2019t be completed. (D error 1.)");
    EXPECT_EQ(nonString.description(),
              "Error Domain=D Code=1 \"The operation couldn\u2019t be completed. (D error 1.)\" "
              "UserInfo={NSLocalizedDescription=5, Extra=x y}");
    EXPECT_EQ(described, NSError::withDescription("MyDomain", -2, "Something broke."));
    EXPECT_FALSE(described == plain);
}

TEST(NSException, CarriesNameAndReason) {
    try {
        throw NSException(NSException::NSInvalidArgumentException, "bad");
    } catch (const NSException& e) {
        EXPECT_EQ(e.name(), "NSInvalidArgumentException");
        EXPECT_EQ(e.reason(), "bad");
        EXPECT_STREQ(e.what(), "NSInvalidArgumentException: bad");
    }
}

namespace {

std::uintptr_t gRaiserCaller = 0;
std::uintptr_t gBeforeBuilding = 0;
std::uintptr_t gAfterBuilding = 0;

// Stores where it returns to; the store keeps the call from being moved
// across the construction.
__attribute__((noinline)) void markReturnAddress(std::uintptr_t& mark) {
    mark = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
}

// The two marks bracket the construction inside the raiser, whatever size the
// build's instrumentation gives its code.
__attribute__((noinline)) void raiseFromHere() {
    gRaiserCaller = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    markReturnAddress(gBeforeBuilding);
    NSException exception("Boom", "raised here");
    markReturnAddress(gAfterBuilding);
    throw exception;
}

}  // namespace

TEST(NSException, CarriesTheCallStackOfWhereItWasRaised) {
    std::vector<std::uintptr_t> addresses;
    try {
        raiseFromHere();
    } catch (const NSException& e) {
        const NSException copy = e;
        EXPECT_EQ(copy.callStackReturnAddresses(), e.callStackReturnAddresses());
        addresses = e.callStackReturnAddresses();
    }
    // The raiser's frame, then the return into its caller.
    const auto caller = std::find(addresses.begin(), addresses.end(), gRaiserCaller);
    ASSERT_NE(caller, addresses.end());
    ASSERT_NE(caller, addresses.begin());
    EXPECT_GT(*(caller - 1), gBeforeBuilding);
    EXPECT_LT(*(caller - 1), gAfterBuilding);
}

namespace {

class Named : public NSObject {
  public:
    std::string className() const override { return "Named"; }
};

struct Tracker {
    explicit Tracker(std::atomic<int>* r) : released(r) {}
    Tracker(const Tracker&) = delete;
    std::atomic<int>* released;
    ~Tracker() { ++*released; }
};

// An association whose destructor touches its owner's associations.
struct Toucher {
    Toucher(NSObject* o, const void* k, std::atomic<int>* r) : owner(o), otherKey(k), released(r) {}
    Toucher(const Toucher&) = delete;
    NSObject* owner;
    const void* otherKey;
    std::atomic<int>* released;
    ~Toucher() {
        (void)owner->associatedObject(otherKey);
        owner->setAssociatedObject(otherKey, nullptr);
        ++*released;
    }
};

int kKeyA, kKeyB, kKeyC;

}  // namespace

TEST(NSObject, Description) {
    Named n;
    auto d = n.description();
    EXPECT_EQ(d.rfind("<Named: 0x", 0), 0u) << d;
    EXPECT_EQ(d.back(), '>');
    EXPECT_TRUE(n.isEqual(n));
    Named other;
    EXPECT_FALSE(n.isEqual(other));
}

TEST(NSObject, AssociatedObjectsSetGetRemove) {
    std::atomic<int> released{0};
    auto owner = std::make_shared<Named>();
    objc_setAssociatedObject(*owner, &kKeyA, std::make_shared<Tracker>(&released));
    EXPECT_NE(objc_getAssociatedObject(*owner, &kKeyA), nullptr);
    EXPECT_EQ(objc_getAssociatedObject(*owner, &kKeyB), nullptr);
    // Replacing releases the old value.
    objc_setAssociatedObject(*owner, &kKeyA, std::make_shared<Tracker>(&released));
    EXPECT_EQ(released, 1);
    // Null removes.
    objc_setAssociatedObject(*owner, &kKeyA, nullptr);
    EXPECT_EQ(released, 2);
    EXPECT_EQ(objc_getAssociatedObject(*owner, &kKeyA), nullptr);
}

TEST(NSObject, AssociationsReleasedWhenOwnerDies) {
    std::atomic<int> released{0};
    auto owner = std::make_shared<Named>();
    objc_setAssociatedObject(*owner, &kKeyA, std::make_shared<Tracker>(&released));
    objc_setAssociatedObject(*owner, &kKeyB, std::make_shared<Tracker>(&released));
    objc_setAssociatedObject(*owner, &kKeyC,
                             std::make_shared<Toucher>(owner.get(), &kKeyA, &released));
    // Kept alive elsewhere: survives the owner.
    auto kept = std::make_shared<Tracker>(&released);
    objc_setAssociatedObject(*owner, &kKeyB, kept);
    EXPECT_EQ(released, 1);  // the replaced B
    owner.reset();
    EXPECT_EQ(released, 3);  // A and the toucher; no deadlock
    kept.reset();
    EXPECT_EQ(released, 4);
}

TEST(NSObject, AssociationsFromManyThreads) {
    auto owner = std::make_shared<Named>();
    std::vector<int> keys(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) {
                owner->setAssociatedObject(&keys[t], std::make_shared<int>(i));
                EXPECT_NE(owner->associatedObject(&keys[t]), nullptr);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(*std::static_pointer_cast<int>(owner->associatedObject(&keys[3])), 999);
}
