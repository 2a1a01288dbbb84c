#pragma once
// The methods of string and array values, reached through method calls on
// such values.

#include <cstdint>
#include <memory>
#include <vector>

#include "services/script/APMPRuntimeValue.h"

struct URegularExpression;

// The regular expressions a runtime compiled last, so that a program that
// searches with the same few patterns again and again compiles each once.
// Bounded in entries and in the length of a pattern kept; what it holds
// counts against the memory bound. Each search works on its own copy of the
// compiled pattern: the kept form never matches and so never holds a
// subject or the matching engine's backtracking memory. Used by the one
// thread that runs the runtime, like its values.
class APMPRegexCache {
  public:
    static constexpr std::size_t kEntries = 16;
    static constexpr std::size_t kLongestPattern = 256;
    // Bytes counted for a kept pattern: the compiled program and its sets,
    // a fixed part and a part that grows with the pattern. A character
    // class such as \p{L} compiles to about 1.4 KB for its 5 code units.
    static constexpr std::int64_t kEntryBytes = 8192;
    static constexpr std::int64_t kBytesPerUnit = 2048;

    APMPRegexCache();
    ~APMPRegexCache();
    APMPRegexCache(const APMPRegexCache&) = delete;
    APMPRegexCache& operator=(const APMPRegexCache&) = delete;

    struct Closer {
        void operator()(URegularExpression* regex) const;
    };
    using Matcher = std::unique_ptr<URegularExpression, Closer>;
    // A matcher of `pattern` of its own, or null when the pattern does not
    // compile.
    Matcher matcher(const APMPString& pattern);
    static Matcher compile(const APMPString& pattern);
    std::size_t count() const { return entries_.size(); }

  private:
    static std::int64_t bytesOf(const APMPString& pattern) {
        return kEntryBytes + kBytesPerUnit * static_cast<std::int64_t>(pattern.size());
    }
    struct Entry {
        APMPString pattern;
        Matcher compiled;
        std::uint64_t lastUse = 0;
    };
    std::vector<Entry> entries_;
    std::uint64_t uses_ = 0;
    APMPHeldBytes held_;
};

namespace APMPStringCommandEvaluator {
APMPValueRef evaluateCommand(const APMPString& name, const APMPString& text,
                             const APMPValueList& arguments, const APMPScopeRef& scope,
                             APMPErrorSlot& error);
}  // namespace APMPStringCommandEvaluator

namespace APMPArrayCommandEvaluator {
APMPValueRef evaluateCommand(const APMPString& name, const std::shared_ptr<APMPArrayValue>& array,
                             const APMPValueList& arguments, const APMPScopeRef& scope,
                             APMPErrorSlot& error);
}  // namespace APMPArrayCommandEvaluator
