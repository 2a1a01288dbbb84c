// Substring search: text whose characters canonical equivalence cannot
// tell from code units is searched as code units, with the same results as
// the canonical search and at the cost of a plain scan.

#include <gtest/gtest.h>
#include <unicode/ucol.h>
#include <unicode/usearch.h>

#include <memory>
#include <random>
#include <string>

#include "services/script/tests/ScriptTestSupport.h"

namespace {

using script_test::run;

// The canonical search itself: ICU string search with an identical-strength
// collator that normalizes, the first or last match.
int canonicalSearch(const APMPString& text, const APMPString& pattern, bool last) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UCollator, decltype(&ucol_close)> collator(ucol_open("", &status),
                                                               ucol_close);
    ucol_setStrength(collator.get(), UCOL_IDENTICAL);
    ucol_setAttribute(collator.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
    std::unique_ptr<UStringSearch, decltype(&usearch_close)> search(
        usearch_openFromCollator(reinterpret_cast<const UChar*>(pattern.data()),
                                 static_cast<int32_t>(pattern.size()),
                                 reinterpret_cast<const UChar*>(text.data()),
                                 static_cast<int32_t>(text.size()), collator.get(), nullptr,
                                 &status),
        usearch_close);
    usearch_setAttribute(search.get(), USEARCH_CANONICAL_MATCH, USEARCH_ON, &status);
    int32_t at = last ? usearch_last(search.get(), &status) : usearch_first(search.get(), &status);
    EXPECT_TRUE(U_SUCCESS(status));
    return at == USEARCH_DONE ? -1 : at;
}

double runtimeSearch(const APMPString& text, const APMPString& pattern, const char* method) {
    APMPScopeRef scope = APMPScope::make();
    APMPErrorSlot error;
    APMPValueRef result = APMPStringValue::make(text)->applyWithName(
        APMPUTF16(method), {APMPStringValue::make(pattern)}, scope, error);
    EXPECT_FALSE(error);
    return result->doubleValueOrError(error);
}

TEST(ScriptStringSearchTest, FindsWhatTheCanonicalSearchFinds) {
    // Letters of many scripts, which are searched as code units, among
    // characters that are not: combining marks, a precomposed syllable,
    // letters in contractions, joiners, a variation selector and a
    // supplementary character.
    const APMPString pool[] = {
        u"a",      u"b",      u"\u00e9", u" ",      u".",      u"\u0430", u"\u0431", u"\u03b1",
        u"\u4e00", u"\u4e8c", u"\u05d0", u"\u0628", u"\u0438", u"\u20ac", u"\u0301", u"\u0327", u"e\u0301",
        u"\uac00", u"\u1100", u"\u1161", u"\u0e40", u"\u0e01", u"\u200d", u"\ufe0f", u"\U0001F600",
        u"\u0915", u"\u093c", u"\u0958", u"\u212b", u"\u00c5", u"\u30ab", u"\u30fc", u"\t",
        u"\ufdd1",
    };
    std::mt19937 random(35);
    auto pick = [&] { return pool[random() % std::size(pool)]; };
    for (int i = 0; i < 3000; ++i) {
        APMPString text, pattern;
        for (std::size_t k = 1 + random() % 6; k > 0; --k) text += pick();
        if (random() % 2) {
            std::size_t from = random() % text.size();
            pattern = text.substr(from, 1 + random() % 3);
        } else {
            for (std::size_t k = 1 + random() % 2; k > 0; --k) pattern += pick();
        }
        ASSERT_EQ(runtimeSearch(text, pattern, "indexOf"), canonicalSearch(text, pattern, false))
            << APMPUTF8(text) << " / " << APMPUTF8(pattern);
        ASSERT_EQ(runtimeSearch(text, pattern, "lastIndexOf"), canonicalSearch(text, pattern, true))
            << APMPUTF8(text) << " / " << APMPUTF8(pattern);
    }
}

TEST(ScriptStringSearchTest, PlainTextOfAnyScriptCostsAPlainScan) {
    // 2^19 Cyrillic letters searched once: through the collator the work
    // would pass the budget; as code units it is a scan.
    std::string program =
        "(41 \"s\") (3 \"s\" \"\xD0\xB0\") "
        "(42 (23 (16 (15 \"s\") \"length\") 524288) (44) false "
        "(46 (3 \"s\" (0 (15 \"s\") (15 \"s\"))))) "
        "(7 (2 (15 \"s\") \"indexOf\" (46 \"\xD0\xB1\")) "
        "(2 (15 \"s\") \"lastIndexOf\" (46 \"\xD0\xB0\xD0\xB0\")))";
    EXPECT_EQ(run(program), "[n:-1,n:524286]");
}

}  // namespace
