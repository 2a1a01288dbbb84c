#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"

// A fetch answer: "entries" apart, as texts, and every other field as a
// value. The body is read with an index per object, so an answer of many
// keys costs in proportion to its size.
struct RCNFetchAnswer {
    Dictionary fields;
    // "entries" when it is an object whose every value is a text.
    std::vector<std::pair<std::string, std::string>> entries;
    // Why "entries" cannot be taken as content, when it cannot.
    std::optional<std::string> invalidEntries;

    // Absent, with the reason in `error`, when the body is no JSON object.
    static std::optional<RCNFetchAnswer> parse(const Data& body, std::string* error);
    static RCNFetchAnswer fromDictionary(const Dictionary& response);
    // Why an "UPDATE" cannot be taken as content; absent when it can.
    std::optional<std::string> invalidUpdate() const;
};
