#pragma once
// One request as a channel's worker runs it: read on the window's thread
// from the game's settings and request, with everything the worker needs,
// so the worker looks nothing up and the address is taken apart once.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/transfer/ftp_url.h"
#include "window/ports.h"

namespace korvala {

// Maps the game's path of a local file ("C:/<name>") to the file on disk.
using LocalResolver = std::function<std::optional<std::filesystem::path>(const std::string& gamePath)>;
// Maps a score's name to a name safe to send to the server.
using NameMapping = std::function<std::string(std::string_view name)>;

struct TransferJob {
    ChannelSettings settings;
    TransferRequest::Kind kind = TransferRequest::Kind::Listing;
    std::uint64_t listing = 0;        // Listing: its number on the channel, newest highest
    std::optional<FtpLocation> at;    // where it goes (none: refused)
    std::string server;               // "host:port" of an ftp:// address, the upload gate's key (empty: none)
    std::string where;                // the server for the log, "host:port", "[v6]:port" (empty: none to name)
    std::vector<std::string> folder;  // the remote folder, one name per level
    std::string remoteName;           // Upload: the mapped name
    std::filesystem::path localFile;  // Upload
    std::string refused;              // set: fails without connecting
};

// How a request ended.
struct TransferOutcome {
    bool ok = false;
    std::string response;
    std::string reason;
    bool withdrawn = false;  // a newer listing took its place: no report
    bool plain = false;      // spoken in plain FTP after a refused AUTH TLS
};

// The job for `request`; its `refused` says why it cannot run. The resolver
// and the mapping are called here (Upload only).
TransferJob prepareJob(const ChannelSettings& settings, const TransferRequest& request,
                       const LocalResolver& resolveLocal, const NameMapping& remoteName);

// RequestTimeout in seconds: a positive whole number (blanks around it
// allowed), capped at a day; anything else counts as 60.
int timeoutSeconds(std::string_view text);

}  // namespace korvala
