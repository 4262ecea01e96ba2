#include "system/transfer/trust.h"

#include <system_error>

namespace korvala {

std::vector<std::filesystem::path> certificatesFor(const Trust& trust, bool loopbackHost) {
    if (!trust.caFile.empty()) return {trust.caFile};
    std::vector<std::filesystem::path> files;
    if (!loopbackHost) return files;
    for (const std::filesystem::path& file : {trust.loopbackCaFile, trust.serviceCaFile}) {
        std::error_code ec;
        if (!file.empty() && std::filesystem::exists(file, ec)) files.push_back(file);
    }
    return files;
}

}  // namespace korvala
