#include "services/remoteconfig/RCNFetchAnswer.h"

#include <nlohmann/json.hpp>

#include "platform/foundation/JSON.h"

std::optional<RCNFetchAnswer> RCNFetchAnswer::parse(const Data& body, std::string* error) {
    // Not the ordered reader of NSJSONSerialization: its objects look keys
    // up one by one, which makes an answer of n keys cost n squared.
    auto json = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        if (error)
            *error = json.is_discarded() ? "The data couldn't be read because it isn't in the "
                                           "correct format."
                                         : "The answer is not a JSON object.";
        return std::nullopt;
    }
    RCNFetchAnswer answer;
    for (auto& [name, field] : json.items()) {
        if (name == "entries") {
            if (!field.is_object()) {
                answer.invalidEntries = "the entries are not an object";
                continue;
            }
            answer.entries.reserve(field.size());
            for (auto& [key, value] : field.items()) {
                if (!value.is_string()) {
                    answer.invalidEntries = "the value of " + key + " is not a text";
                    answer.entries.clear();
                    break;
                }
                answer.entries.emplace_back(key, std::move(value.get_ref<std::string&>()));
            }
            answer.fields.set(name, true);
            continue;
        }
        const std::string text = field.dump();
        auto value =
            NSJSONSerialization::JSONObjectWithData(Data(text.begin(), text.end()), nullptr, true);
        answer.fields.set(name, value.value_or(Value()));
    }
    return answer;
}

RCNFetchAnswer RCNFetchAnswer::fromDictionary(const Dictionary& response) {
    RCNFetchAnswer answer;
    for (const auto& [name, field] : response) {
        if (name != "entries") {
            answer.fields.set(name, field);
            continue;
        }
        answer.fields.set(name, true);
        const Dictionary* entries = field.asDictionary();
        if (!entries) {
            answer.invalidEntries = "the entries are not an object";
            continue;
        }
        for (const auto& [key, value] : *entries) {
            auto text = value.asString();
            if (!text) {
                answer.invalidEntries = "the value of " + key + " is not a text";
                answer.entries.clear();
                break;
            }
            answer.entries.emplace_back(key, *text);
        }
    }
    return answer;
}

std::optional<std::string> RCNFetchAnswer::invalidUpdate() const {
    if (fields["state"].asString().value_or("") != "UPDATE") return std::nullopt;
    return invalidEntries;
}
