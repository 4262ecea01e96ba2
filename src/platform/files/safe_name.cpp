// The file name a score string is kept under.
#include "platform/files/safe_name.h"

#include <array>
#include <cstdint>

#include "platform/rtf/utf8.h"

namespace korvala {
namespace {

// Bytes of a shortened name's prefix: with "%%" and 64 hex digits the name
// stays at 186 bytes, well below what file systems and FTP servers allow.
constexpr std::size_t kShortenedPrefixBytes = 120;

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";

void appendEscaped(std::string& out, unsigned char byte) {
    out += '%';
    out += kHexUpper[byte >> 4];
    out += kHexUpper[byte & 0xF];
}

// SHA-256 (FIPS 180-4) of `bytes`, as 64 lower-case hex digits.
std::string sha256Hex(std::string_view bytes) {
    static constexpr std::uint32_t kRound[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
    };
    std::array<std::uint32_t, 8> state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };

    // The message, padded: a 1 bit, zeros, and the length in bits (big-endian).
    std::string message(bytes);
    const std::uint64_t bitLength = static_cast<std::uint64_t>(bytes.size()) * 8;
    message += static_cast<char>(0x80);
    while (message.size() % 64 != 56) message += '\0';
    for (int shift = 56; shift >= 0; shift -= 8) message += static_cast<char>((bitLength >> shift) & 0xFF);

    for (std::size_t block = 0; block < message.size(); block += 64) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t) {
            w[t] = 0;
            for (int k = 0; k < 4; ++k) {
                w[t] = (w[t] << 8) | static_cast<unsigned char>(message[block + 4 * t + k]);
            }
        }
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        auto [a, b, c, d, e, f, g, h] = state;
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const std::uint32_t choice = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + s1 + choice + kRound[t] + w[t];
            const std::uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const std::uint32_t next[8] = {a, b, c, d, e, f, g, h};
        for (int k = 0; k < 8; ++k) state[k] += next[k];
    }

    std::string hex;
    hex.reserve(64);
    for (const std::uint32_t word : state) {
        for (int shift = 28; shift >= 0; shift -= 4) hex += kHexLower[(word >> shift) & 0xF];
    }
    return hex;
}

// The mapped name `escaped` cut to at most `limit` bytes, between two
// characters and never inside a "%HH".
std::string_view prefixOf(std::string_view escaped, std::size_t limit) {
    if (escaped.size() <= limit) return escaped;
    std::size_t cut = limit;
    // Not inside a UTF-8 sequence: the mapped name is valid UTF-8, so
    // stepping back over continuation bytes lands on a character's start.
    while (cut > 0 && (static_cast<unsigned char>(escaped[cut]) & 0xC0) == 0x80) --cut;
    // Not inside an escape: '%' only ever starts one of three bytes.
    if (cut >= 1 && escaped[cut - 1] == '%') cut -= 1;
    else if (cut >= 2 && escaped[cut - 2] == '%') cut -= 2;
    return escaped.substr(0, cut);
}

}  // namespace

std::string safeFileName(std::string_view name) {
    if (name.empty()) return "%";
    if (name == ".") return "%2E";
    if (name == "..") return "%2E%2E";

    std::string escaped;
    escaped.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t start = i;
        const std::optional<char32_t> cp = nextCodePoint(name, i);
        const bool harmful = !cp || *cp < 0x20 || (*cp >= 0x7F && *cp <= 0x9F) || *cp == U'/' ||
                             *cp == U'\\' || *cp == U'%';
        if (harmful) {
            for (std::size_t k = start; k < i; ++k) appendEscaped(escaped, static_cast<unsigned char>(name[k]));
        } else {
            escaped.append(name.substr(start, i - start));
        }
    }
    if (escaped.size() <= kMaxPlainFileNameBytes) return escaped;

    std::string shortened(prefixOf(escaped, kShortenedPrefixBytes));
    shortened += "%%";
    shortened += sha256Hex(name);
    return shortened;
}

}  // namespace korvala
