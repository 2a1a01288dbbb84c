#include "services/util/ZVUHeartbeatDateStorage.h"

#include <map>
#include <mutex>

#include "platform/bundle/Home.h"
#include "platform/foundation/FileSystem.h"
#include "services/util/ZVUSecureCoding.h"

namespace {

// Shared by every file store, so read-modify-writes never interleave.
std::mutex& fileStoresMutex() {
    static std::mutex m;
    return m;
}

std::mutex& defaultsMutex(const NSUserDefaults* defaults) {
    static std::mutex registryMutex;
    static std::map<const NSUserDefaults*, std::unique_ptr<std::mutex>> mutexes;
    std::lock_guard lock(registryMutex);
    auto& slot = mutexes[defaults];
    if (!slot) slot = std::make_unique<std::mutex>();
    return *slot;
}

}  // namespace

std::shared_ptr<ZVUHeartbeatDateStorage> ZVUHeartbeatDateStorage::initWithFileName(
    const std::optional<std::string>& fileName) {
    if (!fileName) return nullptr;
    return std::make_shared<ZVUHeartbeatDateStorage>(*fileName);
}

std::filesystem::path ZVUHeartbeatDateStorage::directoryPathURL() {
    return std::filesystem::path(sim::applicationSupportPath()) / "Zevera/VUVEzu";
}

std::filesystem::path ZVUHeartbeatDateStorage::fileURL() {
    if (!fileURL_) {
        auto directory = directoryPathURL();
        std::error_code ec;
        if (!std::filesystem::exists(directory, ec)) {
            std::filesystem::create_directories(directory, ec);  // a failure shows at write
        }
        fileURL_ = directory / fileName_;
    }
    return *fileURL_;
}

Dictionary ZVUHeartbeatDateStorage::heartbeatDictionaryWithFileURL(
    const std::filesystem::path& file) {
    auto data = sim::FileSystem::readFile(file);
    if (!data || data->empty()) return {};
    Id object =
        ZVUSecureCoding::unarchivedObjectOfClasses({"NSDictionary", "NSDate", "NSString"}, *data);
    const Value* value = object.value();
    if (!value || !value->isDictionary() || value->asDictionary()->empty()) return {};
    return *value->asDictionary();
}

bool ZVUHeartbeatDateStorage::writeDictionary(const Dictionary& dictionary,
                                              const std::filesystem::path& file, NSError* error) {
    auto data = ZVUSecureCoding::archivedDataWithRootObject(Id(Value(dictionary)), error);
    if (!data || data->empty()) return false;
    int errnum = 0;
    if (sim::FileSystem::writeFileAtomically(file, *data, &errnum)) return true;
    if (error) *error = NSError("NSPOSIXErrorDomain", errnum);
    return false;
}

std::optional<Date> ZVUHeartbeatDateStorage::heartbeatDateForTag(const std::string& tag) {
    std::lock_guard lock(fileStoresMutex());
    return heartbeatDictionaryWithFileURL(fileURL())[tag].asDate();
}

bool ZVUHeartbeatDateStorage::setHearbeatDate(const std::optional<Date>& date,
                                              const std::string& tag) {
    std::lock_guard lock(fileStoresMutex());
    const auto file = fileURL();
    Dictionary dictionary = heartbeatDictionaryWithFileURL(file);
    if (date) {
        dictionary.set(tag, Value(*date));
    } else {
        dictionary.remove(tag);
    }
    return writeDictionary(dictionary, file);
}

Dictionary ZVUHeartbeatDateStorageUserDefaults::heartbeatDictionaryFromDefaults() const {
    auto stored = defaults_->dictionaryForKey(key_);
    return stored ? *stored : Dictionary{};
}

std::optional<Date> ZVUHeartbeatDateStorageUserDefaults::heartbeatDateForTag(
    const std::string& tag) {
    std::lock_guard lock(defaultsMutex(defaults_.get()));
    return heartbeatDictionaryFromDefaults()[tag].asDate();
}

bool ZVUHeartbeatDateStorageUserDefaults::setHearbeatDate(const std::optional<Date>& date,
                                                          const std::string& tag) {
    std::lock_guard lock(defaultsMutex(defaults_.get()));
    Dictionary dictionary = heartbeatDictionaryFromDefaults();
    if (date) {
        dictionary.set(tag, Value(*date));
    } else {
        dictionary.remove(tag);
    }
    defaults_->setObject(Value(dictionary), key_);
    return true;
}
