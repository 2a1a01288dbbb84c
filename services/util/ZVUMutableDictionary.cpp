#include "services/util/ZVUMutableDictionary.h"

#include <algorithm>
#include <vector>

struct ZVUMutableDictionary::Storage {
    std::vector<std::pair<std::string, PRMValue>> entries;

    std::vector<std::pair<std::string, PRMValue>>::iterator find(const std::string& key) {
        return std::find_if(entries.begin(), entries.end(),
                            [&](const auto& e) { return e.first == key; });
    }
    void set(const std::string& key, PRMValue value) {
        auto it = find(key);
        if (it != entries.end()) {
            it->second = std::move(value);
        } else {
            entries.emplace_back(key, std::move(value));
        }
    }
    void remove(const std::string& key) {
        auto it = find(key);
        if (it != entries.end()) entries.erase(it);
    }
};

ZVUMutableDictionary::ZVUMutableDictionary()
    : objects_(std::make_shared<Storage>()),
      queue_(DispatchQueue::create("ZVUMutableDictionary")) {}

PRMValue ZVUMutableDictionary::objectForKey(const std::string& key) const {
    return queue_->syncValue([&] {
        auto it = objects_->find(key);
        return it == objects_->entries.end() ? PRMValue() : it->second;
    });
}

std::size_t ZVUMutableDictionary::count() const {
    return queue_->syncValue([&] { return objects_->entries.size(); });
}

std::vector<std::pair<std::string, PRMValue>> ZVUMutableDictionary::dictionary() const {
    return queue_->syncValue([&] { return objects_->entries; });
}

std::string ZVUMutableDictionary::description() const {
    auto entries = dictionary();
    std::string out = "{";
    for (const auto& [key, value] : entries) {
        out += "\n    " + key + " = " + value.description() + ";";
    }
    return out + (entries.empty() ? "}" : "\n}");
}

void ZVUMutableDictionary::setObject(PRMValue object, const std::string& key) {
    if (object.isNil()) return;
    setObjectForKeyedSubscript(std::move(object), key);
}

void ZVUMutableDictionary::setObjectForKeyedSubscript(PRMValue object, const std::string& key) {
    // The block holds the storage, so writes still queued outlive the map.
    queue_->async([objects = objects_, object = std::move(object), key] {
        if (object.isNil()) {
            objects->remove(key);
        } else {
            objects->set(key, object);
        }
    });
}

void ZVUMutableDictionary::removeObjectForKey(const std::string& key) {
    queue_->async([objects = objects_, key] { objects->remove(key); });
}

void ZVUMutableDictionary::removeAllObjects() {
    queue_->async([objects = objects_] { objects->entries.clear(); });
}
