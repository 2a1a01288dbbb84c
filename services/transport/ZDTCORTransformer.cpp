#include "services/transport/ZDTCORTransformer.h"

#include <atomic>

#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/transport/ZDTCORRegistrar.h"

std::shared_ptr<ZDTCORTransformer> ZDTCORTransformer::sharedInstance() {
    // Never destroyed, like every shared object of the transport: work may
    // still be queued while the process exits.
    static const auto* shared =
        new auto(std::make_shared<ZDTCORTransformer>(ZDTCORApplication::sharedApplication()));
    return *shared;
}

ZDTCORTransformer::ZDTCORTransformer(std::shared_ptr<ZDTCORApplicationProtocol> application)
    : queue_(DispatchQueue::create("com.zevera.ZDTCORTransformer")),
      application_(std::move(application)) {}

void ZDTCORTransformer::transformEvent(std::shared_ptr<ZDTCOREvent> event,
                                       const std::vector<std::shared_ptr<NSObject>>& transformers,
                                       ZDTCORStoreCompletion completion) {
    ZDTCORAssert(event != nullptr, "You can't write a nil event");
    // The task ID is shared between the caller's thread and the queue.
    auto taskID = std::make_shared<std::atomic<ZDTCORBackgroundIdentifier>>(0);
    auto app = application_;
    taskID->store(app->beginBackgroundTaskWithName("ZDTTransformer", [app, taskID] {
        app->endBackgroundTask(taskID->load());
        taskID->store(0);
    }));
    ZDTCORStoreCompletion finish = [app, taskID, completion](bool written,
                                                             std::optional<NSError> error) {
        if (completion) completion(written, std::move(error));
        app->endBackgroundTask(taskID->load());
        taskID->store(0);
    };
    queue_->async([event, transformers, finish] {
        auto current = event;
        for (const auto& object : transformers) {
            auto transformer = std::dynamic_pointer_cast<ZDTCOREventTransformer>(object);
            if (!transformer) {
                ZDTCORLogError(ZDTCORMCETransformerDoesntImplementTransform,
                               "Transformer doesn't implement transformZDTEvent: %@",
                               {object ? object->description() : std::string("(null)")});
                finish(false, std::nullopt);
                return;
            }
            ZDTCORLogDebug("Applying a transformer to event %@",
                           {current ? current->description() : ""});
            current = transformer->transformZDTEvent(current);
            if (!current) {
                finish(false, std::nullopt);
                return;
            }
        }
        auto storage = current ? ZDTCORStorageForTarget(current->target()) : nullptr;
        if (!storage) {
            // Nothing will ever answer for it: a waiting caller ends now.
            ZDTCORLogDebug("No storage for the event's target: %@",
                           {current ? current->description() : std::string("(null)")});
            finish(false, std::nullopt);
            return;
        }
        storage->storeEvent(current, finish);
    });
}

void ZDTCORTransformer::appWillTerminate(ZDTCORApplicationProtocol&) {
    queue_->sync([] {});
}
