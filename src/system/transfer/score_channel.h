#pragma once
// A transfer channel of the score service as the game wires it: its reports
// come back through the window's event queue, and a score's file has one
// name on disk and on the server.
#include <filesystem>
#include <memory>

#include "system/files/document_files.h"
#include "system/transfer/curl_channel.h"

namespace korvala {

// `scheduler` and `files` must outlive the channel.
std::unique_ptr<CurlChannel> makeScoreChannel(Scheduler& scheduler, const DiskDocumentFiles& files, Trust trust);
// Trusting `caFile` (empty: the system's certificates) for every host.
inline std::unique_ptr<CurlChannel> makeScoreChannel(Scheduler& scheduler, const DiskDocumentFiles& files,
                                                     std::filesystem::path caFile) {
    return makeScoreChannel(scheduler, files, Trust{std::move(caFile), {}, false});
}

}  // namespace korvala
