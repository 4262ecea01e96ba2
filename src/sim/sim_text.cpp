#include "sim/sim_text.h"

#include "window/characters.h"

namespace korvala::sim {

std::string escapeValue(std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 32 || u == 127) {
                    out += "\\x";
                    out += kHex[u >> 4];
                    out += kHex[u & 0xF];
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string quote(std::string_view s) {
    constexpr std::size_t kShown = 40;
    std::size_t end = 0;
    for (std::size_t n = 0; n < kShown && end < s.size(); ++n) end = characterEnd(s, end);
    std::string out = "'" + escapeValue(s.substr(0, end)) + "'";
    if (end < s.size()) out += "...";
    return out;
}

std::string unescapeTyped(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) throw LineError("a lone backslash ends the text");
        switch (s[i]) {
            case '\\':
                out += '\\';
                break;
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 's':
                out += ' ';
                break;
            default:
                throw LineError("unknown escape " + quote(std::string("\\") + s[i]));
        }
    }
    return out;
}

}  // namespace korvala::sim
