#include "services/util/ZVUMutableDictionary.h"

#include <cstddef>
#include <unordered_map>
#include <vector>

// Entries in insertion order, with an index by key: a map filled from a
// server's answer may hold many thousand keys, and a linear search per
// write or read would make filling it quadratic.
struct ZVUMutableDictionary::Storage {
    std::vector<std::pair<std::string, PRMValue>> entries;
    std::unordered_map<std::string, std::size_t> positions;

    const PRMValue* find(const std::string& key) const {
        auto it = positions.find(key);
        return it == positions.end() ? nullptr : &entries[it->second].second;
    }
    void set(const std::string& key, PRMValue value) {
        auto [it, added] = positions.try_emplace(key, entries.size());
        if (added) {
            entries.emplace_back(key, std::move(value));
        } else {
            entries[it->second].second = std::move(value);
        }
    }
    void remove(const std::string& key) {
        auto it = positions.find(key);
        if (it == positions.end()) return;
        const std::size_t position = it->second;
        positions.erase(it);
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(position));
        for (std::size_t i = position; i < entries.size(); ++i) positions[entries[i].first] = i;
    }
    void clear() {
        entries.clear();
        positions.clear();
    }
};

ZVUMutableDictionary::ZVUMutableDictionary()
    : objects_(std::make_shared<Storage>()),
      queue_(DispatchQueue::create("ZVUMutableDictionary")) {}

PRMValue ZVUMutableDictionary::objectForKey(const std::string& key) const {
    return queue_->syncValue([&] {
        const PRMValue* found = objects_->find(key);
        return found ? *found : PRMValue();
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

void ZVUMutableDictionary::addEntries(std::vector<std::pair<std::string, PRMValue>> entries) {
    queue_->async([objects = objects_, entries = std::move(entries)]() mutable {
        for (auto& [key, object] : entries) {
            if (!object.isNil()) objects->set(key, std::move(object));
        }
    });
}

void ZVUMutableDictionary::removeObjectForKey(const std::string& key) {
    queue_->async([objects = objects_, key] { objects->remove(key); });
}

void ZVUMutableDictionary::removeAllObjects() {
    queue_->async([objects = objects_] { objects->clear(); });
}
