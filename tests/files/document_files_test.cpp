// The rich-text boxes' files in a real data folder on disk.
#include "platform/files/document_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/rtf/rtf_document.h"

namespace {

namespace fs = std::filesystem;
using korvala::DiskDocumentFiles;
using korvala::replaceFileAtomically;
using namespace std::string_literals;

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
    EXPECT_EQ(entries(data_), (std::vector<std::string>{" 12 (Zw\xC3\xB6lf \xF0\x9F\x98\x80) ", "konfigemail.tamzosystem"}));
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

    // A name too long for the file system fails and leaves nothing behind.
    DiskDocumentFiles files(data_);
    EXPECT_FALSE(files.save("C:/" + std::string(300, 'x'), "score"));
    EXPECT_TRUE(entries(data_).empty());

    // A folder standing where the file should be is not replaced.
    fs::create_directories(data_ / "scores");
    EXPECT_FALSE(files.save("C:/scores", "score"));
    EXPECT_TRUE(fs::is_directory(data_ / "scores"));
    EXPECT_EQ(entries(data_), std::vector<std::string>{"scores"});
}

TEST_F(DocumentFilesTest, ResolvesOnlyOnePlainFileName) {
    DiskDocumentFiles files(data_);
    const std::vector<std::string> unsafe = {
        "", "C:", "C:/", "C:/.", "C:/..", "konfignama.tamzosystem", "D:/x", "/etc/passwd", "C:x",
        "C:\\x", "C:/a/b", "C:/../x", "C:/a\\b", "C:/..\\x", "C://x", "C:/x/", "C:/a\0b"s,
        "C:/x\ny", "C:/x\ty", "C:/x\ry", "C:/\x7F", "C:/\xC2\x85",  // NEL, a C1 control
        "C:/\xFF", "C:/\xC3",                                        // not UTF-8
    };
    for (const std::string& path : unsafe) {
        EXPECT_EQ(files.resolve(path), std::nullopt) << '"' << path << '"';
        EXPECT_FALSE(files.save(path, "x")) << '"' << path << '"';
    }
    EXPECT_FALSE(fs::exists(data_)) << "nothing was written for an unsafe name";

    const std::vector<std::string> names = {"konfignama.tamzosystem", " 12 (GOOD TIME) ", "...", "a:b",
                                            "Zw\xC3\xB6lf \xF0\x9F\x98\x80"};
    for (const std::string& name : names) EXPECT_EQ(files.resolve("C:/" + name), data_ / name) << name;
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

}  // namespace
