#pragma once
// A map that any thread may use at once: every access runs on a private
// serial queue; reads wait for their answer, writes are queued and return at
// once, so a thread always reads its own earlier writes. Never use it from
// code that already runs on its queue.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"
#include "services/util/PRMPromise.h"

class ZVUMutableDictionary : public NSObject {
  public:
    ZVUMutableDictionary();
    std::string className() const override { return "ZVUMutableDictionary"; }

    PRMValue objectForKey(const std::string& key) const;
    PRMValue objectForKeyedSubscript(const std::string& key) const { return objectForKey(key); }
    std::size_t count() const;
    // A snapshot, in insertion order.
    std::vector<std::pair<std::string, PRMValue>> dictionary() const;
    std::string description() const override;

    // A nil value is ignored.
    void setObject(PRMValue object, const std::string& key);
    // A nil value removes the key.
    void setObjectForKeyedSubscript(PRMValue object, const std::string& key);
    // Sets every pair in one write, in order; nil values are ignored.
    void addEntries(std::vector<std::pair<std::string, PRMValue>> entries);
    void removeObjectForKey(const std::string& key);
    void removeAllObjects();

  private:
    struct Storage;
    std::shared_ptr<Storage> objects_;
    std::shared_ptr<DispatchQueue> queue_;
};
