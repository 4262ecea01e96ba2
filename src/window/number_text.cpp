#include "window/number_text.h"

#include <limits>

namespace korvala {

long long numberOf(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    constexpr long long kMax = std::numeric_limits<long long>::max() / 10 - 9;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        // Another digit might not fit: the digits from here on are dropped,
        // so a number too long to hold keeps only its leading digits.
        if (value > kMax) break;
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

std::string numberText(long long value) { return std::to_string(value); }

}  // namespace korvala
