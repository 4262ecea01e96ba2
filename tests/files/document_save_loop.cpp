// Helper for killed_saves_test.py: the game's data folder under saves that
// are killed at random moments.
//
//   document_save_loop <data folder> loop   start, print "ready", then save
//                                           the two texts in turn until killed
//   document_save_loop <data folder> once   start and save the first text
//   document_save_loop <data folder> start  start only (leftovers go)
//   document_save_loop <data folder> check  exit 0 when the file loads as one
//                                           of the two texts whole, 1 when not
//   document_save_loop <folder> documents   write the two texts' documents
//                                           there, as "document0", "document1"
//
// "start" is what the game does when it starts: it opens its data folder
// (DiskDocumentFiles). "check" reads the file without starting, so that it
// does not remove what it counts.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "system/files/document_files.h"
#include "system/rtf/rtf_document.h"

namespace {

constexpr const char* kPath = "C:/7(Budi)(b@x.example)(Papua Nugini)";
constexpr const char* kFileName = "7(Budi)(b@x.example)(Papua Nugini)";

// Two texts of 900,000 characters that differ throughout, so that a file
// made of parts of both reads as neither.
std::string text(char first) {
    std::string out;
    out.reserve(900000);
    for (int line = 0; out.size() < 900000; ++line) {
        for (int k = 0; k < 99; ++k) out += static_cast<char>(first + (line + k) % 26);
        out += '\n';
    }
    out.resize(900000);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: document_save_loop <folder> loop|once|start|check|documents\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const std::string mode = argv[2];
    const std::string texts[2] = {text('a'), text('A')};

    if (mode == "documents") {
        for (int k = 0; k < 2; ++k) {
            std::ofstream out(folder / ("document" + std::to_string(k)), std::ios::binary);
            out << korvala::rtf::writeDocument(texts[k]);
            if (!out) return 1;
        }
        return 0;
    }
    if (mode == "check") {
        std::ifstream in(folder / kFileName, std::ios::binary);
        if (!in) return 1;
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (bytes.size() > korvala::DiskDocumentFiles::kMaxDocumentBytes) return 1;
        const auto plain = korvala::rtf::readDocument(bytes);
        return plain && (*plain == texts[0] || *plain == texts[1]) ? 0 : 1;
    }

    korvala::DiskDocumentFiles files(folder);
    if (mode == "start") return 0;
    if (mode == "once") return files.save(kPath, texts[0]) ? 0 : 1;
    if (mode != "loop") return 2;
    std::cout << "ready" << std::endl;
    for (unsigned long n = 0;; ++n) {
        if (!files.save(kPath, texts[n % 2])) {
            std::cerr << "save failed\n";
            return 1;
        }
    }
}
