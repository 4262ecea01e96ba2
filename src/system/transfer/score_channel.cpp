#include "system/transfer/score_channel.h"

#include "system/files/safe_name.h"

namespace korvala {

std::unique_ptr<CurlChannel> makeScoreChannel(Scheduler& scheduler, const DiskDocumentFiles& files, Trust trust) {
    return std::make_unique<CurlChannel>(
        [&scheduler](std::function<void()> report) { scheduler.post(0, std::move(report)); },
        [&files](const std::string& path) { return files.resolve(path); },
        [](std::string_view name) { return safeFileName(name); }, std::move(trust), CurlChannel::Limits{});
}

}  // namespace korvala
