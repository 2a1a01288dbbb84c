#include "services/measurement/APMPersistentDictionary.h"

#include <filesystem>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "services/measurement/APMFileUtils.h"
#include "services/util/ZVULogger.h"

namespace {

constexpr const char* kService = "[<RedIdizezadodu>]";

std::string code(long long number) {
    return ZVUMessageCode("I-ACS%06ld", number);
}

}  // namespace

std::shared_ptr<APMPersistentDictionary> APMPersistentDictionary::initWithFileName(
    const std::string& fileName) {
    if (fileName.empty()) return nullptr;
    std::string path = APMMeasurementDirectoryPath(fileName + ".plist");
    if (path.empty()) return nullptr;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) {
        ZVULogError(kService, false, code(43004),
                    "Cannot create subdirectories for config plist files.");
        return nullptr;
    }
    Dictionary content;
    if (auto bytes = sim::FileSystem::readFile(path)) {
        if (auto value = PropertyListSerialization::propertyListWithData(*bytes)) {
            if (const Dictionary* d = value->asDictionary()) content = *d;
        }
    }
    return std::shared_ptr<APMPersistentDictionary>(
        new APMPersistentDictionary(std::move(path), std::move(content)));
}

APMPersistentDictionary::APMPersistentDictionary(std::string path, Dictionary content)
    : path_(std::move(path)),
      content_(std::move(content)),
      serialQueue_(DispatchQueue::create("APMPersistentDictionary")) {}

APMPersistentDictionary::~APMPersistentDictionary() {
    bool pending;
    {
        std::lock_guard guard(lock_);
        pending = hasPendingPersistence_;
    }
    if (pending) persistToDisk();
}

std::optional<Value> APMPersistentDictionary::objectForKey(const std::string& key) {
    if (key.empty()) {
        ZVULogWarning(kService, false, code(43001), "Cannot get object for invalid config key.");
        return std::nullopt;
    }
    std::lock_guard guard(lock_);
    const Value* value = content_.find(key);
    if (!value) return std::nullopt;
    return *value;
}

void APMPersistentDictionary::setObject(const std::optional<Value>& value, const std::string& key) {
    if (key.empty()) {
        ZVULogWarning(kService, false, code(43002), "Cannot set object for invalid config key.");
        return;
    }
    if (value && !value->isNull() && (!isStorable(*value) || containsNull(*value))) {
        ZVULogWarning(kService, false, code(43003),
                      "Cannot set invalid object to config. Must be a string, number, array, "
                      "dictionary, date, or data. Value %@",
                      value->description());
        return;
    }
    bool changed = false;
    {
        std::lock_guard guard(lock_);
        if (!value || value->isNull()) {
            changed = content_.remove(key);
        } else {
            const Value* current = content_.find(key);
            if (!current || !(*current == *value)) {
                content_.set(key, *value);
                changed = true;
            }
        }
    }
    if (changed) schedulePersistToDisk();
}

void APMPersistentDictionary::clearAllData() {
    bool changed = false;
    {
        std::lock_guard guard(lock_);
        if (!content_.empty()) {
            content_ = Dictionary();
            changed = true;
        }
    }
    if (changed) schedulePersistToDisk();
}

void APMPersistentDictionary::schedulePersistToDisk() {
    std::lock_guard guard(lock_);
    if (hasPendingPersistence_) return;
    hasPendingPersistence_ = true;
    std::weak_ptr<APMPersistentDictionary> weak = weak_from_this();
    serialQueue_->asyncAfter(sim::seconds(1), [weak] {
        if (auto self = weak.lock()) self->persistToDisk();
    });
}

void APMPersistentDictionary::persistToDisk() {
    Dictionary copy;
    std::string path;
    {
        std::lock_guard guard(lock_);
        copy = content_;
        path = path_;
        hasPendingPersistence_ = false;
        ++persistCount_;
    }
    auto bytes = PropertyListSerialization::dataWithPropertyList(Value(std::move(copy)),
                                                                 PropertyListFormat::Binary);
    if (!bytes || !sim::FileSystem::writeFileAtomically(path, *bytes)) {
        ZVULogError(kService, false, code(43000), "Cannot persist configs to disk");
    }
}

int APMPersistentDictionary::persistCount() const {
    std::lock_guard guard(lock_);
    return persistCount_;
}

void APMPersistentDictionary::waitForPostedWrites() {
    serialQueue_->sync([] {});
}
