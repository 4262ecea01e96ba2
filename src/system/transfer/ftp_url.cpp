#include "system/transfer/ftp_url.h"

#include <algorithm>

#include "system/text/ascii.h"

namespace korvala {

namespace {
constexpr std::string_view kScheme = "ftp://";
}  // namespace

std::optional<FtpLocation> ftpLocation(std::string_view url, std::string& why) {
    if (!ascii::startsWithIgnoringCase(url, kScheme)) {
        why = "the URL is not an ftp:// URL";
        return std::nullopt;
    }
    auto server = urlServer(url);
    if (!server) {
        why = "the URL is not valid";
        return std::nullopt;
    }
    FtpLocation at;
    at.server = std::move(*server);
    // urlServer() has checked the authority: the user info is all before
    // its last '@'.
    const std::string_view rest = url.substr(kScheme.size());
    const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    const std::string_view authority = rest.substr(0, authorityEnd);
    if (const std::size_t mark = authority.rfind('@'); mark != std::string_view::npos)
        at.userInfo = std::string(authority.substr(0, mark));
    std::string_view folder = rest.substr(authorityEnd);
    folder = folder.substr(0, folder.find_first_of("?#"));
    at.folder = folder.empty() ? "/" : std::string(folder);
    if (at.folder.back() != '/') at.folder += '/';
    return at;
}

std::string ftpUrl(const FtpLocation& at, std::string_view path) {
    std::string url(kScheme);
    if (!at.userInfo.empty()) url += at.userInfo + '@';
    url += authority(at.server);
    url += at.folder;
    url += path;
    return url;
}

bool hasControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

bool isPlainName(std::string_view s) {
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string_view::npos &&
           s.find('\\') == std::string_view::npos && !hasControl(s);
}

bool splitFolder(std::string_view folder, std::vector<std::string>& levels) {
    levels.clear();
    while (!folder.empty()) {
        const std::size_t slash = folder.find('/');
        const std::string_view level = folder.substr(0, slash);
        if (!isPlainName(level)) return false;
        levels.emplace_back(level);
        folder = slash == std::string_view::npos ? std::string_view() : folder.substr(slash + 1);
    }
    return !levels.empty();
}

}  // namespace korvala
