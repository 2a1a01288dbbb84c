#include "services/remoteconfig/RCNPersonalization.h"

#include "services/analytics/ZAROduzozovaInterop.h"

void RCNPersonalization::logArmActive(const std::string& key, const Dictionary& config) {
    const Dictionary* metadata = config["personalizationMetadata"].asDictionary();
    const Dictionary* entries = config["entries"].asDictionary();
    if (!metadata || !entries || metadata->empty() || entries->empty()) return;
    const Value* entry = entries->find(key);
    const Dictionary* choice = (*metadata)[key].asDictionary();
    if (!entry || !choice) return;
    const Value* choiceId = choice->find("choiceId");
    if (!choiceId || choiceId->isNull()) return;
    {
        // The same choice for the same key is logged once.
        std::lock_guard<std::mutex> lock(mutex_);
        const Value* logged = loggedChoiceIds_.find(key);
        if (logged && *logged == *choiceId) return;
        loggedChoiceIds_.set(key, *choiceId);
    }
    if (!analytics_) return;
    Dictionary assignment{{"arm_key", key}, {"arm_value", entry->asString().value_or("")}};
    // Metadata fields that are missing are left out rather than sent empty.
    for (const auto& [from, to] : {std::pair{"personalizationId", "personalization_id"},
                                   std::pair{"armIndex", "arm_index"}, std::pair{"group", "group"}})
        if (const Value* value = choice->find(from); value && !value->isNull())
            assignment.set(to, *value);
    analytics_->logEventWithOrigin("rp", "personalization_assignment", assignment);
    analytics_->logEventWithOrigin("rp", "_fpc", Dictionary{{"_fpid", *choiceId}});
}

Dictionary RCNPersonalization::loggedChoiceIds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loggedChoiceIds_;
}
