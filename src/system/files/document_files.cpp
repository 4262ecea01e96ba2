// The rich-text boxes' files on disk.
#include "system/files/document_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>

#include "system/files/safe_name.h"
#include "system/log/log.h"
#include "system/rtf/rtf_document.h"

namespace korvala {
namespace {

namespace fs = std::filesystem;

// Temporary files are named ".korvala-save-" + 16 hex digits + "%". No name
// safeFileName gives ends in '%' after other characters, so a document is
// never taken for a temporary file.
constexpr std::string_view kTemporaryPrefix = ".korvala-save-";
constexpr std::size_t kTemporaryHashDigits = 16;
constexpr char kTemporaryEnd = '%';

// How long a save waits for another save of the same file to finish.
constexpr auto kTurnWait = std::chrono::seconds(5);

// A fixed name per target file: FNV-1a of its name. Two targets sharing a
// temporary name would only take turns.
std::string temporaryNameFor(const fs::path& target) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    const std::string name = target.filename().string();
    for (const unsigned char byte : name) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string temporary(kTemporaryPrefix);
    for (int shift = 60; shift >= 0; shift -= 4) temporary += kHex[(hash >> shift) & 0xF];
    temporary += kTemporaryEnd;
    return temporary;
}

bool isTemporaryName(std::string_view name) {
    if (name.size() != kTemporaryPrefix.size() + kTemporaryHashDigits + 1) return false;
    if (!name.starts_with(kTemporaryPrefix) || name.back() != kTemporaryEnd) return false;
    for (const char c : name.substr(kTemporaryPrefix.size(), kTemporaryHashDigits)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// The profile's documents, named in the log as they are; every other
// document is a score file, whose name holds the player's name and e-mail
// address and is never logged.
constexpr std::string_view kProfileFiles[] = {"konfignama.tamzosystem", "konfigemail.tamzosystem",
                                              "konfignegara.tamzosystem"};

// What the log calls the document at the game path `path`.
std::string documentKind(std::string_view path) {
    if (path.size() >= 3) path.remove_prefix(3);  // "C:/"
    for (std::string_view profile : kProfileFiles)
        if (path == profile) return "the profile file " + std::string(profile);
    return "a score file";
}

const char* errnoText(int error) {
    if (error == EWOULDBLOCK) return "another save of the same file did not end in time";
    return std::strerror(error);
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Takes the exclusive lock on `fd`, waiting at most kTurnWait for another
// holder to let go. flock locks belong to the open file, so two saves in one
// process exclude each other as two processes do.
bool lockExclusive(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kTurnWait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Opens and locks the temporary file at `temporary` for writing. On return
// the descriptor holds the lock and is the regular file, with no other link,
// that the name stands for; -1 on failure. The file is a new one, created
// 0666 less the umask, so a new document gets the permissions the player's
// umask gives: a killed save's leftover is removed rather than written over
// (only a folder that refuses removals has it written over, and there the
// rename fails anyway).
int takeTemporary(const std::string& temporary) {
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // O_EXCL never follows a link at the name either.
        int fd = ::open(temporary.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
        const bool created = fd >= 0;
        if (!created) {
            if (errno == EINTR) continue;
            if (errno != EEXIST) return -1;
            // Another save's file: a running save's (wait for its turn) or
            // a killed one's.
            fd = ::open(temporary.c_str(), kFlags);
            if (fd < 0) {
                if (errno == EINTR || errno == ENOENT) continue;  // gone meanwhile: create it anew
                // Something planted at the name that is not ours to write
                // through: a symbolic link is removed, anything else fails.
                if (errno == ELOOP && ::unlink(temporary.c_str()) == 0) continue;
                return -1;
            }
        }
        if (!lockExclusive(fd)) {
            ::close(fd);
            return -1;
        }
        // Another save may have renamed the file, or a sweep removed it,
        // between the open and the lock: then start over with the name.
        struct stat opened {
        }, named{};
        if (::fstat(fd, &opened) != 0) {
            ::close(fd);
            return -1;
        }
        if (::lstat(temporary.c_str(), &named) == 0 && sameFile(opened, named)) {
            if (S_ISREG(opened.st_mode) && opened.st_nlink == 1) {
                if (created || ::unlink(temporary.c_str()) != 0) {
                    if (::ftruncate(fd, 0) == 0) return fd;
                } else {
                    ::close(fd);  // a leftover, removed: start over with a new file
                    continue;
                }
            }
            // A FIFO, or a hard link to some other file: not written into.
            ::unlink(temporary.c_str());
        }
        ::close(fd);
    }
    return -1;
}

// Writes all of `bytes` to `fd`, riding out short writes and interrupts.
bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
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

DiskDocumentFiles::DiskDocumentFiles(std::filesystem::path dataFolder) : dataFolder_(std::move(dataFolder)) {
    removeSaveLeftovers(dataFolder_);
}

std::optional<std::filesystem::path> DiskDocumentFiles::resolve(const std::string& path) const {
    if (path.size() < 3 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':' || path[2] != '/') {
        return std::nullopt;
    }
    try {
        return dataFolder_ / fs::path(safeFileName(std::string_view(path).substr(3)));
    } catch (...) {
        return std::nullopt;
    }
}

bool DiskDocumentFiles::load(const std::string& path, std::string& text) {
    const auto failed = [&](std::string_view why) noexcept {
        try {
            log::warning(log::Area::Files, "cannot load " + documentKind(path) + " from " + dataFolder_.string() +
                                               ": " + std::string(why));
        } catch (...) {
        }
        return false;
    };
    try {
        const auto file = resolve(path);
        if (!file) return failed("not a path in the data folder");
        // O_NOFOLLOW: a link planted under a document's name must not make
        // the game read a file from outside the data folder.
        const int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0) {
            const int error = errno;
            if (error == ENOENT) {
                // A first start: nothing saved yet.
                log::detail(log::Area::Files, documentKind(path) + " is not in " + dataFolder_.string() + " yet");
                return false;
            }
            return failed(error == ELOOP ? "it is a symbolic link, which is never followed" : errnoText(error));
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            const int error = errno;
            ::close(fd);
            return failed(errnoText(error));
        }
        if (!S_ISREG(info.st_mode) || static_cast<std::uintmax_t>(info.st_size) > kMaxDocumentBytes) {
            ::close(fd);
            return failed(!S_ISREG(info.st_mode) ? "not a regular file" : "larger than any document the game writes");
        }
        // Read at most one byte past the size seen, so a file that grows while
        // it is read is refused rather than read without bound.
        std::string bytes;
        const std::size_t size = static_cast<std::size_t>(info.st_size);
        bytes.resize(size + 1);
        std::size_t got = 0;
        int readError = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0) {
                if (errno == EINTR) continue;
                readError = errno;
                break;
            }
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        ::close(fd);
        if (readError != 0) return failed(errnoText(readError));
        if (got > size) return failed("it grew while it was read");
        bytes.resize(got);
        auto plain = rtf::readDocument(bytes);
        if (!plain) return failed("not a rich-text document");
        text = std::move(*plain);
        return true;
    } catch (const std::exception& e) {
        return failed(e.what());
    } catch (...) {
        return failed("unknown failure");
    }
}

bool DiskDocumentFiles::save(const std::string& path, const std::string& text) {
    const auto failed = [&](std::string_view why) noexcept {
        try {
            log::warning(log::Area::Files,
                         "cannot save " + documentKind(path) + " in " + dataFolder_.string() + ": " + std::string(why));
        } catch (...) {
        }
        return false;
    };
    try {
        const auto file = resolve(path);
        if (!file) return failed("not a path in the data folder");
        // A document load would refuse is not written at all: the old file
        // stays, and the box's text is not silently lost on the next load.
        const std::string document = rtf::writeDocument(text);
        if (document.size() > kMaxDocumentBytes) return failed("the document would be larger than any load takes");
        std::error_code error;
        fs::create_directories(dataFolder_, error);
        if (error) return failed("cannot create the data folder: " + error.message());
        if (!fs::is_directory(dataFolder_, error)) return failed("the data folder is not a folder");
        std::string why;
        return replaceFileAtomically(*file, document, {}, &why) || failed(why);
    } catch (const std::exception& e) {
        return failed(e.what());
    } catch (...) {
        return failed("unknown failure");
    }
}

bool replaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                           const std::function<bool()>& beforeReplace, std::string* why) {
    std::string temporary;
    int fd = -1;
    // On failure: the temporary file goes, while its lock still keeps any
    // other save of the same target waiting. The reason is taken first:
    // the cleanup may change errno.
    const auto fail = [&](std::string_view reason) noexcept {
        if (why) {
            try {
                *why = reason;
            } catch (...) {
            }
        }
        if (!temporary.empty()) ::unlink(temporary.c_str());
        if (fd >= 0) ::close(fd);
        return false;
    };
    const auto failErrno = [&] { return fail(errnoText(errno)); };
    try {
        fs::path folder = target.parent_path();
        if (folder.empty()) folder = ".";
        // A short name of our own, so that a long target name cannot make the
        // temporary one too long.
        const std::string name = (folder / temporaryNameFor(target)).string();
        fd = takeTemporary(name);
        if (fd < 0) return failErrno();
        temporary = name;
        // Keep the permissions of a regular file being replaced. Not those of
        // a link's target (lstat, not stat): a link planted in the folder
        // must not hand its target's permissions to the game's file. A new
        // file keeps those it was created with, as the umask gives them.
        struct stat old {};
        if (::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) && ::fchmod(fd, old.st_mode & 0777) != 0)
            return failErrno();
        if (!writeAll(fd, bytes) || ::fsync(fd) != 0) return failErrno();
        if (beforeReplace && !beforeReplace()) return fail("stopped before the file was replaced");
        if (::rename(temporary.c_str(), target.c_str()) != 0) return failErrno();
        // The lock is held until the rename is done, so a save waiting for
        // its turn finds the name free and starts a new temporary file.
        ::close(fd);
        fd = -1;
        syncFolder(folder);
        return true;
    } catch (const std::exception& e) {
        return fail(e.what());
    } catch (...) {
        return fail("unknown failure");
    }
}

void removeSaveLeftovers(const std::filesystem::path& folder) {
    try {
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (!isTemporaryName(name)) continue;
            const std::string path = it->path().string();
            const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
            if (fd < 0) {
                if (errno == ELOOP) ::unlink(path.c_str());  // never a save's file
                continue;
            }
            // A save that is running holds the lock: its file stays. A killed
            // save's lock went with its process.
            struct stat opened {
            }, named{};
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 &&
                ::lstat(path.c_str(), &named) == 0 && sameFile(opened, named)) {
                ::unlink(path.c_str());
            }
            ::close(fd);
        }
    } catch (...) {
    }
}

}  // namespace korvala
