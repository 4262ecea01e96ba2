// The file name a score string is kept under.
#include "system/files/safe_name.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "system/module/module.h"
#include "system/rtf/utf8.h"

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

// libcrypto's one-shot digest and its SHA-256, loaded on first use; null
// when libcrypto cannot be loaded.
struct Crypto {
    decltype(&::EVP_Digest) digest = nullptr;
    decltype(&::EVP_sha256) sha256 = nullptr;
};

const Crypto& crypto() {
    static const Crypto loaded = [] {
        Crypto c;
        Module library = Module::open({KORVALA_CRYPTO_SONAME});
        c.digest = library.symbol<decltype(c.digest)>("EVP_Digest");
        c.sha256 = library.symbol<decltype(c.sha256)>("EVP_sha256");
        library.keep();  // the digest functions are used for the whole run
        return c;
    }();
    return loaded;
}

// SHA-256 of `bytes` (libcrypto's), as 64 lower-case hex digits. Without it
// no name could be made that keeps two long strings apart, so a failure
// (libcrypto missing or out of memory) is thrown rather than papered over.
std::string sha256Hex(std::string_view bytes) {
    const Crypto& c = crypto();
    if (!c.digest || !c.sha256) throw std::runtime_error("safeFileName: cannot load " KORVALA_CRYPTO_SONAME);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (c.digest(bytes.data(), bytes.size(), digest, &length, c.sha256(), nullptr) != 1 || length != 32)
        throw std::runtime_error("safeFileName: libcrypto could not compute a SHA-256");
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int k = 0; k < length; ++k) {
        hex += kHexLower[digest[k] >> 4];
        hex += kHexLower[digest[k] & 0xF];
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
    if (cut >= 1 && escaped[cut - 1] == '%')
        cut -= 1;
    else if (cut >= 2 && escaped[cut - 2] == '%')
        cut -= 2;
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
        const bool harmful =
            !cp || *cp < 0x20 || (*cp >= 0x7F && *cp <= 0x9F) || *cp == U'/' || *cp == U'\\' || *cp == U'%';
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
