// The rich-text boxes' document: exact bytes written, documents of other
// writers read, bad documents refused, and every text read back unchanged.
#include "system/rtf/rtf_document.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using korvala::rtf::readDocument;
using korvala::rtf::writeDocument;
using namespace std::string_literals;

const std::string kHeader =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 MS Sans Serif;}}\r\n"
    "\\viewkind4\\uc1\\pard\\lang1033\\f0\\fs17 ";
const std::string kFooter = "\r\n\\par }\r\n";

struct WriteCase {
    const char* name;
    std::string text;
    std::string line2Text;  // what follows "\fs17 " on line 2
};

TEST(RtfWrite, WritesTheThreeLineDocument) {
    const std::vector<WriteCase> cases = {
        {"plain", "email", "email"},
        {"empty", "", ""},
        {"leading blank", " GOOD TIME", " GOOD TIME"},
        {"escapes and characters beyond ASCII", "a\\b{c}\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE4\xB8\xAD",
         "a\\\\b\\{c\\}\\'e9\\'80\\u-10179?\\u-8704?\\u20013?"},
        {"top of code page 1252 and a character it lacks", "\xC3\xBF\xC2\x81", "\\'ff\\u129?"},
        {"line breaks, tab and control characters", "a\nb\tc\rd\x01", "a\\par\r\nb\\tab c\\'0dd\\'01"},
        {"digits after escapes stay text",
         "\t5\xE2\x82\xAC"
         "7",
         "\\tab 5\\'807"},
        // Ill-formed UTF-8: each maximal bad sequence becomes U+FFFD.
        {"stray byte",
         "a\xFF"
         "b",
         "a\\u-3?b"},
        {"truncated sequence", "\xE2\x82", "\\u-3?"},
        {"bad continuation", "\xC3(", "\\u-3?("},
        {"encoded surrogate", "\xED\xA0\x80", "\\u-3?\\u-3?\\u-3?"},
    };
    for (const WriteCase& c : cases) {
        EXPECT_EQ(writeDocument(c.text), kHeader + c.line2Text + kFooter) << c.name;
    }
}

TEST(RtfRead, ReadsAWordProcessorDocument) {
    const std::string document =
        "{\\rtf1\\ansi\\ansicpg1252\\deff0\\nouicompat\\deflang1033"
        "{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}{\\f1\\fnil\\fcharset2 Symbol;}}\r\n"
        "{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green77\\blue187;}\r\n"
        "{\\stylesheet{\\s0\\snext0\\f0\\fs24 Normal;}{\\s1\\sbasedon0\\snext0\\b\\fs32 heading 1;}}\r\n"
        "{\\info{\\title Scores}{\\author Player}{\\creatim\\yr2024\\mo1\\dy2\\hr10\\min5}}\r\n"
        "{\\*\\generator Writer 10.0.19041;}{\\*\\rsidtbl \\rsid123\\rsid456}\\viewkind4\\uc1 \r\n"
        "\\pard\\sa200\\sl276\\slmult1\\cf1\\f0\\fs22\\lang9 Caf\r\n\\'e9 costs 5\\u8364? {\\b today}"
        "{\\pict\\wmetafile8\\picw100\\pich100 0102abcdef{\\*\\blipuid 00ff}}\\par\r\n"
        "{\\uc2 Zw\\u246\\'6f\\'65lf}\\tab Ende\\~\\u8364?x\\line {\\*\\unknown hidden {text}}done\\par\r\n"
        "}\r\n";
    EXPECT_EQ(readDocument(document),
              "Caf\xC3\xA9 costs 5\xE2\x82\xAC today\nZw\xC3\xB6lf\tEnde\xC2\xA0\xE2\x82\xAC"
              "x\ndone");
}

struct ReadCase {
    const char* name;
    std::string document;
    std::string text;
};

TEST(RtfRead, ReadsTheTextOfEachConstruct) {
    const std::vector<ReadCase> cases = {
        {"no closing paragraph mark", "{\\rtf1 a}", "a"},
        {"closing paragraph mark is not text", "{\\rtf1 a\\par}", "a"},
        {"empty paragraph before the closing mark", "{\\rtf1 a\\par\\par }", "a\n"},
        {"paragraph mark inside a group", "{\\rtf1 a{\\par}b\\par}", "a\nb"},
        {"backslash before a line end is a paragraph", "{\\rtf1 a\\\r\nb}", "a\nb"},
        {"pard is not a paragraph mark", "{\\rtf1\\pard a\\pard b}", "ab"},
        {"signed parameters and delimiting blank", "{\\rtf1\\fs-20 x\\b0  y\\li720z}", "x yz"},
        {"lone hyphen is text", "{\\rtf1\\b- x}", "- x"},
        {"control symbols", "{\\rtf1 \\\\\\{\\}\\-\\_\\|}", "\\{}\xE2\x80\x91"},
        {"character words", "{\\rtf1\\emdash\\endash\\bullet\\lquote\\rquote\\ldblquote\\rdblquote}",
         "\xE2\x80\x94\xE2\x80\x93\xE2\x80\xA2\xE2\x80\x98\xE2\x80\x99\xE2\x80\x9C\xE2\x80\x9D"},
        {"no fallback with uc0", "{\\rtf1\\uc0\\u8364 5}",
         "\xE2\x82\xAC"
         "5"},
        {"hex fallback counts as one", "{\\rtf1\\u8364\\'80x}",
         "\xE2\x82\xAC"
         "x"},
        {"fallback ends at a group", "{\\rtf1\\uc3\\u8364?{a}b}",
         "\xE2\x82\xAC"
         "ab"},
        {"uc is scoped to its group", "{\\rtf1{\\uc2\\u233 ee}\\u233 eX}", "\xC3\xA9\xC3\xA9X"},
        {"control word counts as fallback", "{\\rtf1\\u8364\\tab x}",
         "\xE2\x82\xAC"
         "x"},
        {"positive form of a high code unit", "{\\rtf1\\u65533?}", "\xEF\xBF\xBD"},
        {"surrogate pair", "{\\rtf1\\u-10179?\\u-8704?}", "\xF0\x9F\x98\x80"},
        {"lone high surrogate", "{\\rtf1\\u-10179?a}",
         "\xEF\xBF\xBD"
         "a"},
        {"lone low surrogate", "{\\rtf1\\u-8704?a}",
         "\xEF\xBF\xBD"
         "a"},
        {"high surrogate at the end", "{\\rtf1 a\\u-10179?\\par}", "a\xEF\xBF\xBD"},
        {"undefined 1252 byte", "{\\rtf1\\ansi \\'81}", "\xC2\x81"},
        {"upper-case hex", "{\\rtf1\\ansi \\'C9\\'E9}", "\xC3\x89\xC3\xA9"},
        {"raw byte above ASCII in code page 1252", "{\\rtf1\\ansi \x80}", "\xE2\x82\xAC"},
        {"other code page: hex unreadable", "{\\rtf1\\ansi\\ansicpg1251 \\'e6}", "\xEF\xBF\xBD"},
        {"other code page: unicode with fallback", "{\\rtf1\\ansi\\ansicpg1251\\uc1\\u1078\\'e6}", "\xD0\xB6"},
        {"font charset chooses the code page",
         "{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0\\fcharset0 A;}{\\f1\\fcharset204 B;}}\\f1\\'e6{\\f0\\'e6}\\'e6}",
         "\xEF\xBF\xBD\xC3\xA6\xEF\xBF\xBD"},
        {"binary data is skipped", "{\\rtf1 a{\\pict\\bin3 }{}}b}", "ab"},
        {"ignorable destinations", "{\\rtf1 a{\\*\\bkmkstart x}{\\*\\fldinst HYPERLINK}b}", "ab"},
        {"field result is text", "{\\rtf1{\\field{\\*\\fldinst PAGE}{\\fldrslt 7}}}", "7"},
        {"source line ends and tabs", "{\\rtf1 a\r\nb\tc\\tab d}", "ab\tc\td"},
        {"line ends and NULs after the document", "{\\rtf1 a}\r\n\0\0"s, "a"},
        {"deep but sane nesting", "{\\rtf1 " + std::string(400, '{') + "x" + std::string(400, '}') + "}", "x"},
    };
    for (const ReadCase& c : cases) {
        EXPECT_EQ(readDocument(c.document), c.text) << c.name;
    }
}

TEST(RtfRead, RefusesBadDocuments) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"plain text", "email"},
        {"group without rtf", "{\\ansi a}"},
        {"just the opening", "{\\rtf"},
        {"truncated", "{\\rtf1\\ansi abc"},
        {"truncated inner group", "{\\rtf1 {a}"},
        {"truncated after backslash", "{\\rtf1 a\\"},
        {"truncated hex", "{\\rtf1 \\'4"},
        {"bad hex", "{\\rtf1 \\'zz}"},
        {"extra closing brace", "{\\rtf1 a}}"},
        {"text after the document", "{\\rtf1 a}x"},
        {"huge parameter", "{\\rtf1\\fs99999999999 a}"},
        {"parameter beyond 32 bits", "{\\rtf1\\fs-3000000000 a}"},
        {"unicode beyond 16 bits", "{\\rtf1\\u70000 a}"},
        {"binary data past the end", "{\\rtf1 \\bin99 ab}"},
        {"negative binary length", "{\\rtf1 \\bin-1 ab}"},
        {"1000 nested groups", "{\\rtf1 " + std::string(1000, '{') + std::string(1001, '}')},
        {"100000 nested groups", "{\\rtf1 " + std::string(100000, '{') + std::string(100001, '}')},
        {"100000 unclosed groups", "{\\rtf1 " + std::string(100000, '{')},
    };
    for (const auto& [name, document] : cases) {
        EXPECT_EQ(readDocument(document), std::nullopt) << name;
    }
}

// Texts with everything that needs care: blanks at both ends, braces,
// backslashes, digits and hyphens after escapes, code page 1252 letters,
// characters outside it (astral ones too), tabs, CR and LF.
std::string randomText(std::mt19937& random) {
    static const std::vector<std::string> pieces = {
        " ",
        " ",
        "a",
        "Z",
        "0",
        "9",
        "-",
        "?",
        "'",
        ";",
        "*",
        "~",
        "_",
        "\\",
        "{",
        "}",
        "\\par",
        "\\u",
        "\t",
        "\r",
        "\n",
        "\r\n",
        "\x01",
        std::string(1, '\0'),
        "\x7F",
        "\xC3\xA9",
        "\xC3\xBF",
        "\xC2\xA0",
        "\xE2\x82\xAC",
        "\xC5\x93",
        "\xC2\x81",
        "\xC2\x9D",
        "\xD0\xB6",
        "\xE4\xB8\xAD",
        "\xEF\xBF\xBD",
        "\xEF\xBF\xBF",
        "\xF0\x9F\x98\x80",
        "\xF4\x8F\xBF\xBF",
        "\xF0\x90\x80\x80",
    };
    std::uniform_int_distribution<int> length(0, 24);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::string text;
    for (int n = length(random); n > 0; --n) text += pieces[pick(random)];
    return text;
}

TEST(RtfRoundTrip, EveryTextReadsBackUnchanged) {
    std::mt19937 random(20240601);
    for (int i = 0; i < 4000; ++i) {
        const std::string text = randomText(random);
        const std::string document = writeDocument(text);
        ASSERT_EQ(readDocument(document), text) << "document: " << document;
        // The file is plain 7-bit text, whatever the player typed.
        for (const char c : document) ASSERT_LT(static_cast<unsigned char>(c), 0x80) << document;
    }
}

TEST(RtfRoundTrip, InvalidUtf8ReadsBackAsReplacementCharacters) {
    EXPECT_EQ(readDocument(writeDocument("a\xFF"
                                         "b\xE2\x82")),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

}  // namespace
