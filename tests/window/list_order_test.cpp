// The sorted list box's order: letter case ignored for every script,
// character by character, the same in every locale; ASCII text keeps the
// order it always had.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "window/case_fold.h"
#include "window/element.h"

namespace korvala {
namespace {

std::vector<std::string> sortedList(std::vector<std::string> items) {
    // Added in a scrambled order, so no order of adding can pass for the sort.
    std::shuffle(items.begin(), items.end(), std::mt19937(7));
    ListBox list("lstRemoteFile");
    list.sorted = true;
    list.AddItems(std::move(items));
    return list.List();
}

struct SamePair {
    const char* what;
    std::string a, b;
};

TEST(ListOrder, TextsThatDifferOnlyInLetterCaseCompareEqual) {
    const std::vector<SamePair> pairs = {
        {"ASCII", "KORVALA(Budi)", "korvala(budi)"},
        {"e acute", "É", "é"},
        {"a diaeresis", "Ärger", "ärger"},
        {"capital and small sigma", "Σ", "σ"},
        {"small and final sigma", "σ", "ς"},
        {"capital and final sigma", "ΣΟΦΟΣ", "σοφος"},
        {"Cyrillic zhe", "ЖУК", "жук"},
        {"capital sharp s", "ẞ", "ß"},
        {"dz with caron, title case", "ǅ", "ǆ"},
        {"dz with caron, capital", "Ǆ", "ǅ"},
        {"Kelvin sign", "\u212A", "k"},
        {"angstrom sign", "\u212B", "å"},
        {"long s", "ſ", "s"},
        {"Deseret, four UTF-8 bytes", "\U00010400", "\U00010428"},
        {"mixed scripts", "Émile(ÄÖÜ)(ΣΑΣ)(МОСКВА)", "émile(äöü)(σας)(москва)"},
    };
    for (const SamePair& p : pairs) {
        EXPECT_EQ(compareCaseFolded(p.a, p.b), 0) << p.what;
        EXPECT_EQ(compareCaseFolded(p.b, p.a), 0) << p.what;
    }
}

struct OrderCase {
    const char* what;
    std::string first, second;  // `first` strictly before `second`
};

TEST(ListOrder, OrdersThatHold) {
    const std::vector<OrderCase> orders = {
        // Scores are text: digit by digit.
        {"10( before 100(", "10(d)", "100(C)"},
        {"100( before 20(", "100(C)", "20(b)"},
        {"20( before 9(", "20(b)", "9(a)"},
        {"a prefix first", "abc", "abcd"},
        {"case ignored, then the next letter", "abc", "ABD"},
        // ASCII compares by the lower-case form: '_' lies between 'Z' and 'a'.
        {"underscore before a", "_", "a"},
        {"underscore before A", "_", "A"},
        {"underscore before Z", "_x", "Zebra"},
        {"bracket before a", "[", "A"},
        {"Z before any letter above ASCII", "Zebra", "ärger"},
        {"a diaeresis before o diaeresis, case ignored", "ärger", "Öl"},
        {"a diaeresis before o diaeresis, capitals", "ÄRGER", "öl"},
        {"next character decides after a folded one", "ÄRA", "ärger"},
        {"E acute folds to e acute, after f", "f", "É"},
        {"Greek before Cyrillic", "ΣΟΦΟΣ", "жаба"},
        {"Cyrillic, case ignored", "жаба", "ЖУК"},
        {"below U+FFFF before above", "\uFFFD", "\U0001F600"},
        // Bytes that are not characters sort after every character, by value.
        {"stray continuation byte after an emoji", "\U0001F600", "\x80"},
        {"stray bytes by value", "\x80", "\xFF"},
        {"a well-formed e acute before its lone lead byte", "é", "\xC3"},
        {"a lone lead byte before a stray higher byte",
         "\xC3"
         "A",
         "\xFF"},
        {"overlong slash after every character", "\U0010FFFF", "\xC0\xAF"},
        {"encoded surrogate after U+FFFF", "\uFFFF", "\xED\xA0\x80"},
        {"past U+10FFFF after U+10FFFF", "\U0010FFFF", "\xF4\x90\x80\x80"},
        {"truncated character at the end", "\xE2\x82", "\xE2\x83"},
    };
    for (const OrderCase& c : orders) {
        EXPECT_LT(compareCaseFolded(c.first, c.second), 0) << c.what;
        EXPECT_GT(compareCaseFolded(c.second, c.first), 0) << c.what;
    }
}

// The board's order as the score list gives it: the list box, not only the
// comparison.
TEST(ListOrder, SortedListBoxOrdersEveryScript) {
    const std::vector<std::string> expected = {
        "10(d)",
        "100(C)",
        "20(b)",
        "9(a)",
        "_x",
        "abc",
        "ABD",
        "Zebra",
        "ÄRA",
        "ärger",
        "Öl",
        "ΣΟΦΟΣ",
        "жаба",
        "ЖУК",
        "\U0001F600",
        "\xC3"
        "A",
        "\xFF",
    };
    EXPECT_EQ(sortedList(expected), expected);
}

// `sorted` is the groups one after the other, each group's entries in any
// order among themselves (entries that differ only in case have no set
// order).
void expectGroupsInOrder(const std::vector<std::string>& sorted, const std::vector<std::vector<std::string>>& groups,
                         const std::string& where) {
    std::size_t k = 0;
    for (std::vector<std::string> group : groups) {
        ASSERT_LE(k + group.size(), sorted.size()) << where;
        std::vector<std::string> got(sorted.begin() + static_cast<std::ptrdiff_t>(k),
                                     sorted.begin() + static_cast<std::ptrdiff_t>(k + group.size()));
        std::sort(group.begin(), group.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, group) << where << ": entries " << k << " on";
        k += group.size();
    }
    EXPECT_EQ(k, sorted.size()) << where;
}

std::vector<std::string> flatten(const std::vector<std::vector<std::string>>& groups) {
    std::vector<std::string> all;
    for (const auto& group : groups) all.insert(all.end(), group.begin(), group.end());
    return all;
}

// Entries that differ only in case end up side by side, whichever form
// comes first.
TEST(ListOrder, CaseFormsOfOneEntryLieTogether) {
    const std::vector<std::vector<std::string>> groups = {
        {"F", "f"},
        {"ÉCOLE", "école", "École"},
        {"σοφος", "ΣΟΦΟΣ", "σοφοσ"},
        {"ΤΑΥ"},
    };
    expectGroupsInOrder(sortedList(flatten(groups)), groups, "sorted list");
}

// The process's locale (the toolkit sets the player's) changes nothing:
// no Turkic dotted and dotless i rules, no single-byte code page folding
// the bytes of a character.
class LocaleRestored : public ::testing::Test {
protected:
    void SetUp() override { saved_ = std::setlocale(LC_ALL, nullptr); }
    void TearDown() override { std::setlocale(LC_ALL, saved_.c_str()); }
    std::string saved_;
};

TEST_F(LocaleRestored, SameOrderInEveryLocale) {
    // U+0130 (capital I with dot) has no simple folding and so sorts as
    // itself, just before U+0131 (dotless i); Latin-1 bytes are stray bytes.
    const std::vector<std::vector<std::string>> groups = {
        {"_"}, {"i", "I"}, {"ÄRA"}, {"ärger"}, {"İ"}, {"ı"}, {"\xC9"}, {"\xE9"},
    };
    int tried = 0;
    for (const char* locale : {"C", "C.UTF-8", "tr_TR.UTF-8", "de_DE.ISO-8859-1", "en_US.ISO-8859-1"}) {
        if (!std::setlocale(LC_ALL, locale)) continue;  // not installed here
        ++tried;
        expectGroupsInOrder(sortedList(flatten(groups)), groups, locale);
    }
    EXPECT_GE(tried, 1);
}

// Every pair of ASCII texts keeps today's order: byte by byte, A-Z read as
// a-z, a shorter prefix first.
TEST(ListOrder, AsciiOrderIsByteOrderOfTheLowerCaseForm) {
    const auto lower = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return s;
    };
    std::vector<std::string> texts;
    for (int c = 1; c < 128; ++c) texts.emplace_back(1, static_cast<char>(c));
    for (const char* s : {"", "a", "A", "ab", "aB", "Ab", "a_", "A_", "a[", "a{", "Zz", "zZ", "10(", "1(", "1"})
        texts.emplace_back(s);
    for (const std::string& a : texts) {
        for (const std::string& b : texts) {
            const int want = lower(a).compare(lower(b));
            const int got = compareCaseFolded(a, b);
            ASSERT_EQ(got < 0, want < 0) << '"' << a << "\" vs \"" << b << '"';
            ASSERT_EQ(got == 0, want == 0) << '"' << a << "\" vs \"" << b << '"';
        }
    }
}

// The folding table: every folded form folds to itself, so folding once is
// enough; and only capitals A-Z change below U+0080.
TEST(ListOrder, FoldedFormsAreFixedPoints) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const char32_t folded = simpleCaseFold(cp);
        ASSERT_EQ(simpleCaseFold(folded), folded) << "U+" << std::hex << static_cast<unsigned>(cp);
        ASSERT_LE(folded, 0x10FFFFu);
        if (cp < 0x80) {
            ASSERT_EQ(folded, cp >= 'A' && cp <= 'Z' ? cp + 32 : cp) << static_cast<unsigned>(cp);
        }
    }
    EXPECT_EQ(simpleCaseFold(U'ẞ'), U'ß');
    EXPECT_EQ(simpleCaseFold(U'ς'), U'σ');
    EXPECT_EQ(simpleCaseFold(U'Σ'), U'σ');
    EXPECT_EQ(simpleCaseFold(U'ǅ'), U'ǆ');
    EXPECT_EQ(simpleCaseFold(U'İ'), U'İ') << "no simple folding (Turkic rules excluded)";
}

}  // namespace
}  // namespace korvala
