// Fuzz target for the simulator's scenario reader: any text runs the game to
// its end or stops at its first bad line, and never crashes. What it writes
// keeps its shape whatever the input:
//   - the status is 0, or 2 for a bad line;
//   - on 0 nothing goes to the error stream; on 2 exactly one line does,
//     "error: line <n>: ...", short, since it quotes at most 40 characters
//     of the input, escaped;
//   - results carry no raw control character but the LF that ends each
//     line: values are written escaped.
//
// The game's data folder is one folder for the whole run, so documents saved
// by one input may be loaded by a later one: the folder named by
// KORVALA_FUZZ_DATA_DIR (scripts/fuzz.sh empties it before the run), else a
// fresh temporary folder removed at exit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>

#include "sim/simulator.h"

namespace {

namespace fs = std::filesystem;

korvala::SimulatorOptions options;
fs::path temporaryFolder;

void removeTemporaryFolder() {
    std::error_code ec;
    fs::remove_all(temporaryFolder, ec);
}

// The longest error line: "error: line " and the line number, the longest
// fixed words of a message, and a quote of 40 characters of up to 4 bytes
// each (an escaped control character is "\xHH", a UTF-8 character up to 4
// bytes) in quotes and followed by "...".
constexpr std::size_t kMaxErrorLine = 12 + 10 + 2 + 40 + (2 + 40 * 4 + 3) + 1;

bool rawControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 32 && c != '\n') || u == 127;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("KORVALA_FUZZ_DATA_DIR"); dir && *dir) {
        options.dataFolder = dir;
        fs::create_directories(options.dataFolder);
    } else {
        std::string pattern = (fs::temp_directory_path() / "korvala-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        temporaryFolder = options.dataFolder = pattern;
        std::atexit(removeTemporaryFolder);
    }
    // The sound files are never read: the simulator's devices only count cues.
    options.appDir = options.dataFolder.string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream out, err;
    const int status = korvala::runScenario(in, out, err, options);

    const std::string results = out.str();
    const std::string error = err.str();
    for (const char c : results)
        if (rawControl(c)) __builtin_trap();
    if (!results.empty() && results.back() != '\n') __builtin_trap();

    if (status == 0) {
        if (!error.empty()) __builtin_trap();
    } else if (status == 2) {
        const std::string_view line(error);
        if (!line.starts_with("error: line ") || line.size() > kMaxErrorLine) __builtin_trap();
        if (line.find('\n') != line.size() - 1) __builtin_trap();  // one line, ended
        for (const char c : line)
            if (rawControl(c)) __builtin_trap();
    } else {
        __builtin_trap();
    }
    return 0;
}
