#include "app/audio/AudioObjectPool.h"

#include "platform/bundle/NSBundle.h"

AudioObjectPool& AudioObjectPool::shared() {
    // Leaked on purpose: objects may die during exit.
    static AudioObjectPool* pool = new AudioObjectPool();
    return *pool;
}

std::shared_ptr<AudioObject> AudioObjectPool::find(AudioObjectID id) const {
    std::shared_lock lock(mutex_);
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : it->second.object.lock();
}

void AudioObjectPool::set(const std::shared_ptr<AudioObject>& object, AudioObjectID id) {
    insert(id, object);
}

void AudioObjectPool::insert(AudioObjectID id, const std::shared_ptr<AudioObject>& object,
                             const std::function<void()>& whileExclusive) {
    std::unique_lock lock(mutex_);
    if (whileExclusive) whileExclusive();
    entries_[id] = Entry{object, object.get()};
    object->pooled_.store(true);
}

bool AudioObjectPool::remove(AudioObjectID id) {
    std::unique_lock lock(mutex_);
    return entries_.erase(id) > 0;
}

bool AudioObjectPool::eraseIfOwn(AudioObjectID id, const AudioObject* object) {
    std::unique_lock lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end() || it->second.address != object) return false;
    entries_.erase(it);
    return true;
}

std::size_t AudioObjectPool::entryCount() const {
    std::shared_lock lock(mutex_);
    return entries_.size();
}

const std::string& AudioObjectPool::queueLabel() const {
    static const std::string label = [] {
        std::string identifier = NSBundle::mainBundle()->bundleIdentifier();
        return (identifier.empty() ? std::string("AudioSystem") : identifier) + ".audioObjectPool";
    }();
    return label;
}
