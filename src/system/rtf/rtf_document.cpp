// The rich-text boxes' document format: writer and reader.
#include "system/rtf/rtf_document.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "system/rtf/utf8.h"

namespace korvala::rtf {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Deepest group nesting a document may have. Real documents stay far below;
// a deeper one is taken as malformed rather than read with unbounded state.
constexpr std::size_t kMaxGroupDepth = 512;

// Code page 1252, bytes 0x80..0x9F. The five bytes the code page leaves
// undefined hold 0 here; they read as the C1 control of the same value.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char32_t decodeUtf8(std::string_view s, std::size_t& i) { return nextCodePoint(s, i).value_or(kReplacement); }

// The code page 1252 byte for a character above ASCII, or -1 when the code
// page does not have it.
int cp1252ByteFor(char32_t cp) {
    if (cp >= 0xA0 && cp <= 0xFF) return static_cast<int>(cp);
    for (int k = 0; k < 32; ++k) {
        if (kCp1252High[k] != 0 && kCp1252High[k] == cp) return 0x80 + k;
    }
    return -1;
}

void appendHexByte(std::string& out, unsigned byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\'";
    out += kHex[(byte >> 4) & 0xF];
    out += kHex[byte & 0xF];
}

void appendUnicodeUnit(std::string& out, char32_t unit) {
    const long value = unit > 32767 ? static_cast<long>(unit) - 65536 : static_cast<long>(unit);
    out += "\\u";
    out += std::to_string(value);
    out += '?';  // the one fallback character that \uc1 announces
}

// ---------------------------------------------------------------------------
// Reading

enum class Destination : std::uint8_t { Text, FontTable, Skipped };

// What a group inherits from its parent and gets back when it closes.
struct GroupState {
    int fallbackLength = 1;  // \ucN
    int font = -1;           // \fN in the text, -1 for the default font
    Destination destination = Destination::Text;
};

// Groups whose content is not part of the plain text.
bool isSkippedDestination(std::string_view word) {
    static constexpr std::string_view kSkipped[] = {
        "annotation",
        "atnauthor",
        "atnid",
        "author",
        "bkmkend",
        "bkmkstart",
        "buptim",
        "category",
        "colortbl",
        "comment",
        "company",
        "creatim",
        "datastore",
        "doccomm",
        "filetbl",
        "fldinst",
        "footer",
        "footerf",
        "footerl",
        "footerr",
        "footnote",
        "generator",
        "header",
        "headerf",
        "headerl",
        "headerr",
        "hlinkbase",
        "info",
        "keywords",
        "latentstyles",
        "listoverridetable",
        "listtable",
        "manager",
        "nonshppict",
        "object",
        "objclass",
        "objdata",
        "operator",
        "pict",
        "pntext",
        "pntxta",
        "pntxtb",
        "printim",
        "revtbl",
        "revtim",
        "rsidtbl",
        "rxe",
        "shp",
        "shpinst",
        "stylesheet",
        "subject",
        "tc",
        "template",
        "themedata",
        "title",
        "txe",
        "userprops",
        "xe",
        "xmlnstbl",
    };
    for (std::string_view skipped : kSkipped) {
        if (word == skipped) return true;
    }
    return false;
}

// Control words that stand for one character of the text.
char32_t characterWord(std::string_view word) {
    struct Entry {
        std::string_view word;
        char32_t cp;
    };
    static constexpr Entry kWords[] = {
        {"tab", U'\t'},        {"cell", U'\t'},     {"nestcell", U'\t'}, {"line", U'\n'},     {"emdash", 0x2014},
        {"endash", 0x2013},    {"bullet", 0x2022},  {"lquote", 0x2018},  {"rquote", 0x2019},  {"ldblquote", 0x201C},
        {"rdblquote", 0x201D}, {"emspace", 0x2003}, {"enspace", 0x2002}, {"qmspace", 0x2005}, {"zwj", 0x200D},
        {"zwnj", 0x200C},      {"ltrmark", 0x200E}, {"rtlmark", 0x200F},
    };
    for (const Entry& e : kWords) {
        if (word == e.word) return e.cp;
    }
    return 0;
}

// The code page that a font's \fcharset stands for; 0 for "the document's".
int codePageOfCharset(int charset) {
    switch (charset) {
        case 0:
            return 1252;
        case 77:
            return 10000;
        case 128:
            return 932;
        case 129:
            return 949;
        case 130:
            return 1361;
        case 134:
            return 936;
        case 136:
            return 950;
        case 161:
            return 1253;
        case 162:
            return 1254;
        case 163:
            return 1258;
        case 177:
            return 1255;
        case 178:
            return 1256;
        case 186:
            return 1257;
        case 204:
            return 1251;
        case 222:
            return 874;
        case 238:
            return 1250;
        case 255:
            return 437;
        default:
            return 0;  // default, symbol and unknown charsets
    }
}

char32_t decodeCodePageByte(int codePage, unsigned char byte) {
    if (byte < 0x80) return byte;
    if (codePage == 1252) {
        if (byte >= 0xA0) return byte;
        const char16_t cp = kCp1252High[byte - 0x80];
        return cp != 0 ? cp : byte;
    }
    if (codePage == 28591) return byte;  // ISO 8859-1
    return kReplacement;
}

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}

    std::optional<std::string> run() {
        if (!in_.starts_with("{\\rtf")) return std::nullopt;
        while (pos_ < in_.size()) {
            const char c = in_[pos_];
            if (c == '{') {
                if (stack_.size() >= kMaxGroupDepth) return std::nullopt;
                stack_.push_back(state_);
                fallbackLeft_ = 0;
                groupStart_ = true;
                ++pos_;
            } else if (c == '}') {
                if (stack_.empty()) return std::nullopt;
                state_ = stack_.back();
                stack_.pop_back();
                fallbackLeft_ = 0;
                groupStart_ = false;
                ++pos_;
                if (stack_.empty()) return finish();
            } else if (c == '\\') {
                if (!controlSequence()) return std::nullopt;
            } else {
                ++pos_;
                if (c == '\r' || c == '\n') continue;  // line ends in the source mean nothing
                groupStart_ = false;
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t') continue;
                textByte(static_cast<unsigned char>(c), false);
            }
        }
        return std::nullopt;  // the outermost group never closed: truncated
    }

private:
    // After the outermost group only blanks, line ends and NULs may follow.
    std::optional<std::string> finish() {
        for (; pos_ < in_.size(); ++pos_) {
            const char c = in_[pos_];
            if (c != ' ' && c != '\r' && c != '\n' && c != '\t' && c != '\0') return std::nullopt;
        }
        resolveHighSurrogate();
        // The last paragraph mark closes the document's last paragraph; it is
        // not a line break of the text.
        if (pendingParagraphs_ > 0) out_.append(pendingParagraphs_ - 1, '\n');
        return std::move(out_);
    }

    bool controlSequence() {
        ++pos_;  // the backslash
        if (pos_ >= in_.size()) return false;
        const char c = in_[pos_];
        if (isLetter(c)) return controlWord();
        ++pos_;
        const bool atGroupStart = groupStart_;
        groupStart_ = false;
        switch (c) {
            case '\'': {
                if (pos_ + 2 > in_.size()) return false;
                const int high = hexValue(in_[pos_]);
                const int low = hexValue(in_[pos_ + 1]);
                if (high < 0 || low < 0) return false;
                pos_ += 2;
                textByte(static_cast<unsigned char>(high * 16 + low), true);
                return true;
            }
            case '*':
                // "{\*\word ...}": a destination that readers may ignore.
                if (atGroupStart) state_.destination = Destination::Skipped;
                return true;
            case '\\':
            case '{':
            case '}':
                if (!consumeFallback()) character(static_cast<unsigned char>(c));
                return true;
            case '~':  // non-breaking space
                if (!consumeFallback()) character(0x00A0);
                return true;
            case '_':  // non-breaking hyphen
                if (!consumeFallback()) character(0x2011);
                return true;
            case '\r':
            case '\n':
                // A backslash before a line end is a paragraph mark.
                if (consumeFallback()) return true;
                if (state_.destination == Destination::Text) paragraph();
                return true;
            default:
                // Optional hyphen, index marks and unknown symbols show nothing.
                consumeFallback();
                return true;
        }
    }

    bool controlWord() {
        const std::size_t start = pos_;
        while (pos_ < in_.size() && isLetter(in_[pos_])) ++pos_;
        const std::string_view word = in_.substr(start, pos_ - start);
        bool hasParameter = false;
        long long parameter = 0;
        bool negative = false;
        if (pos_ + 1 < in_.size() && in_[pos_] == '-' && isDigit(in_[pos_ + 1])) {
            negative = true;
            ++pos_;
        }
        int digits = 0;
        while (pos_ < in_.size() && isDigit(in_[pos_])) {
            if (++digits > 10) return false;
            parameter = parameter * 10 + (in_[pos_] - '0');
            ++pos_;
        }
        if (digits > 0) {
            hasParameter = true;
            if (negative) parameter = -parameter;
            if (parameter < INT32_MIN || parameter > INT32_MAX) return false;
        }
        if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;  // the delimiting blank
        groupStart_ = false;
        return word_(word, hasParameter, static_cast<int>(parameter));
    }

    bool word_(std::string_view word, bool hasParameter, int parameter) {
        if (word == "bin") {
            // Raw binary data follows; it is never text.
            const long long length = hasParameter ? parameter : 0;
            if (length < 0 || static_cast<unsigned long long>(length) > in_.size() - pos_) return false;
            pos_ += static_cast<std::size_t>(length);
            consumeFallback();
            return true;
        }
        if (consumeFallback()) return true;
        if (state_.destination == Destination::Skipped) return true;
        if (isSkippedDestination(word)) {
            state_.destination = Destination::Skipped;
            return true;
        }
        if (word == "fonttbl") {
            state_.destination = Destination::FontTable;
            return true;
        }
        if (state_.destination == Destination::FontTable) {
            if (word == "f" && hasParameter) definingFont_ = parameter;
            if (word == "fcharset" && hasParameter && definingFont_ >= 0) fontCharsets_[definingFont_] = parameter;
            return true;
        }
        if (word == "u") {
            if (!hasParameter) return true;
            if (parameter < -32768 || parameter > 65535) return false;
            utf16Unit(static_cast<char32_t>(parameter < 0 ? parameter + 65536 : parameter));
            fallbackLeft_ = state_.fallbackLength;
            return true;
        }
        if (word == "uc") {
            if (hasParameter) state_.fallbackLength = parameter < 0 ? 0 : parameter;
            return true;
        }
        if (word == "par" || word == "sect" || word == "row") {
            paragraph();
            return true;
        }
        if (const char32_t cp = characterWord(word); cp != 0) {
            character(cp);
            return true;
        }
        if (word == "f") {
            if (hasParameter) state_.font = parameter;
        } else if (word == "deff") {
            if (hasParameter) defaultFont_ = parameter;
        } else if (word == "ansicpg") {
            if (hasParameter) documentCodePage_ = parameter;
        } else if (word == "ansi") {
            documentCodePage_ = 1252;
        } else if (word == "mac") {
            documentCodePage_ = 10000;
        } else if (word == "pc") {
            documentCodePage_ = 437;
        } else if (word == "pca") {
            documentCodePage_ = 850;
        }
        return true;  // formatting and unknown words show nothing
    }

    // Counts one character of a \uN fallback; true when it was one.
    bool consumeFallback() {
        if (fallbackLeft_ == 0) return false;
        --fallbackLeft_;
        return true;
    }

    void textByte(unsigned char byte, bool escaped) {
        if (consumeFallback()) return;
        if (state_.destination != Destination::Text) return;
        if (byte < 0x80 && !escaped) {
            character(byte);
            return;
        }
        character(decodeCodePageByte(currentCodePage(), byte));
    }

    int currentCodePage() const {
        const int font = state_.font >= 0 ? state_.font : defaultFont_;
        if (const auto it = fontCharsets_.find(font); it != fontCharsets_.end()) {
            if (const int codePage = codePageOfCharset(it->second); codePage != 0) return codePage;
        }
        return documentCodePage_;
    }

    void utf16Unit(char32_t unit) {
        if (state_.destination != Destination::Text) return;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            resolveHighSurrogate();
            highSurrogate_ = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (highSurrogate_ != 0) {
                const char32_t cp = 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (unit - 0xDC00);
                highSurrogate_ = 0;
                character(cp);
            } else {
                character(kReplacement);
            }
        } else {
            character(unit);
        }
    }

    // A high surrogate that no low one followed stands for nothing readable.
    void resolveHighSurrogate() {
        if (highSurrogate_ == 0) return;
        highSurrogate_ = 0;
        flushParagraphs();
        appendUtf8(out_, kReplacement);
    }

    void flushParagraphs() {
        out_.append(pendingParagraphs_, '\n');
        pendingParagraphs_ = 0;
    }

    void paragraph() {
        resolveHighSurrogate();
        ++pendingParagraphs_;
    }

    void character(char32_t cp) {
        if (state_.destination != Destination::Text) return;
        resolveHighSurrogate();
        flushParagraphs();
        appendUtf8(out_, cp);
    }

    std::string_view in_;
    std::size_t pos_ = 0;
    std::vector<GroupState> stack_;
    GroupState state_;
    std::string out_;
    bool groupStart_ = false;
    int fallbackLeft_ = 0;
    std::size_t pendingParagraphs_ = 0;
    char32_t highSurrogate_ = 0;
    int documentCodePage_ = 1252;
    int defaultFont_ = -1;
    int definingFont_ = -1;
    std::unordered_map<int, int> fontCharsets_;
};

}  // namespace

std::string writeDocument(std::string_view utf8Text) {
    std::string out;
    out.reserve(utf8Text.size() * 2 + 128);
    out += "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 MS Sans Serif;}}\r\n";
    out += "\\viewkind4\\uc1\\pard\\lang1033\\f0\\fs17 ";
    std::size_t i = 0;
    while (i < utf8Text.size()) {
        const char32_t cp = decodeUtf8(utf8Text, i);
        if (cp == U'\\' || cp == U'{' || cp == U'}') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == U'\n') {
            out += "\\par\r\n";
        } else if (cp == U'\t') {
            out += "\\tab ";
        } else if (cp < 0x20 || cp == 0x7F) {
            appendHexByte(out, static_cast<unsigned>(cp));
        } else if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (const int byte = cp1252ByteFor(cp); byte >= 0) {
            appendHexByte(out, static_cast<unsigned>(byte));
        } else if (cp > 0xFFFF) {
            appendUnicodeUnit(out, 0xD800 + ((cp - 0x10000) >> 10));
            appendUnicodeUnit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            appendUnicodeUnit(out, cp);
        }
    }
    out += "\r\n\\par }\r\n";
    return out;
}

std::optional<std::string> readDocument(std::string_view bytes) { return Reader(bytes).run(); }

}  // namespace korvala::rtf
