// The rich-text boxes' files in a real data folder on disk.
#include "system/files/document_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "doubles/log_recording.h"
#include "system/files/safe_name.h"
#include "system/rtf/rtf_document.h"
#include "system/rtf/utf8.h"
#include "window/limits.h"

namespace {

namespace fs = std::filesystem;
using korvala::DiskDocumentFiles;
using korvala::replaceFileAtomically;
using namespace std::string_literals;

// Sets the process's umask for one scope and puts the old one back.
class UmaskFor {
public:
    explicit UmaskFor(mode_t mask) : saved_(::umask(mask)) {}
    ~UmaskFor() { ::umask(saved_); }
    UmaskFor(const UmaskFor&) = delete;
    UmaskFor& operator=(const UmaskFor&) = delete;

private:
    mode_t saved_;
};

class DocumentFilesTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvala-files-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        data_ = root_ / "data";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    static std::string readBytes(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void writeBytes(const fs::path& file, const std::string& bytes) {
        std::ofstream(file, std::ios::binary) << bytes;
    }
    static std::vector<std::string> entries(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The temporary files that saves left in `folder`.
    static std::vector<std::string> temporaries(const fs::path& folder) {
        std::vector<std::string> names;
        for (const std::string& name : entries(folder)) {
            if (name.starts_with(".korvala-save-")) names.push_back(name);
        }
        return names;
    }
    static mode_t permissions(const fs::path& file) {
        struct stat info {};
        EXPECT_EQ(::lstat(file.c_str(), &info), 0) << file;
        return info.st_mode & 07777;
    }
    // A save of `target` that dies between writing its temporary file and the
    // rename, as when the game is killed there: run in a child process that
    // ends at that moment.
    static void saveKilledBeforeRename(const fs::path& target, const std::string& bytes) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            replaceFileAtomically(target, bytes, []() -> bool { ::_exit(0); });
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child did not reach the rename";
    }

    fs::path root_;
    fs::path data_;
};

TEST_F(DocumentFilesTest, SavedTextLoadsBackUnchanged) {
    DiskDocumentFiles files(data_);  // the data folder does not exist yet
    ASSERT_TRUE(files.save("C:/konfigemail.tamzosystem", "email"));
    EXPECT_EQ(readBytes(data_ / "konfigemail.tamzosystem"), korvala::rtf::writeDocument("email"));

    std::string text = "old";
    ASSERT_TRUE(files.load("C:/konfigemail.tamzosystem", text));
    EXPECT_EQ(text, "email");  // no line break added

    // A score file named by the player's text, saved over an older one.
    const std::string score = "C:/ 12 (Zw\xC3\xB6lf \xF0\x9F\x98\x80) ";
    ASSERT_TRUE(files.save(score, "first"));
    ASSERT_TRUE(files.save(score, " GOOD TIME\n{\\}"));
    ASSERT_TRUE(files.load(score, text));
    EXPECT_EQ(text, " GOOD TIME\n{\\}");
    EXPECT_EQ(entries(data_),
              (std::vector<std::string>{" 12 (Zw\xC3\xB6lf \xF0\x9F\x98\x80) ", "konfigemail.tamzosystem"}));
}

TEST_F(DocumentFilesTest, FailedReplaceKeepsTheOldFileAndLeavesNoTemporary) {
    fs::create_directories(data_);
    const fs::path target = data_ / "konfignama.tamzosystem";
    const std::string old = korvala::rtf::writeDocument("Ayu");
    writeBytes(target, old);

    const std::vector<std::pair<const char*, std::function<bool()>>> failures = {
        {"returns false", [] { return false; }},
        {"throws", []() -> bool { throw std::runtime_error("power cut"); }},
    };
    for (const auto& [name, failure] : failures) {
        EXPECT_FALSE(replaceFileAtomically(target, "new bytes", failure)) << name;
        EXPECT_EQ(readBytes(target), old) << name;
        EXPECT_EQ(entries(data_), std::vector<std::string>{"konfignama.tamzosystem"}) << name;
    }

    bool ran = false;
    EXPECT_TRUE(replaceFileAtomically(target, "new bytes", [&] { return ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_EQ(readBytes(target), "new bytes");
    EXPECT_EQ(entries(data_), std::vector<std::string>{"konfignama.tamzosystem"});
}

TEST_F(DocumentFilesTest, SaveThatCannotWriteFails) {
    // Tests run as root, where a folder's permissions do not stop a write: a
    // data folder below a regular file can never be created instead.
    writeBytes(root_ / "plain-file", "x");
    DiskDocumentFiles underFile(root_ / "plain-file" / "data");
    EXPECT_FALSE(underFile.save("C:/konfignama.tamzosystem", "Ayu"));
    DiskDocumentFiles isFile(root_ / "plain-file");
    EXPECT_FALSE(isFile.save("C:/konfignama.tamzosystem", "Ayu"));

    // A folder standing where the file should be is not replaced.
    DiskDocumentFiles files(data_);
    fs::create_directories(data_ / "scores");
    EXPECT_FALSE(files.save("C:/scores", "score"));
    EXPECT_TRUE(fs::is_directory(data_ / "scores"));
    EXPECT_EQ(entries(data_), std::vector<std::string>{"scores"});
}

TEST_F(DocumentFilesTest, ResolvesOnlyGamePaths) {
    DiskDocumentFiles files(data_);
    for (const std::string path :
         {"", "C:", "konfignama.tamzosystem", "D:/x", "/etc/passwd", "C:x", "C:\\x", "C\\x", ":/x"}) {
        EXPECT_EQ(files.resolve(path), std::nullopt) << '"' << path << '"';
        EXPECT_FALSE(files.save(path, "x")) << '"' << path << '"';
    }
    EXPECT_FALSE(fs::exists(data_)) << "nothing was written for a path outside the data folder";

    // Plain score strings and the profile names are the file names.
    const std::vector<std::string> names = {
        "konfignama.tamzosystem",       " 12 (GOOD TIME) ", "...", "a:b", "7(Budi)(b@x.example)(Papua Nugini)",
        "Zw\xC3\xB6lf \xF0\x9F\x98\x80"};
    for (const std::string& name : names) {
        EXPECT_EQ(files.resolve("C:/" + name), data_ / name) << name;
        EXPECT_EQ(files.resolve("c:/" + name), data_ / name) << name;
    }
}

// Whatever the player typed, a score file is one file in the data folder,
// its own, and it saves and loads back.
TEST_F(DocumentFilesTest, EveryScoreNameIsOneFileInTheDataFolder) {
    const std::vector<std::string> hostile = {
        "",
        ".",
        "..",
        "a/b",
        "a%2Fb",
        "../x",
        "../../etc/passwd",
        "a\\b",
        "..\\x",
        "/x",
        "x/",
        "/",
        "a\0b"s,
        "x\ny",
        "x\ty",
        "x\ry",
        "\x7F",
        "\xC2\x85",
        "\xFF",
        "\xC3",
        "\xC0\xAF",
        std::string(300, 'x'),
        std::string(300, 'x') + "y",
        std::string(100, '/'),
        "%",
        "%2E",
        "%2E%2E",
    };
    DiskDocumentFiles files(data_);
    const auto scoreText = [&](std::size_t k) { return "score " + std::to_string(k); };
    for (std::size_t k = 0; k < hostile.size(); ++k) {
        const std::string& name = hostile[k];
        const std::string path = "C:/" + name;
        const auto file = files.resolve(path);
        ASSERT_TRUE(file.has_value()) << '"' << name << '"';
        EXPECT_EQ(file->parent_path(), data_) << '"' << name << '"';
        const std::string leaf = file->filename().string();
        EXPECT_TRUE(leaf != "." && leaf != ".." && !leaf.empty() && leaf.find('/') == std::string::npos)
            << '"' << name << "\" -> \"" << leaf << '"';
        EXPECT_EQ(*file, data_ / korvala::safeFileName(name)) << '"' << name << '"';
        EXPECT_TRUE(files.save(path, scoreText(k))) << '"' << name << '"';
    }
    // Each name its own file, nothing outside the data folder.
    EXPECT_EQ(entries(root_), std::vector<std::string>{"data"});
    EXPECT_EQ(entries(data_).size(), hostile.size());
    for (std::size_t k = 0; k < hostile.size(); ++k) {
        std::string text;
        EXPECT_TRUE(files.load("C:/" + hostile[k], text)) << '"' << hostile[k] << '"';
        EXPECT_EQ(text, scoreText(k)) << '"' << hostile[k] << '"';
    }
}

TEST_F(DocumentFilesTest, FailedLoadLeavesTheTextUnchanged) {
    fs::create_directories(data_ / "folder");
    writeBytes(data_ / "plain", "email");
    writeBytes(data_ / "truncated", "{\\rtf1\\ansi email");
    // A well-formed document, but larger than any a box writes.
    writeBytes(data_ / "huge", korvala::rtf::writeDocument(std::string(DiskDocumentFiles::kMaxDocumentBytes, 'a')));
    writeBytes(data_ / "good", korvala::rtf::writeDocument("fine"));

    DiskDocumentFiles files(data_);
    for (const char* path : {"C:/missing", "C:/plain", "C:/truncated", "C:/huge", "C:/folder", "C:/../data/good"}) {
        std::string text = "keep";
        EXPECT_FALSE(files.load(path, text)) << path;
        EXPECT_EQ(text, "keep") << path;
    }
    std::string text = "keep";
    EXPECT_TRUE(files.load("C:/good", text));
    EXPECT_EQ(text, "fine");
}

// A failed save or load leaves one warning with what the document is and the
// system's reason; a profile that was never saved (a first start) leaves
// none. A score file is never named: its name holds the player's e-mail
// address.
TEST_F(DocumentFilesTest, FailuresAreLoggedWithTheirReasonButAFirstStartIsNot) {
    using korvala::log::Level;
    korvala::log::Recording said;
    {
        DiskDocumentFiles fresh(data_);  // no data folder yet
        for (const char* path :
             {"C:/konfignama.tamzosystem", "C:/konfigemail.tamzosystem", "C:/konfignegara.tamzosystem"}) {
            std::string text;
            EXPECT_FALSE(fresh.load(path, text)) << path;
        }
        EXPECT_TRUE(said.messages(Level::Warning).empty()) << said.text();
    }

    const std::string score = "C:/7(Budi)(b@x.example)(Papua Nugini)";
    writeBytes(root_ / "plain-file", "x");
    fs::create_directories(data_ / "7(Budi)(b@x.example)(Papua Nugini)");
    writeBytes(data_ / "konfignegara.tamzosystem", "Brunei");
    DiskDocumentFiles files(data_);
    DiskDocumentFiles underFile(root_ / "plain-file" / "data");
    struct Case {
        const char* what;
        std::function<bool()> attempt;
        std::vector<std::string> said;  // every one on the warning's line
    };
    std::string text;
    const std::vector<Case> cases = {
        {"a data folder that cannot be made",
         [&] { return underFile.save("C:/konfignama.tamzosystem", "Ayu"); },
         {"cannot save", "konfignama.tamzosystem", "Not a directory"}},
        {"a folder where the score file goes",
         [&] { return files.save(score, "7"); },
         {"cannot save", "a score file", "Is a directory"}},
        {"a profile file that is not a document",
         [&] { return files.load("C:/konfignegara.tamzosystem", text); },
         {"cannot load", "konfignegara.tamzosystem", "not a rich-text document"}},
        {"a score file that is a folder",
         [&] { return files.load(score, text); },
         {"cannot load", "a score file", "not a regular file"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        said.clear();
        EXPECT_FALSE(c.attempt());
        const std::vector<std::string> warnings = said.messages(Level::Warning);
        ASSERT_EQ(warnings.size(), 1u) << said.text();
        for (const std::string& part : c.said) EXPECT_NE(warnings[0].find(part), std::string::npos) << warnings[0];
        EXPECT_EQ(warnings[0].find("b@x.example"), std::string::npos) << warnings[0];
        EXPECT_EQ(warnings[0].find("Budi"), std::string::npos) << warnings[0];
    }
}

// ---------------------------------------------------------------------------
// Saves killed before their rename

TEST_F(DocumentFilesTest, KilledSavesLeaveAtMostOneTemporaryPerDocument) {
    DiskDocumentFiles files(data_);
    ASSERT_TRUE(files.save("C:/konfignama.tamzosystem", "Ayu"));
    ASSERT_TRUE(files.save("C:/7(Budi)", "score"));
    const std::string profile = readBytes(data_ / "konfignama.tamzosystem");

    for (int kill = 0; kill < 20; ++kill) {
        saveKilledBeforeRename(data_ / "konfignama.tamzosystem", "new " + std::to_string(kill));
        saveKilledBeforeRename(data_ / "7(Budi)", "new score");
    }
    EXPECT_EQ(temporaries(data_).size(), 2u) << "one per document";
    EXPECT_EQ(readBytes(data_ / "konfignama.tamzosystem"), profile) << "the old file stays whole";

    // The next save of a document takes its leftover over.
    ASSERT_TRUE(files.save("C:/konfignama.tamzosystem", "Wulan"));
    EXPECT_EQ(temporaries(data_).size(), 1u);
    std::string text;
    ASSERT_TRUE(files.load("C:/konfignama.tamzosystem", text));
    EXPECT_EQ(text, "Wulan");

    // The next start removes the rest.
    DiskDocumentFiles nextStart(data_);
    EXPECT_EQ(entries(data_), (std::vector<std::string>{"7(Budi)", "konfignama.tamzosystem"}));
}

TEST_F(DocumentFilesTest, StartLeavesARunningSaveAlone) {
    DiskDocumentFiles files(data_);
    ASSERT_TRUE(files.save("C:/konfignama.tamzosystem", "Ayu"));
    saveKilledBeforeRename(data_ / "7(Budi)", "killed");

    // While this save has its temporary file written, the game starts again
    // on the same folder (a second copy, or a second DiskDocumentFiles).
    std::vector<std::string> whileRunning;
    const bool saved =
        replaceFileAtomically(data_ / "konfignama.tamzosystem", korvala::rtf::writeDocument("Wulan"), [&] {
            DiskDocumentFiles again(data_);
            whileRunning = temporaries(data_);
            return true;
        });
    EXPECT_TRUE(saved);
    EXPECT_EQ(whileRunning.size(), 1u) << "the killed save's file went, the running one's stayed";
    std::string text;
    ASSERT_TRUE(files.load("C:/konfignama.tamzosystem", text));
    EXPECT_EQ(text, "Wulan");
    EXPECT_EQ(entries(data_), std::vector<std::string>{"konfignama.tamzosystem"});
}

TEST_F(DocumentFilesTest, StartRemovesOnlyTemporaryFiles) {
    // Score strings that look like temporary files are documents like any
    // other: the start leaves them alone.
    const std::vector<std::string> names = {".korvala-save-0123456789abcdef%", ".korvala-save-0123456789abcdef",
                                            ".korvala-save-XXXXXX", ".korvala-save-"};
    {
        DiskDocumentFiles files(data_);
        for (const std::string& name : names) ASSERT_TRUE(files.save("C:/" + name, name));
    }
    DiskDocumentFiles nextStart(data_);
    for (const std::string& name : names) {
        std::string text;
        EXPECT_TRUE(nextStart.load("C:/" + name, text)) << name;
        EXPECT_EQ(text, name);
    }
}

TEST_F(DocumentFilesTest, SavesOfOneDocumentTakeTurns) {
    // Two threads saving the same document share its temporary file name:
    // each save must still write whole and succeed.
    DiskDocumentFiles files(data_);
    const std::string texts[2] = {std::string(200000, 'a'), std::string(200000, 'b')};
    std::atomic<int> failed = 0;
    std::vector<std::thread> savers;
    for (const std::string& text : texts) {
        savers.emplace_back([&] {
            for (int k = 0; k < 30; ++k) {
                if (!files.save("C:/konfignama.tamzosystem", text)) ++failed;
            }
        });
    }
    for (std::thread& saver : savers) saver.join();
    EXPECT_EQ(failed, 0);
    std::string text;
    ASSERT_TRUE(files.load("C:/konfignama.tamzosystem", text));
    EXPECT_TRUE(text == texts[0] || text == texts[1]);
    EXPECT_EQ(entries(data_), std::vector<std::string>{"konfignama.tamzosystem"});
}

// ---------------------------------------------------------------------------
// Document size: what saves, loads

std::string utf8(char32_t cp) {
    std::string out;
    korvala::appendUtf8(out, cp);
    return out;
}

// The most bytes the document writer spends on one character, over every
// character there is. The writer spends the same on a character wherever it
// stands, so a text's document is the empty document plus the sum.
struct WorstCharacter {
    char32_t cp = 0;
    std::size_t bytes = 0;
};
WorstCharacter longestEncodedCharacter() {
    const std::size_t empty = korvala::rtf::writeDocument("").size();
    WorstCharacter worst;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // surrogates are not characters
        const std::size_t bytes = korvala::rtf::writeDocument(utf8(cp)).size() - empty;
        if (bytes > worst.bytes) worst = {cp, bytes};
    }
    return worst;
}

// The boxes' limits: a rich-text box's (the profile fields) and the score
// box's, which holds a score and three full profile fields.
struct BoxLimit {
    const char* box;
    std::size_t chars;
};
const BoxLimit kBoxLimits[] = {
    {"rich-text box", korvala::kMaxRichTextChars},
    {"score box", korvala::kMaxScoreStringChars},
};

TEST_F(DocumentFilesTest, EveryTextABoxHoldsFitsTheLoadLimit) {
    const WorstCharacter worst = longestEncodedCharacter();
    const std::size_t empty = korvala::rtf::writeDocument("").size();
    EXPECT_LE(worst.bytes, DiskDocumentFiles::kMostDocumentBytesPerChar) << "the limit's reckoning holds";
    EXPECT_LE(empty, DiskDocumentFiles::kDocumentFrameBytes) << "the limit's reckoning holds";
    for (const BoxLimit& limit : kBoxLimits) {
        const std::size_t largest = empty + limit.chars * worst.bytes;
        std::cout << "longest character: U+" << std::hex << static_cast<unsigned>(worst.cp) << std::dec << ", "
                  << worst.bytes << " bytes; largest document of " << limit.chars << " characters (" << limit.box
                  << "): " << largest << " bytes (limit " << DiskDocumentFiles::kMaxDocumentBytes << ")\n";
        EXPECT_LE(largest, DiskDocumentFiles::kMaxDocumentBytes) << limit.box;

        std::string text;
        for (std::size_t k = 0; k < limit.chars; ++k) text += utf8(worst.cp);
        EXPECT_EQ(korvala::rtf::writeDocument(text).size(), largest)
            << limit.box << ": the sum holds for the worst text";
    }
}

TEST_F(DocumentFilesTest, WorstCaseTextsOfAFullBoxSaveAndLoadBack) {
    struct Case {
        const char* name;
        std::u32string cycle;  // the text repeats these characters
    };
    std::u32string controls;
    for (char32_t cp = 0; cp < 0x20; ++cp) controls += cp;
    controls += U'\x7F';
    const std::vector<Case> cases = {
        {"control characters", controls},
        {"line breaks", U"\n"},
        {"CR LF", U"\r\n"},
        {"emoji", {0x1F600}},
        {"other characters above U+FFFF", {0x10000, 0x10FFFF, 0x1D11E}},
        {"backslashes and braces", U"\\{}"},
        {"outside code page 1252", {0xFFFD, 0x8000, 0xFFFF, 0x4E2D, 0x0100, 0x0394}},
        {"code page 1252 above ASCII", {0xE9, 0x20AC, 0xFF, 0xA0, 0x2122}},
        {"plain letters", U"abcdefghijklmnopqrstuvwxyz"},
        {"everything mixed", U"a\\\n\t\x01\xE9\x20AC\x4E2D\xFFFF\x1F600"},
    };
    DiskDocumentFiles files(data_);
    for (const BoxLimit& limit : kBoxLimits) {
        std::size_t largestSaved = 0;
        for (const Case& c : cases) {
            std::string text;
            for (std::size_t k = 0; k < limit.chars; ++k) text += utf8(c.cycle[k % c.cycle.size()]);
            ASSERT_TRUE(files.save("C:/full box", text)) << limit.box << ", " << c.name;
            const auto size = fs::file_size(data_ / "full box");
            EXPECT_LE(size, DiskDocumentFiles::kMaxDocumentBytes) << limit.box << ", " << c.name;
            largestSaved = std::max<std::size_t>(largestSaved, size);
            std::string loaded;
            ASSERT_TRUE(files.load("C:/full box", loaded)) << limit.box << ", " << c.name;
            EXPECT_TRUE(loaded == text) << limit.box << ", " << c.name << ": the text changed on the way";
        }
        std::cout << "largest document of a full " << limit.box << " saved and loaded: " << largestSaved << " bytes\n";
    }
}

TEST_F(DocumentFilesTest, DocumentLoadWouldRefuseIsNotSaved) {
    DiskDocumentFiles files(data_);
    ASSERT_TRUE(files.save("C:/konfignama.tamzosystem", "Ayu"));
    const std::string old = readBytes(data_ / "konfignama.tamzosystem");

    const std::size_t empty = korvala::rtf::writeDocument("").size();
    const std::string exactlyAtLimit(DiskDocumentFiles::kMaxDocumentBytes - empty, 'a');
    std::string emoji;
    for (int k = 0; k < 300000; ++k) emoji += "\xF0\x9F\x98\x80";
    struct Case {
        const char* name;
        std::string text;
    };
    const std::vector<Case> tooLarge = {
        {"one byte over the limit", exactlyAtLimit + "a"},
        {"300,000 emoji", emoji},
        {"control characters, four bytes each, past the limit",
         std::string(DiskDocumentFiles::kMaxDocumentBytes / 4 + 1, '\x01')},
    };
    for (const Case& c : tooLarge) {
        EXPECT_FALSE(files.save("C:/konfignama.tamzosystem", c.text)) << c.name;
        EXPECT_EQ(readBytes(data_ / "konfignama.tamzosystem"), old) << c.name;
        EXPECT_EQ(entries(data_), std::vector<std::string>{"konfignama.tamzosystem"}) << c.name;
    }
    EXPECT_FALSE(files.save("C:/new score", emoji));
    EXPECT_EQ(entries(data_), std::vector<std::string>{"konfignama.tamzosystem"}) << "no file for a new name";

    // A document of exactly the limit saves and loads.
    ASSERT_TRUE(files.save("C:/konfignama.tamzosystem", exactlyAtLimit));
    EXPECT_EQ(fs::file_size(data_ / "konfignama.tamzosystem"), DiskDocumentFiles::kMaxDocumentBytes);
    std::string text;
    ASSERT_TRUE(files.load("C:/konfignama.tamzosystem", text));
    EXPECT_TRUE(text == exactlyAtLimit);
}

// ---------------------------------------------------------------------------
// Symbolic links planted in the data folder

TEST_F(DocumentFilesTest, LoadDoesNotFollowALink) {
    fs::create_directories(data_);
    writeBytes(root_ / "outside", korvala::rtf::writeDocument("secret"));
    fs::create_symlink(root_ / "outside", data_ / "konfignama.tamzosystem");
    fs::create_symlink("../outside", data_ / "relative");

    DiskDocumentFiles files(data_);
    for (const char* path : {"C:/konfignama.tamzosystem", "C:/relative"}) {
        std::string text = "keep";
        EXPECT_FALSE(files.load(path, text)) << path;
        EXPECT_EQ(text, "keep") << path;
    }
}

TEST_F(DocumentFilesTest, SaveReplacesALinkWithAFileOfItsOwn) {
    fs::create_directories(data_);
    const std::string outside = korvala::rtf::writeDocument("secret");
    writeBytes(root_ / "outside", outside);
    ASSERT_EQ(::chmod((root_ / "outside").c_str(), 0600), 0);
    fs::create_symlink(root_ / "outside", data_ / "konfignama.tamzosystem");
    writeBytes(data_ / "private", "x");
    ASSERT_EQ(::chmod((data_ / "private").c_str(), 0600), 0);

    DiskDocumentFiles files(data_);
    const UmaskFor usual(022);
    ASSERT_TRUE(files.save("C:/konfignama.tamzosystem", "Ayu"));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(data_ / "konfignama.tamzosystem")));
    EXPECT_EQ(permissions(data_ / "konfignama.tamzosystem"), 0644u) << "not the link target's permissions";
    EXPECT_EQ(readBytes(root_ / "outside"), outside);
    EXPECT_EQ(permissions(root_ / "outside"), 0600u);

    // A regular file in the folder keeps its own permissions.
    ASSERT_TRUE(files.save("C:/private", "Ayu"));
    EXPECT_EQ(permissions(data_ / "private"), 0600u);
}

// ---------------------------------------------------------------------------
// Permissions: the player's umask decides who else reads a new file (the
// profile holds the e-mail address); a file replaced keeps its own.

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "0%03o", static_cast<unsigned>(mode));
    return text;
}

TEST_F(DocumentFilesTest, NewFilesTakeTheUmaskAndReplacedFilesKeepTheirPermissions) {
    enum class Before { Nothing, File, Link, KilledSave };
    struct Case {
        const char* name;
        mode_t umask;
        Before before;
        mode_t oldMode;  // of the file replaced, or of the link's target
        mode_t expected;
    };
    const std::vector<Case> cases = {
        {"new file, umask 077", 077, Before::Nothing, 0, 0600},
        {"new file, umask 022", 022, Before::Nothing, 0, 0644},
        {"new file, umask 027", 027, Before::Nothing, 0, 0640},
        {"new file, umask 000", 000, Before::Nothing, 0, 0666},
        {"0640 file replaced, umask 022", 022, Before::File, 0640, 0640},
        {"0640 file replaced, umask 077", 077, Before::File, 0640, 0640},
        {"0604 file replaced, umask 077", 077, Before::File, 0604, 0604},
        {"link to a 0644 file replaced, umask 077", 077, Before::Link, 0644, 0600},
        // A killed save's temporary file, made under a laxer umask, is not
        // the one the next save renames into place.
        {"new file after a killed save, umask 077", 077, Before::KilledSave, 0, 0600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove_all(data_, ignored);
        fs::remove(root_ / "outside", ignored);
        fs::create_directories(data_);
        const fs::path target = data_ / "konfigemail.tamzosystem";
        switch (c.before) {
            case Before::Nothing:
                break;
            case Before::File:
                writeBytes(target, korvala::rtf::writeDocument("old"));
                ASSERT_EQ(::chmod(target.c_str(), c.oldMode), 0);
                break;
            case Before::Link:
                writeBytes(root_ / "outside", korvala::rtf::writeDocument("outside"));
                ASSERT_EQ(::chmod((root_ / "outside").c_str(), c.oldMode), 0);
                fs::create_symlink(root_ / "outside", target);
                break;
            case Before::KilledSave: {
                const UmaskFor lax(0);
                saveKilledBeforeRename(target, "killed");
                ASSERT_EQ(temporaries(data_).size(), 1u);
                break;
            }
        }
        {
            const UmaskFor mask(c.umask);
            if (c.before == Before::KilledSave) {
                // The next save of the document finds the leftover (no start
                // has swept it away).
                ASSERT_TRUE(replaceFileAtomically(target, korvala::rtf::writeDocument("b@x.example")));
            } else {
                DiskDocumentFiles files(data_);
                ASSERT_TRUE(files.save("C:/konfigemail.tamzosystem", "b@x.example"));
            }
        }
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
        EXPECT_EQ(octal(permissions(target)), octal(c.expected));
        EXPECT_EQ(temporaries(data_), std::vector<std::string>{});
        if (c.before == Before::Link) {
            EXPECT_EQ(octal(permissions(root_ / "outside")), octal(c.oldMode)) << "the link's target";
        }
    }
}

}  // namespace
