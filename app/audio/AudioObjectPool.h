#pragma once
// The process-wide map from audio object identifiers to the live device and
// stream objects, so that one identifier has at most one live object: every
// part of the program that asks for device 73 gets the same AudioDevice,
// with the same listener, while anybody holds it. The pool holds its objects
// weakly and never extends their life.
//
// Guarantees:
//  * lookupOrCreate is atomic: a miss, the construction (class check,
//    listener installation) and the insertion run while no other creation
//    runs, so two threads that miss at once share one new object. A new
//    object becomes visible to lookups only together with its installed
//    listener, so no change after a lookup returns goes unheard.
//  * Each object listens with its own client data (AudioObject::
//    listenerClientData), and a callback posts only for the object that is
//    in the pool now: an older object for the same identifier that is still
//    going away neither doubles nor steals notifications, and removes only
//    its own listener.
//  * A dying object removes only its own entry.
//  * Lookups (get/find) take a reader lock and wait at most for one
//    insertion. No lock of the pool is held while an object's destructor
//    runs or while a listener is removed (a removal may wait for a running
//    callback, which may itself look objects up or create them).
//  * An identifier whose live object is of another kind (a device asked for
//    as a stream) yields nothing and creates nothing.

#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "app/audio/AudioObject.h"

class AudioObjectPool {
  public:
    static AudioObjectPool& shared();

    // The live object under the identifier when it is a T, else null.
    template <class T>
    std::shared_ptr<T> get(AudioObjectID id) const {
        return std::dynamic_pointer_cast<T>(find(id));
    }
    // The live object under the identifier, of any kind.
    std::shared_ptr<AudioObject> find(AudioObjectID id) const;
    // Stores the object under the identifier, replacing any earlier entry.
    void set(const std::shared_ptr<AudioObject>& object, AudioObjectID id);
    // Removes the entry; whether there was one.
    bool remove(AudioObjectID id);
    // Entries, live or not yet cleared (for tests).
    std::size_t entryCount() const;

    // "<main bundle identifier or AudioSystem>.audioObjectPool".
    const std::string& queueLabel() const;

    // The live T for the identifier, else a new one: T::makeCandidate(id)
    // builds it, candidate->completeConstruction() validates it (reading
    // what it must), and only a valid candidate is pooled and then asked to
    // registerForNotifications(). Null when the identifier is no T.
    template <class T>
    std::shared_ptr<T> lookupOrCreate(AudioObjectID id) {
        if (auto hit = get<T>(id)) return hit;
        std::shared_ptr<AudioObject> existing;  // released after the locks
        std::shared_ptr<T> candidate;
        std::shared_ptr<T> result;
        {
            std::lock_guard lifecycle(lifecycle_);
            existing = find(id);
            if (existing) {
                result = std::dynamic_pointer_cast<T>(existing);
            } else {
                candidate = T::makeCandidate(id);
                if (candidate->completeConstruction()) {
                    // Listening and entering the pool are one step: readers
                    // (callbacks included) see the object only once it listens.
                    insert(id, candidate, [&] { candidate->registerForNotifications(); });
                    result = candidate;
                }
            }
        }
        return result;
    }

    // For a dying pooled object: removes its entry when the entry is still
    // its own; whether it was.
    bool forget(AudioObjectID id, const AudioObject* object) { return eraseIfOwn(id, object); }

  private:
    AudioObjectPool() = default;
    // Stores the entry; `whileExclusive` runs first, with readers shut out.
    void insert(AudioObjectID id, const std::shared_ptr<AudioObject>& object,
                const std::function<void()>& whileExclusive = nullptr);
    bool eraseIfOwn(AudioObjectID id, const AudioObject* object);

    struct Entry {
        std::weak_ptr<AudioObject> object;
        const AudioObject* address = nullptr;
    };
    mutable std::shared_mutex mutex_;
    // Serialises creations; recursive so that a destructor that could ever
    // run inside a creation (and create in turn) cannot deadlock.
    std::recursive_mutex lifecycle_;
    std::unordered_map<AudioObjectID, Entry> entries_;
};
