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
// collator that normalizes and does not join a prevowel to its consonant,
// the first or last match.
int canonicalSearch(const APMPString& text, const APMPString& pattern, bool last) {
    UErrorCode status = U_ZERO_ERROR;
    // Building a collator from rules is costly: one for the whole test.
    static const std::unique_ptr<UCollator, decltype(&ucol_close)> collator(
        ucol_openRules(u"[suppressContractions [:Logical_Order_Exception:]]", -1, UCOL_ON,
                       UCOL_IDENTICAL, nullptr, &status),
        ucol_close);
    EXPECT_TRUE(collator);
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

// A Thai or Lao prevowel stays a character of its own: the consonant after
// it is found, alone and beside text that goes through the collator.
TEST(ScriptStringSearchTest, PrevowelsDoNotHideTheirConsonants) {
    struct Case {
        APMPString text, pattern;
        const char* method;
        double expected;
    };
    const Case cases[] = {
        {u"\u0e40\u0e01", u"\u0e01", "indexOf", 1},
        {u"\u0e40\u0e01", u"\u0e40", "indexOf", 0},
        {u"\u0e40\u0e01\u0e40\u0e01", u"\u0e01", "lastIndexOf", 3},
        {u"\u0ec0\u0e81", u"\u0e81", "indexOf", 1},
        {u"caf\u00e9 \u0e40\u0e01", u"\u0e01", "indexOf", 6},
        {u"caf\u00e9 \u0e40\u0e01", u"e\u0301", "indexOf", 3},
        {u"\u0e40\u0e01 cafe\u0301", u"\u00e9", "lastIndexOf", 6},
        {u"\u0e40\u0e01 cafe\u0301", u"\u0e01", "lastIndexOf", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(runtimeSearch(c.text, c.pattern, c.method), c.expected)
            << APMPUTF8(c.text) << " / " << APMPUTF8(c.pattern) << " " << c.method;
    EXPECT_EQ(run("(2 \"\xE0\xB9\x80\xE0\xB8\x81x\xC3\xA9\" \"split\" (46 \"\xE0\xB8\x81\"))"),
              "[s:\xE0\xB9\x80,s:x\xC3\xA9]");
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
