#include "services/script/APMPCollectionCommands.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/uregex.h>
#include <unicode/uset.h>
#include <unicode/usearch.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string_view>

#include "services/script/APMPRuntime.h"

namespace {

using Ref = APMPValueRef;
using List = APMPValueList;
using Scope = APMPScopeRef;
using Slot = APMPErrorSlot;

Ref fail(Slot& error, int code) {
    APMPSetError(error, code);
    return APMPUndefined();
}

Ref text(APMPString value, Slot& error) {
    if (!APMPCheckStringLength(value.size(), error)) return APMPUndefined();
    return APMPStringValue::make(std::move(value));
}

Ref number(double value) {
    return APMPNumberValue::make(value);
}

// Truncated number conversion of an argument.
double truncated(const Ref& value, Slot& error) {
    return APMPToInteger(value->doubleValueOrError(error));
}

// ---- strings ----

// The ICU matching engine's own step budget: a pattern that backtracks
// without end stops with an error instead of holding the worker queue.
constexpr int32_t kRegexTimeLimit = 300;
constexpr long long kRegexSyntaxError = 2048;  // NSCocoaErrorDomain

// The matching engine reports every few thousand of its steps; each report
// is charged as this much work, so that a program cannot run long matches
// one after the other within its budget.
constexpr std::int64_t kRegexReportWork = 1000;

UBool chargeRegexSteps(const void* context, int32_t) {
    return APMPChargeWork(kRegexReportWork, *static_cast<Slot*>(const_cast<void*>(context)));
}

// The first match of `pattern` in `subject`: {start, end}, {-1, -1} when none.
// A pattern that does not compile stores the regular-expression error.
std::pair<int32_t, int32_t> firstMatch(const APMPString& pattern, const APMPString& subject,
                                       Slot& error, bool& compiled) {
    APMPRunContext* context = APMPRunContext::current();
    APMPRegexCache::Matcher regex = context ? context->regexCache().matcher(pattern)
                                            : APMPRegexCache::compile(pattern);
    compiled = regex != nullptr;
    if (!compiled) {
        error = NSError("NSCocoaErrorDomain", kRegexSyntaxError);
        return {-1, -1};
    }
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(regex.get(), reinterpret_cast<const UChar*>(subject.data()),
                   static_cast<int32_t>(subject.size()), &status);
    uregex_setTimeLimit(regex.get(), kRegexTimeLimit, &status);
    uregex_setMatchCallback(regex.get(), chargeRegexSteps, &error, &status);
    if (!APMPChargeWork(1 + APMPWorkOfSize(subject.size()), error)) return {-1, -1};
    bool found = uregex_find(regex.get(), 0, &status);
    if (U_FAILURE(status)) {
        // Stopped by the budget, whose error is stored, or by the time limit.
        if (!error) APMPSetError(error, kAPMPErrorRegexTimeLimit);
        return {-1, -1};
    }
    if (!found) return {-1, -1};
    int32_t start = uregex_start(regex.get(), 0, &status);
    int32_t end = uregex_end(regex.get(), 0, &status);
    if (U_FAILURE(status)) return {-1, -1};
    return {start, end};
}

// ---- substring search ----

// An occurrence: where it starts and how many code units of the text it
// covers, which differs from the pattern's length when the two are
// canonically equivalent but not the same (an accented letter against a
// letter followed by a combining accent).
struct Occurrence {
    std::int64_t at = -1;
    std::size_t length = 0;
};

// Below this no character decomposes into another sequence below it and no
// combining mark occurs, so canonically equivalent text there is the same.
constexpr char16_t kFirstCombiningMark = 0x0300;

struct CollatorCloser {
    void operator()(UCollator* collator) const { ucol_close(collator); }
};
using CollatorRef = std::unique_ptr<UCollator, CollatorCloser>;

// A collator that tells apart everything but canonically equivalent
// sequences: identical strength, with normalization. The root order keeps
// a Thai or Lao prevowel and the consonant after it together as one unit
// for sorting, which would hide that consonant from a search; canonical
// equivalence does not join them, so those contractions are suppressed.
// Null when ICU cannot open it.
CollatorRef openCanonicalCollator() {
    UErrorCode status = U_ZERO_ERROR;
    CollatorRef collator(ucol_openRules(u"[suppressContractions [:Logical_Order_Exception:]]", -1,
                                        UCOL_ON, UCOL_IDENTICAL, nullptr, &status));
    if (U_FAILURE(status)) return CollatorRef();
    return collator;
}

// The characters from there on that the canonical search treats exactly as
// a search of code units does: in their one canonical form, neither
// decomposing nor combining with a neighbour (normalization quick checks),
// never reordered (combining class 0), starting and ending a grapheme
// whatever their neighbours (grapheme break class Other), and in no
// contraction of the collation the search uses that such text can hold;
// surrogates and noncharacters are left out, and so supplementary
// characters. Known once per process, as a bitmap.
class PlainCharacters {
  public:
    PlainCharacters() {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<USet, SetCloser> plain(uset_openPattern(
            u"[[:NFD_QC=Yes:]&[:NFC_QC=Yes:]&[:ccc=0:]&[:GCB=Other:]"
            u"&[\\u0300-\\uD7FF\\uE000-\\uFFFF]-[:Noncharacter_Code_Point:]]",
            -1, &status));
        CollatorRef collator = openCanonicalCollator();
        if (!collator) status = U_INTERNAL_PROGRAM_ERROR;
        std::unique_ptr<USet, SetCloser> contractions(uset_openEmpty());
        ucol_getContractionsAndExpansions(collator.get(), contractions.get(), nullptr, true,
                                          &status);
        // The characters of every contraction that can occur in such text,
        // together with those below the first mark, go.
        uset_addRange(plain.get(), 0, kFirstCombiningMark - 1);
        for (int32_t i = 0, count = uset_getItemCount(contractions.get());
             i < count && U_SUCCESS(status); ++i) {
            UChar32 start = 0, end = 0;
            UChar text[64];
            int32_t length =
                uset_getItem(contractions.get(), i, &start, &end, text, 64, &status);
            if (length == 0)
                uset_removeRange(plain.get(), start, end);
            else if (uset_containsAllCodePoints(plain.get(), text, length))
                uset_removeAllCodePoints(plain.get(), text, length);
        }
        // Without the facts, only the characters below the first mark.
        if (U_FAILURE(status)) return;
        for (UChar32 c = kFirstCombiningMark; c <= 0xFFFF; ++c)
            if (uset_contains(plain.get(), c))
                bits_[static_cast<std::size_t>(c) / 64] |= std::uint64_t{1} << (c % 64);
    }

    bool contains(char16_t c) const {
        return c < kFirstCombiningMark || ((bits_[c / 64] >> (c % 64)) & 1) != 0;
    }

  private:
    struct SetCloser {
        void operator()(USet* set) const { uset_close(set); }
    };
    std::uint64_t bits_[65536 / 64] = {};
};

bool isPlain(const APMPString& text, std::size_t begin, std::size_t end) {
    static const PlainCharacters* const plain = new PlainCharacters();
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(begin),
                       text.begin() + static_cast<std::ptrdiff_t>(end),
                       [](char16_t c) { return plain->contains(c); });
}

// Patterns longer than this are searched in linear time whatever the text.
constexpr std::size_t kShortPattern = 16;

Occurrence literalFirst(const APMPString& text, const APMPString& pattern, std::size_t from) {
    std::size_t at = APMPString::npos;
    if (pattern.size() <= kShortPattern) {
        at = text.find(pattern, from);
    } else {
        auto begin = text.begin() + static_cast<std::ptrdiff_t>(from);
        auto found = std::search(begin, text.end(),
                                 std::boyer_moore_searcher(pattern.begin(), pattern.end()));
        if (found != text.end()) at = static_cast<std::size_t>(found - text.begin());
    }
    if (at == APMPString::npos) return {};
    return {static_cast<std::int64_t>(at), pattern.size()};
}

// The last occurrence that ends at or before `end`.
Occurrence literalLast(const APMPString& text, const APMPString& pattern, std::size_t end) {
    if (pattern.size() > end) return {};
    std::size_t at = APMPString::npos;
    if (pattern.size() <= kShortPattern) {
        at = text.rfind(pattern, end - pattern.size());
    } else {
        auto rbegin = text.rbegin() + static_cast<std::ptrdiff_t>(text.size() - end);
        auto found = std::search(rbegin, text.rend(),
                                 std::boyer_moore_searcher(pattern.rbegin(), pattern.rend()));
        if (found != text.rend())
            at = static_cast<std::size_t>(text.rend() - found) - pattern.size();
    }
    if (at == APMPString::npos) return {};
    return {static_cast<std::int64_t>(at), pattern.size()};
}

struct SearchCloser {
    void operator()(UStringSearch* search) const { usearch_close(search); }
};

// The canonical collator of this thread: opening one is costly, and a
// collator is not shared between threads.
UCollator* canonicalCollator() {
    thread_local CollatorRef collator = openCanonicalCollator();
    return collator.get();
}

// Searching costs its size: plain text by the characters it passes over;
// through the collator each character costs about two evaluations.
constexpr std::int64_t kCanonicalWorkPerCharacter = 2;

// Finds `pattern` in text[0, end), where canonically equivalent text
// matches. An empty pattern occurs nowhere. Each search charges its work;
// false when the budget ran out.
class Finder {
  public:
    Finder(const APMPString& text, const APMPString& pattern, std::size_t end)
        : text_(text), pattern_(pattern), end_(std::min(end, text.size())) {}

    // The first occurrence that starts at or after `from`.
    bool next(std::size_t from, Occurrence& found, Slot& error) {
        found = {};
        if (pattern_.empty() || from > end_) return true;
        if (!classify(error)) return false;
        if (!plain_) {
            if (!openSearch(error)) return false;
            if (!search_) return true;
            UErrorCode status = U_ZERO_ERROR;
            int32_t at = usearch_following(search_.get(), static_cast<int32_t>(from), &status);
            if (U_SUCCESS(status) && at != USEARCH_DONE)
                found = {at, static_cast<std::size_t>(usearch_getMatchedLength(search_.get()))};
            return true;
        }
        found = literalFirst(text_, pattern_, from);
        if (found.at >= 0 && static_cast<std::size_t>(found.at) + found.length > end_) found = {};
        std::size_t passed = (found.at < 0 ? end_ : static_cast<std::size_t>(found.at)) - from;
        return APMPChargeWork(1 + APMPWorkOfSize(passed + pattern_.size()), error);
    }

    // The last occurrence that ends at or before the end.
    bool last(Occurrence& found, Slot& error) {
        found = {};
        if (pattern_.empty()) return true;
        if (!classify(error)) return false;
        if (!plain_) {
            if (!openSearch(error)) return false;
            if (!search_) return true;
            UErrorCode status = U_ZERO_ERROR;
            int32_t at = usearch_last(search_.get(), &status);
            if (U_SUCCESS(status) && at != USEARCH_DONE)
                found = {at, static_cast<std::size_t>(usearch_getMatchedLength(search_.get()))};
            return true;
        }
        found = literalLast(text_, pattern_, end_);
        std::size_t passed = end_ - (found.at < 0 ? 0 : static_cast<std::size_t>(found.at));
        return APMPChargeWork(1 + APMPWorkOfSize(passed + pattern_.size()), error);
    }

  private:
    // Whether text and pattern are plain, found in one pass over both,
    // which is charged as well.
    bool classify(Slot& error) {
        if (classified_) return true;
        classified_ = true;
        if (!APMPChargeWork(1 + APMPWorkOfSize(end_ + pattern_.size()), error)) return false;
        plain_ = isPlain(pattern_, 0, pattern_.size()) && isPlain(text_, 0, end_);
        return true;
    }

    // Through the collator the whole text is charged once, up front.
    bool openSearch(Slot& error) {
        if (opened_) return true;
        opened_ = true;
        std::int64_t work =
            1 + kCanonicalWorkPerCharacter * static_cast<std::int64_t>(end_ + pattern_.size());
        if (!APMPChargeWork(work, error)) return false;
        UCollator* collator = canonicalCollator();
        if (!collator) return true;
        UErrorCode status = U_ZERO_ERROR;
        search_.reset(usearch_openFromCollator(
            reinterpret_cast<const UChar*>(pattern_.data()), static_cast<int32_t>(pattern_.size()),
            reinterpret_cast<const UChar*>(text_.data()), static_cast<int32_t>(end_), collator,
            nullptr, &status));
        usearch_setAttribute(search_.get(), USEARCH_CANONICAL_MATCH, USEARCH_ON, &status);
        if (U_FAILURE(status)) search_.reset();
        return true;
    }

    const APMPString& text_;
    const APMPString& pattern_;
    const std::size_t end_;
    bool classified_ = false;
    bool plain_ = false;
    bool opened_ = false;
    std::unique_ptr<UStringSearch, SearchCloser> search_;
};

APMPString argumentText(const List& args, std::size_t i, Slot& error) {
    if (i >= args.size()) return u"undefined";
    return args[i]->stringValueOrError(error);
}

using StringHandler = Ref (*)(const APMPString&, const List&, const Scope&, Slot&);

Ref charAt(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 1, error)) return APMPUndefined();
    double index = args.empty() ? 0 : truncated(args[0], error);
    if (error) return APMPUndefined();
    if (index < 0 || index >= static_cast<double>(s.size())) return text(u"", error);
    return text(APMPString(1, s[static_cast<std::size_t>(index)]), error);
}

Ref concat(const APMPString& s, const List& args, const Scope&, Slot& error) {
    APMPString out = s;
    for (const Ref& arg : args) {
        APMPString piece = arg->stringValueOrError(error);
        if (error) return APMPUndefined();
        if (!APMPCheckStringLength(out.size() + piece.size(), error)) return APMPUndefined();
        out += piece;
    }
    return text(std::move(out), error);
}

Ref hasOwnProperty(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(args, 1, error)) return APMPUndefined();
    APMPString name = args[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    if (name == u"length") return APMPBool(true);
    double index = args[0]->doubleValueOrError(error);
    if (error) return APMPUndefined();
    return APMPBool(index >= 0 && std::trunc(index) == index &&
                    index < static_cast<double>(s.size()));
}

Ref indexOf(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 2, error)) return APMPUndefined();
    APMPString needle = argumentText(args, 0, error);
    if (error) return APMPUndefined();
    double start = args.size() > 1 ? truncated(args[1], error) : 0;
    if (error) return APMPUndefined();
    start = std::clamp(start, 0.0, static_cast<double>(s.size()));
    Occurrence found;
    if (!Finder(s, needle, s.size()).next(static_cast<std::size_t>(start), found, error))
        return APMPUndefined();
    return number(static_cast<double>(found.at));
}

Ref lastIndexOf(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 2, error)) return APMPUndefined();
    APMPString needle = argumentText(args, 0, error);
    if (error) return APMPUndefined();
    double position = std::numeric_limits<double>::infinity();
    if (args.size() > 1) {
        double d = args[1]->doubleValueOrError(error);
        if (error) return APMPUndefined();
        if (!std::isnan(d)) position = APMPToInteger(d);
    }
    double clamped = std::clamp(position, 0.0, static_cast<double>(s.size()));
    std::size_t windowEnd = std::min(s.size(), static_cast<std::size_t>(clamped) + needle.size());
    Occurrence found;
    if (!Finder(s, needle, windowEnd).last(found, error)) return APMPUndefined();
    return number(static_cast<double>(found.at));
}

Ref match(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 1, error)) return APMPUndefined();
    APMPString pattern = args.empty() ? APMPString() : args[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    if (pattern.empty()) {
        auto array = APMPArrayValue::make({APMPStringValue::make(APMPString())}, error);
        return array ? Ref(array) : APMPUndefined();
    }
    bool compiled = false;
    auto [start, end] = firstMatch(pattern, s, error, compiled);
    if (!compiled) return APMPNull();
    if (error) return APMPUndefined();
    if (start < 0) return APMPNull();
    auto array = APMPArrayValue::make(
        {APMPStringValue::make(
            s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)))},
        error);
    return array ? Ref(array) : APMPUndefined();
}

Ref replace(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 2, error)) return APMPUndefined();
    APMPString pattern = argumentText(args, 0, error);
    if (error) return APMPUndefined();
    Occurrence found{0, 0};
    if (!pattern.empty() && !Finder(s, pattern, s.size()).next(0, found, error))
        return APMPUndefined();
    std::int64_t at = found.at;
    if (at < 0) return text(s, error);
    APMPString replacement;
    if (args.size() > 1 && args[1]->kind() == APMPKind::Function) {
        List callArguments{APMPStringValue::make(pattern), number(static_cast<double>(at)),
                           APMPStringValue::make(s)};
        Ref function = args[1];
        Ref result = static_cast<APMPFunctionValue&>(*function).invokeWithEvaluatedArguments(
            callArguments, error);
        if (error) return APMPUndefined();
        replacement = result->stringValueOrError(error);
    } else {
        replacement = argumentText(args, 1, error);
    }
    if (error) return APMPUndefined();
    if (!APMPCheckStringLength(s.size() - found.length + replacement.size(), error))
        return APMPUndefined();
    APMPString out = s;
    out.replace(static_cast<std::size_t>(at), found.length, replacement);
    return text(std::move(out), error);
}

Ref search(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 1, error)) return APMPUndefined();
    APMPString pattern = argumentText(args, 0, error);
    if (error) return APMPUndefined();
    if (pattern.empty()) return number(0);
    bool compiled = false;
    auto [start, end] = firstMatch(pattern, s, error, compiled);
    if (!compiled) return number(0);
    if (error) return APMPUndefined();
    return number(start);
}

// Resolves a relative position: negative counts from the end.
double relative(double position, double length) {
    if (position < 0) return std::max(position + length, 0.0);
    return std::min(position, length);
}

Ref slice(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 2, error)) return APMPUndefined();
    auto length = static_cast<double>(s.size());
    double start = args.empty() ? 0 : truncated(args[0], error);
    double end = args.size() > 1 ? truncated(args[1], error) : length;
    if (error) return APMPUndefined();
    start = relative(start, length);
    end = relative(end, length);
    if (end <= start) return text(u"", error);
    return text(s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)),
                error);
}

// Each piece is checked against the bounds before it is made.
Ref split(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 2, error)) return APMPUndefined();
    APMPListBuilder pieces;
    auto addPiece = [&](std::size_t from, std::size_t length) {
        if (!pieces.reserve(1, APMPListBuilder::kValueBytes, error)) return false;
        pieces.add(APMPStringValue::make(s.substr(from, length)));
        return true;
    };
    if (s.empty() || args.empty()) {
        if (!addPiece(0, s.size())) return APMPUndefined();
    } else {
        APMPString separator = args[0]->stringValueOrError(error);
        if (error) return APMPUndefined();
        std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
        if (args.size() > 1) {
            double d = args[1]->doubleValueOrError(error);
            if (error) return APMPUndefined();
            limit = APMPToUint32(d);
        }
        if (separator.empty()) {
            for (std::size_t i = 0; i < s.size() && pieces.values.size() < limit; ++i)
                if (!addPiece(i, 1)) return APMPUndefined();
        } else {
            Finder finder(s, separator, s.size());
            std::size_t from = 0;
            while (pieces.values.size() < limit) {
                Occurrence found;
                if (!finder.next(from, found, error)) return APMPUndefined();
                if (found.at < 0) {
                    if (!addPiece(from, s.size() - from)) return APMPUndefined();
                    break;
                }
                auto at = static_cast<std::size_t>(found.at);
                if (!addPiece(from, at - from)) return APMPUndefined();
                from = at + std::max<std::size_t>(found.length, 1);
            }
        }
    }
    auto array = APMPArrayValue::make(std::move(pieces.values), error);
    return array ? Ref(array) : APMPUndefined();
}

Ref substring(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 2, error)) return APMPUndefined();
    auto length = static_cast<double>(s.size());
    double start = args.empty() ? 0 : truncated(args[0], error);
    double end = args.size() > 1 ? truncated(args[1], error) : length;
    if (error) return APMPUndefined();
    start = std::clamp(start, 0.0, length);
    end = std::clamp(end, 0.0, length);
    if (start > end) std::swap(start, end);
    return text(s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)),
                error);
}

template <bool Upper, bool Localized>
Ref changeCase(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    // Outside any locale's rules, text below 0x80 changes case letter by
    // letter within that range, and nothing else in it changes.
    if (!Localized && std::all_of(s.begin(), s.end(), [](char16_t c) { return c < 0x80; })) {
        APMPString out = s;
        const char16_t first = Upper ? u'a' : u'A';
        for (char16_t& c : out)
            if (c >= first && c <= first + 25) c ^= 0x20;
        return text(std::move(out), error);
    }
    const char* locale = Localized ? uloc_getDefault() : "";
    APMPString out(s.size() + 8, u'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        auto convert = Upper ? u_strToUpper : u_strToLower;
        int32_t length =
            convert(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                    reinterpret_cast<const UChar*>(s.data()), static_cast<int32_t>(s.size()),
                    locale, &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            if (!APMPCheckStringLength(static_cast<std::size_t>(length), error))
                return APMPUndefined();
            out.assign(static_cast<std::size_t>(length), u'\0');
            continue;
        }
        if (U_FAILURE(status)) return text(s, error);
        out.resize(static_cast<std::size_t>(length));
        return text(std::move(out), error);
    }
    return text(s, error);
}

Ref toString(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    return APMPStringValue::make(s);
}

bool isTrimmed(char16_t c) {
    return u_isUWhiteSpace(c) || c == u'\n' || c == u'\r' || c == 0x85 || c == 0x2028 ||
           c == 0x2029;
}

Ref trim(const APMPString& s, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    std::size_t begin = 0, end = s.size();
    while (begin < end && isTrimmed(s[begin])) ++begin;
    while (end > begin && isTrimmed(s[end - 1])) --end;
    return APMPStringValue::make(s.substr(begin, end - begin));
}

// Method names are few: found by length and text without hashing.
template <class Handler>
struct NamedHandler {
    std::u16string_view name;
    Handler handler;
};

template <class Handler, std::size_t Count>
Handler handlerNamed(const NamedHandler<Handler> (&table)[Count], const APMPString& name) {
    std::u16string_view wanted(name);
    for (const NamedHandler<Handler>& entry : table)
        if (entry.name.size() == wanted.size() && entry.name[0] == wanted[0] &&
            entry.name == wanted)
            return entry.handler;
    return nullptr;
}

const NamedHandler<StringHandler> kStringHandlers[] = {
    {u"charAt", charAt},
    {u"concat", concat},
    {u"hasOwnProperty", hasOwnProperty},
    {u"indexOf", indexOf},
    {u"lastIndexOf", lastIndexOf},
    {u"match", match},
    {u"replace", replace},
    {u"search", search},
    {u"slice", slice},
    {u"split", split},
    {u"substring", substring},
    {u"toLowerCase", changeCase<false, false>},
    {u"toLocaleLowerCase", changeCase<false, true>},
    {u"toUpperCase", changeCase<true, false>},
    {u"toLocaleUpperCase", changeCase<true, true>},
    {u"toString", toString},
    {u"trim", trim},
};

// ---- arrays ----

using Array = std::shared_ptr<APMPArrayValue>;
using ArrayHandler = Ref (*)(const Array&, const List&, const Scope&, Slot&);

Ref indexValue(std::size_t i) {
    return number(static_cast<double>(i));
}

// Visits every element present at the start, in order; `step` answers
// whether to go on.
template <class Step>
void visit(const Array& array, APMPFunctionValue& function, Slot& error, Step step) {
    std::size_t length = array->count();
    for (std::size_t i = 0; i < length; ++i) {
        Ref element = array->elementAt(i);
        if (!element || element == APMPArrayValue::emptyValue()) continue;
        List arguments{element, indexValue(i), array};
        Ref result = function.invokeWithEvaluatedArguments(arguments, error);
        if (error) return;
        if (!step(i, element, result)) return;
    }
}

APMPFunctionValue* callback(const List& args, Slot& error) {
    if (!APMPCheckArgumentCount(args, 1, error)) return nullptr;
    if (args[0]->kind() != APMPKind::Function) {
        APMPSetError(error, kAPMPErrorArgumentKind);
        return nullptr;
    }
    return static_cast<APMPFunctionValue*>(args[0].get());
}

template <bool Every>
Ref everyOrSome(const Array& array, const List& args, const Scope&, Slot& error) {
    APMPFunctionValue* function = callback(args, error);
    if (!function) return APMPUndefined();
    bool answer = Every;
    visit(array, *function, error, [&](std::size_t, const Ref&, const Ref& result) {
        bool truth = result->booleanValueOrError(error);
        if (error) return false;
        if (truth != Every) {
            answer = !Every;
            return false;
        }
        return true;
    });
    return APMPBool(answer);
}

Ref filter(const Array& array, const List& args, const Scope&, Slot& error) {
    APMPFunctionValue* function = callback(args, error);
    if (!function) return APMPUndefined();
    auto out = APMPArrayValue::make();
    visit(array, *function, error, [&](std::size_t, const Ref& element, const Ref& result) {
        bool truth = result->booleanValueOrError(error);
        if (error) return false;
        if (truth) out->appendElements({element}, error);
        return !error;
    });
    return out;
}

Ref map(const Array& array, const List& args, const Scope&, Slot& error) {
    APMPFunctionValue* function = callback(args, error);
    if (!function) return APMPUndefined();
    auto out = APMPArrayValue::make();
    visit(array, *function, error, [&](std::size_t i, const Ref&, const Ref& result) {
        out->setValue(result, indexValue(i), error);
        return !error;
    });
    return out;
}

Ref forEach(const Array& array, const List& args, const Scope&, Slot& error) {
    APMPFunctionValue* function = callback(args, error);
    if (!function) return APMPUndefined();
    visit(array, *function, error, [](std::size_t, const Ref&, const Ref&) { return true; });
    return APMPUndefined();
}

Ref arrayConcat(const Array& array, const List& args, const Scope&, Slot& error) {
    auto out = array->subarrayWithRange(0, array->count(), error);
    if (!out) return APMPUndefined();
    for (const Ref& arg : args) {
        out->concat(arg, error);
        if (error) return APMPUndefined();
    }
    return out;
}

Ref arrayHasOwnProperty(const Array& array, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(args, 1, error)) return APMPUndefined();
    APMPString name = args[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    if (name == u"length") return APMPBool(true);
    bool has = array->hasProperty(args[0], error);
    if (error) return APMPUndefined();
    return APMPBool(has);
}

Ref arrayIndexOf(const Array& array, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 2, error)) return APMPUndefined();
    Ref value = args.empty() ? APMPUndefined() : args[0];
    auto length = static_cast<double>(array->count());
    double start = 0;
    if (args.size() > 1) {
        start = truncated(args[1], error);
        if (error) return APMPUndefined();
        if (start >= length) return number(-1);
        if (start < 0) start = std::max(start + length, 0.0);
    }
    std::int64_t at = array->indexOfValue(value, static_cast<std::uint64_t>(start), error);
    if (error) return APMPUndefined();
    return number(static_cast<double>(at));
}

Ref arrayLastIndexOf(const Array& array, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 2, error)) return APMPUndefined();
    Ref value = args.empty() ? APMPUndefined() : args[0];
    auto length = static_cast<double>(array->count());
    double start = length - 1;
    if (args.size() > 1) {
        double d = args[1]->doubleValueOrError(error);
        if (error) return APMPUndefined();
        if (!std::isnan(d)) {
            start = APMPToInteger(d);
            if (start < 0) start += length;
        }
    }
    if (start < 0) return number(-1);
    start = std::min(start, length - 1);
    std::int64_t at = array->lastIndexOfValue(value, static_cast<std::uint64_t>(start), error);
    if (error) return APMPUndefined();
    return number(static_cast<double>(at));
}

Ref join(const Array& array, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 1, error)) return APMPUndefined();
    APMPString separator = u",";
    if (!args.empty()) {
        if (args[0]->kind() == APMPKind::Undefined || args[0]->kind() == APMPKind::Null)
            separator.clear();
        else
            separator = args[0]->stringValueOrError(error);
        if (error) return APMPUndefined();
    }
    APMPString joined = array->stringValueWithSeparator(separator, error);
    if (error) return APMPUndefined();
    return APMPStringValue::make(std::move(joined));
}

Ref pop(const Array& array, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    Ref last = array->removeLastElement();
    return last == APMPArrayValue::emptyValue() ? APMPUndefined() : last;
}

Ref shift(const Array& array, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    Ref first = array->removeFirstElement();
    return first == APMPArrayValue::emptyValue() ? APMPUndefined() : first;
}

Ref push(const Array& array, const List& args, const Scope&, Slot& error) {
    std::size_t count = array->appendElements(args, error);
    if (error) return APMPUndefined();
    return number(static_cast<double>(count));
}

Ref unshift(const Array& array, const List& args, const Scope&, Slot& error) {
    std::size_t count = array->prependElements(args, error);
    if (error) return APMPUndefined();
    return number(static_cast<double>(count));
}

Ref reverse(const Array& array, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    array->reverse();
    return array;
}

template <bool Right>
Ref reduce(const Array& array, const List& args, const Scope&, Slot& error) {
    if (args.empty() || args.size() > 2) return fail(error, kAPMPErrorArgumentCount);
    if (args[0]->kind() != APMPKind::Function) return fail(error, kAPMPErrorArgumentKind);
    if (args.size() > 1 && args[1]->kind() == APMPKind::Control)
        return fail(error, kAPMPErrorArgumentKind);
    auto& function = static_cast<APMPFunctionValue&>(*args[0]);
    auto length = static_cast<std::int64_t>(array->count());
    std::int64_t i = Right ? length - 1 : 0;
    const std::int64_t stepBy = Right ? -1 : 1;
    auto inRange = [&](std::int64_t k) { return k >= 0 && k < length; };
    auto present = [&](std::int64_t k) {
        Ref element = array->elementAt(static_cast<std::size_t>(k));
        return element && element != APMPArrayValue::emptyValue();
    };
    Ref accumulator;
    if (args.size() > 1) {
        accumulator = args[1];
    } else {
        while (inRange(i) && !present(i)) i += stepBy;
        if (!inRange(i)) return fail(error, kAPMPErrorReduceEmpty);
        accumulator = array->elementAt(static_cast<std::size_t>(i));
        i += stepBy;
    }
    for (; inRange(i); i += stepBy) {
        if (!present(i)) continue;
        List arguments{accumulator, array->elementAt(static_cast<std::size_t>(i)),
                       indexValue(static_cast<std::size_t>(i)), array};
        accumulator = function.invokeWithEvaluatedArguments(arguments, error);
        if (error) return APMPUndefined();
    }
    return accumulator;
}

Ref arraySlice(const Array& array, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 2, error)) return APMPUndefined();
    auto length = static_cast<double>(array->count());
    double start = args.empty() ? 0 : truncated(args[0], error);
    double end = args.size() > 1 ? truncated(args[1], error) : length;
    if (error) return APMPUndefined();
    start = relative(start, length);
    end = std::clamp(relative(end, length), start, length);
    auto out = array->subarrayWithRange(static_cast<std::uint64_t>(start),
                                        static_cast<std::uint64_t>(end - start), error);
    return out ? Ref(out) : APMPUndefined();
}

Ref sort(const Array& array, const List& args, const Scope& scope, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(args, 1, error)) return APMPUndefined();
    if (array->count() <= 1) return array;
    if (!args.empty() && args[0]->kind() != APMPKind::Function) {
        APMPSetError(error, kAPMPErrorArgumentKind);
        return array;
    }
    array->sortUsingFunctionValue(args.empty() ? nullptr : args[0], scope, error);
    return array;
}

Ref splice(const Array& array, const List& args, const Scope&, Slot& error) {
    if (args.empty()) return APMPArrayValue::make();
    auto length = static_cast<double>(array->count());
    double start = truncated(args[0], error);
    if (error) return APMPUndefined();
    start = relative(start, length);
    double deleteCount = length - start;
    if (args.size() > 1) {
        deleteCount = truncated(args[1], error);
        if (error) return APMPUndefined();
        deleteCount = std::clamp(deleteCount, 0.0, length - start);
    }
    List values(args.size() > 2 ? args.begin() + 2 : args.end(), args.end());
    List removed = array->spliceFrom(static_cast<std::int64_t>(start),
                                     static_cast<std::int64_t>(deleteCount), values, error);
    if (error) return APMPUndefined();
    auto out = APMPArrayValue::make(std::move(removed), error);
    return out ? Ref(out) : APMPUndefined();
}

Ref arrayToString(const Array& array, const List& args, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    APMPString joined = array->stringValueOrError(error);
    if (error) return APMPUndefined();
    return APMPStringValue::make(std::move(joined));
}

const NamedHandler<ArrayHandler> kArrayHandlers[] = {
    {u"concat", arrayConcat},
    {u"every", everyOrSome<true>},
    {u"filter", filter},
    {u"forEach", forEach},
    {u"hasOwnProperty", arrayHasOwnProperty},
    {u"indexOf", arrayIndexOf},
    {u"join", join},
    {u"lastIndexOf", arrayLastIndexOf},
    {u"map", map},
    {u"pop", pop},
    {u"push", push},
    {u"reduce", reduce<false>},
    {u"reduceRight", reduce<true>},
    {u"reverse", reverse},
    {u"shift", shift},
    {u"slice", arraySlice},
    {u"some", everyOrSome<false>},
    {u"sort", sort},
    {u"splice", splice},
    {u"toString", arrayToString},
    {u"unshift", unshift},
};

}  // namespace

// ---- compiled regular expressions ----

void APMPRegexCache::Closer::operator()(URegularExpression* regex) const {
    uregex_close(regex);
}

APMPRegexCache::APMPRegexCache() {
    entries_.reserve(kEntries);
}

APMPRegexCache::~APMPRegexCache() = default;

APMPRegexCache::Matcher APMPRegexCache::compile(const APMPString& pattern) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    Matcher regex(uregex_open(reinterpret_cast<const UChar*>(pattern.data()),
                              static_cast<int32_t>(pattern.size()), 0, &parseError, &status));
    if (U_FAILURE(status)) return nullptr;
    return regex;
}

APMPRegexCache::Matcher APMPRegexCache::matcher(const APMPString& pattern) {
    if (pattern.size() > kLongestPattern) return compile(pattern);
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& entry) { return entry.pattern == pattern; });
    if (found == entries_.end()) {
        Matcher compiled = compile(pattern);
        if (!compiled) return nullptr;
        if (entries_.size() == kEntries) {
            auto oldest = std::min_element(
                entries_.begin(), entries_.end(),
                [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
            held_.release(bytesOf(oldest->pattern));
            entries_.erase(oldest);
        }
        // Close to the memory bound the pattern is used once and not kept.
        APMPErrorSlot ignored;
        if (!held_.charge(bytesOf(pattern), ignored)) return compiled;
        entries_.push_back({pattern, std::move(compiled), 0});
        found = entries_.end() - 1;
    }
    found->lastUse = ++uses_;
    UErrorCode status = U_ZERO_ERROR;
    Matcher copy(uregex_clone(found->compiled.get(), &status));
    if (U_FAILURE(status)) return compile(pattern);
    return copy;
}

APMPValueRef APMPStringCommandEvaluator::evaluateCommand(const APMPString& name,
                                                         const APMPString& string,
                                                         const APMPValueList& arguments,
                                                         const APMPScopeRef& scope,
                                                         APMPErrorSlot& error) {
    StringHandler handler = handlerNamed(kStringHandlers, name);
    if (!handler) return fail(error, kAPMPErrorNoMethod);
    APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    return handler(string, values, scope, error);
}

APMPValueRef APMPArrayCommandEvaluator::evaluateCommand(
    const APMPString& name, const std::shared_ptr<APMPArrayValue>& array,
    const APMPValueList& arguments, const APMPScopeRef& scope, APMPErrorSlot& error) {
    ArrayHandler handler = handlerNamed(kArrayHandlers, name);
    if (!handler) return fail(error, kAPMPErrorNoMethod);
    APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    return handler(array, values, scope, error);
}
