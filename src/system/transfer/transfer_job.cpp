#include "system/transfer/transfer_job.h"

#include <algorithm>
#include <charconv>
#include <exception>

namespace korvala {

namespace {
constexpr int kDefaultTimeoutSeconds = 60;
constexpr int kMaxTimeoutSeconds = 24 * 3600;
}  // namespace

int timeoutSeconds(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value <= 0) return kDefaultTimeoutSeconds;
    return static_cast<int>(std::min<long>(value, kMaxTimeoutSeconds));
}

TransferJob prepareJob(const ChannelSettings& settings, const TransferRequest& request,
                       const LocalResolver& resolveLocal, const NameMapping& remoteName) {
    TransferJob job;
    job.settings = settings;
    job.kind = request.kind;
    // The log names the server of any address it can read, one refused
    // below included (an http:// one, a password with control characters).
    std::string why;
    if (!hasControl(settings.URL)) {
        job.at = ftpLocation(settings.URL, why);
        if (job.at) {
            job.server = authority(job.at->server);
            job.where = job.server;
        } else if (auto named = urlServer(settings.URL)) {
            job.where = authority(*named);
        }
    }
    if (hasControl(settings.URL) || hasControl(settings.UserName) || hasControl(settings.Password)) {
        job.refused = "control characters in the connection settings";
        return job;
    }
    if (!job.at) {
        job.refused = why;
        return job;
    }
    if (request.kind == TransferRequest::Kind::Listing) {
        if (!splitFolder(request.folder, job.folder)) job.refused = "the remote folder is not valid";
        return job;
    }
    // "Korvala/<name>": the folder up to the first '/', the rest is the
    // score's name, whatever it holds.
    const std::string& remote = request.remotePath;
    const std::size_t slash = remote.find('/');
    if (slash == std::string::npos || slash + 1 >= remote.size() ||
        !splitFolder(std::string_view(remote).substr(0, slash), job.folder)) {
        job.refused = "the remote path is not valid";
        return job;
    }
    try {
        const std::string_view name = std::string_view(remote).substr(slash + 1);
        job.remoteName = remoteName ? remoteName(name) : std::string(name);
        if (!isPlainName(job.remoteName)) {
            job.refused = "unsafe remote name";
            return job;
        }
        std::optional<std::filesystem::path> local;
        if (resolveLocal) local = resolveLocal(request.localPath);
        if (!local) {
            job.refused = "the local file is missing";
            return job;
        }
        job.localFile = std::move(*local);
    } catch (const std::exception& e) {
        job.refused = e.what();
    }
    return job;
}

}  // namespace korvala
