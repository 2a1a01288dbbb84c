#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "services/remoteconfig/DIROdadevOveredValue.h"

// A fetch answer: "entries" apart, as the remote values they become, and
// every other field as a value. The body is read in one pass without a
// tree of the whole, so an answer of many keys costs in proportion to its
// size.
struct RCNFetchAnswer {
    Dictionary fields;
    // "entries", in the order given, when it is an object whose every value
    // is a text. Of a key given twice the later value counts.
    RCNKeyedRows entries;
    // Why "entries" cannot be taken as content, when it cannot.
    std::optional<std::string> invalidEntries;

    // Absent, with the reason in `error`, when the body is no JSON object.
    static std::optional<RCNFetchAnswer> parse(const Data& body, std::string* error);
    static RCNFetchAnswer fromDictionary(const Dictionary& response);
    // Why an "UPDATE" cannot be taken as content; absent when it can.
    std::optional<std::string> invalidUpdate() const;
};
