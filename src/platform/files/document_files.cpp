// The rich-text boxes' files on disk.
#include "platform/files/document_files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "platform/rtf/rtf_document.h"
#include "platform/rtf/utf8.h"

namespace korvala {
namespace {

namespace fs = std::filesystem;

// True when `name` is valid UTF-8 holding no control character (C0, DEL or
// C1): such a name is text the player could have typed.
bool isPrintableUtf8(std::string_view name) {
    for (std::size_t i = 0; i < name.size();) {
        const std::optional<char32_t> cp = nextCodePoint(name, i);
        if (!cp || *cp < 0x20 || (*cp >= 0x7F && *cp <= 0x9F)) return false;
    }
    return true;
}

// Writes all of `bytes` to `fd`, riding out short writes and interrupts.
bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Flushes a folder's entries so that a rename in it survives a power cut.
// Best effort: some file systems refuse to sync folders.
void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

DiskDocumentFiles::DiskDocumentFiles(std::filesystem::path dataFolder)
    : dataFolder_(std::move(dataFolder)) {}

std::optional<std::filesystem::path> DiskDocumentFiles::resolve(const std::string& path) const {
    if (path.size() < 3 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':' || path[2] != '/') {
        return std::nullopt;
    }
    const std::string_view name = std::string_view(path).substr(3);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return std::nullopt;
    if (!isPrintableUtf8(name)) return std::nullopt;
    try {
        return dataFolder_ / fs::path(std::string(name));
    } catch (...) {
        return std::nullopt;
    }
}

bool DiskDocumentFiles::load(const std::string& path, std::string& text) {
    try {
        const auto file = resolve(path);
        if (!file) return false;
        const int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
            static_cast<std::uintmax_t>(info.st_size) > kMaxDocumentBytes) {
            ::close(fd);
            return false;
        }
        // Read at most one byte past the limit, so a file that grows while it
        // is read is still refused rather than read without bound.
        std::string bytes;
        bytes.resize(static_cast<std::size_t>(kMaxDocumentBytes) + 1);
        std::size_t got = 0;
        bool readFailed = false;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0) {
                if (errno == EINTR) continue;
                readFailed = true;
                break;
            }
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        ::close(fd);
        if (readFailed || got > kMaxDocumentBytes) return false;
        bytes.resize(got);
        auto plain = rtf::readDocument(bytes);
        if (!plain) return false;
        text = std::move(*plain);
        return true;
    } catch (...) {
        return false;
    }
}

bool DiskDocumentFiles::save(const std::string& path, const std::string& text) {
    try {
        const auto file = resolve(path);
        if (!file) return false;
        std::error_code error;
        fs::create_directories(dataFolder_, error);
        if (error || !fs::is_directory(dataFolder_, error)) return false;
        return replaceFileAtomically(*file, rtf::writeDocument(text));
    } catch (...) {
        return false;
    }
}

bool replaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                           const std::function<bool()>& beforeReplace) {
    std::string temporary;
    int fd = -1;
    try {
        fs::path folder = target.parent_path();
        if (folder.empty()) folder = ".";
        // A short name of our own, so that a long target name cannot make the
        // temporary one too long.
        temporary = (folder / ".korvala-save-XXXXXX").string();
        fd = ::mkstemp(temporary.data());
        if (fd < 0) {
            temporary.clear();
            return false;
        }
        // Keep the permissions of the file being replaced; a new file gets
        // the usual read-for-all.
        struct stat old {};
        const mode_t mode = (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
                                ? (old.st_mode & 07777)
                                : 0644;
        bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
        ok = (::close(fd) == 0) && ok;
        fd = -1;
        if (ok && beforeReplace) ok = beforeReplace();
        if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
        if (!ok) {
            ::unlink(temporary.c_str());
            return false;
        }
        syncFolder(folder);
        return true;
    } catch (...) {
        if (fd >= 0) ::close(fd);
        if (!temporary.empty()) ::unlink(temporary.c_str());
        return false;
    }
}

}  // namespace korvala
