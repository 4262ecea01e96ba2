#pragma once
// The rich-text boxes' files on disk: the profile files and the score files
// that the game names "C:/<name>", kept in the game's data folder.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "window/ports.h"

namespace korvala {

// The rich-text boxes' files on disk. "C:/" is the game's data folder.
class DiskDocumentFiles : public DocumentFiles {
public:
    // Files larger than this are not documents a box wrote; loading fails.
    static constexpr std::uintmax_t kMaxDocumentBytes = 1024 * 1024;

    explicit DiskDocumentFiles(std::filesystem::path dataFolder);

    // Reads the document's plain text into `text`; false (and `text`
    // unchanged) when the file is missing, unreadable, too large or not a
    // rich-text document.
    bool load(const std::string& path, std::string& text) override;
    // Writes `text` as a rich-text document, creating the data folder when
    // first needed and replacing the file atomically. False on any failure;
    // never throws and never leaves a temporary file behind.
    bool save(const std::string& path, const std::string& text) override;
    // The file a game path stands for, or nullopt when the path is not "C:/"
    // followed by one plain file name. Score names come from what the player
    // typed, so anything that could reach outside the data folder is refused.
    std::optional<std::filesystem::path> resolve(const std::string& path) const;

private:
    std::filesystem::path dataFolder_;
};

// Replaces `target` with `bytes` atomically: a temporary file in the same
// folder, written, flushed (fsync), then renamed over the target, so an
// interrupted save leaves the old file or the new one, never a torn one.
// `beforeReplace`, when given, runs between the write and the rename; when it
// throws or returns false the save fails. On any failure the temporary file is
// removed and the old target is untouched. Never throws.
bool replaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                           const std::function<bool()>& beforeReplace = {});

}  // namespace korvala
