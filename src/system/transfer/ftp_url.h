#pragma once
// The FTP side of the channel's addresses and names, read without libcurl:
// where an ftp:// address points (its server taken apart once), the URL of a
// path there, and which names the server can only take as themselves.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/net/server_address.h"

namespace korvala {

struct FtpLocation {
    ServerAddress server;
    std::string userInfo;  // "user" of ftp://user@host/, as written; empty when none
    std::string folder;    // the address's own path as written, ending in '/'
};

// The location of an ftp:// address (scheme in any case); its query and
// fragment are left off. nullopt, with `why` set, for another scheme or an
// address urlServer() refuses.
std::optional<FtpLocation> ftpLocation(std::string_view url, std::string& why);

// "ftp://[user@]host:port/<folder><path>"; `path` is relative to the
// location's folder and already escaped.
std::string ftpUrl(const FtpLocation& at, std::string_view path);

// Whether `s` holds a control character (C0 or DEL).
bool hasControl(std::string_view s);

// A single file or folder name: not empty, not "." or "..", no '/', '\\'
// or control character.
bool isPlainName(std::string_view s);

// "Korvala/" -> {"Korvala"}, "a/b" -> {"a", "b"}; false when a level is not
// a plain name or there is none.
bool splitFolder(std::string_view folder, std::vector<std::string>& levels);

}  // namespace korvala
