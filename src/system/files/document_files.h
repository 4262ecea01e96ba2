#pragma once
// The rich-text boxes' files on disk: the profile files and the score files
// that the game names "C:/<name>", kept in the game's data folder.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "window/limits.h"
#include "window/ports.h"

namespace korvala {

// The rich-text boxes' files on disk. "C:/" is the game's data folder.
class DiskDocumentFiles : public DocumentFiles {
public:
    // The largest document file there is: loading refuses larger files, and
    // a save whose document would be larger fails instead of writing one.
    // Every text a box can hold fits, the longest being the score box's
    // (kMaxScoreStringChars) even when every character is one the document
    // writes at its longest (kMostDocumentBytesPerChar).
    static constexpr std::uintmax_t kMaxDocumentBytes = 2 * 1024 * 1024;
    // The most bytes the document writer spends on one character: one above
    // U+FFFF, written as a surrogate pair of "\\uN?" units ("\\u-10240?\\u-9216?").
    static constexpr std::uintmax_t kMostDocumentBytesPerChar = 17;
    // What the writer puts around the text, with room to spare.
    static constexpr std::uintmax_t kDocumentFrameBytes = 1024;
    static_assert(kDocumentFrameBytes + kMaxScoreStringChars * kMostDocumentBytesPerChar <= kMaxDocumentBytes,
                  "the worst full score box saves a document that loads back");

    // Removes what saves killed before they finished left in the data folder
    // (see removeSaveLeftovers).
    explicit DiskDocumentFiles(std::filesystem::path dataFolder);

    // Reads the document's plain text into `text`; false (and `text`
    // unchanged) when the file is missing, unreadable, too large, not a
    // rich-text document, or a symbolic link (never followed out of the
    // data folder). A failure is logged as a warning with its reason,
    // except a missing file (a first start): a detail.
    bool load(const std::string& path, std::string& text) override;
    // Writes `text` as a rich-text document, creating the data folder when
    // first needed and replacing the file atomically (replaceFileAtomically).
    // False on any failure, and when the document would be larger than
    // kMaxDocumentBytes (then nothing is written); a failure is logged as a
    // warning with its reason. Never throws.
    bool save(const std::string& path, const std::string& text) override;
    // The file a game path stands for: "C:/" (or "c:/") followed by any name
    // is the data folder's file safeFileName(name), always exactly one file
    // name inside the data folder. Score names come from what the player
    // typed; plain ones and the profile names are used as they are. nullopt
    // only for a path that does not start with "C:/".
    std::optional<std::filesystem::path> resolve(const std::string& path) const;

private:
    std::filesystem::path dataFolder_;
};

// Replaces `target` with `bytes` atomically: a temporary file in the same
// folder, written, flushed (fsync), then renamed over the target, so an
// interrupted save leaves the old file or the new one, never a torn one.
// `beforeReplace`, when given, runs between the write and the rename; when it
// throws or returns false the save fails. On any failure the old target is
// untouched and the temporary file is removed, except where the folder
// refuses removals: in an append-only folder the rename is refused too, so
// every save there fails and its temporary file stays (one per target, the
// next attempt reuses it).
//
// A target replaced is a regular file or a symbolic link; the new file keeps
// the permissions of a regular file it replaces, and otherwise (a link, no
// file) gets those the process's umask gives a new file (created 0666, so
// 0600 under umask 077, 0644 under 022): the player decides who else may
// read the e-mail address in a profile. A link is replaced, never followed.
//
// Each target has one temporary file name of its own in the folder,
// ".korvala-save-<16 hex digits>%", held under an exclusive lock (flock)
// while a save writes it. A save killed before its rename leaves that file
// behind; the next save of the same target removes it and writes a new
// one under the same name (so a new file's permissions come from the umask
// of the save that writes it), and removeSaveLeftovers removes it, so at
// most one is ever left per target.
// Saves of the same target, from this process or another, take turns; one
// that waits more than a few seconds for its turn fails. Never throws.
// `why`, when given, gets the reason of a failure (the system's words).
bool replaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                           const std::function<bool()>& beforeReplace = {}, std::string* why = nullptr);

// Removes the temporary files that killed saves left in `folder`. A
// temporary file whose save is still running (here or in another process)
// holds a lock and is left alone; the save goes on unharmed. Names that
// safeFileName gives never look like a temporary file's, so no document is
// ever taken for one. Never throws.
void removeSaveLeftovers(const std::filesystem::path& folder);

}  // namespace korvala
