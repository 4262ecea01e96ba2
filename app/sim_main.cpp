// korvala-sim: the whole game under a virtual clock, no display; a scenario
// on standard input, results on standard output.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "sim/simulator.h"
#include "system/settings/run_settings.h"

int main() {
    std::ios::sync_with_stdio(false);
    korvala::SimulatorOptions options;
    // The score service the game was built with; the simulator reads no
    // option and no settings file.
    options.service = korvala::builtInScoreService();
    // The application folder: the simulator's own, unless one is named.
    if (const char* app = std::getenv("KORVALA_APP_DIR"); app && *app) {
        options.appDir = app;
    } else {
        std::error_code ec;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
        options.appDir = ec ? std::string(".") : self.parent_path().string();
    }
    bool temporary = false;
    if (const char* dir = std::getenv("KORVALA_DATA_DIR"); dir && *dir) {
        options.dataFolder = dir;
    } else {
        std::error_code ec;
        const auto base = std::filesystem::temp_directory_path(ec);
        std::string pattern = ((ec ? std::filesystem::path("/tmp") : base) / "korvala-sim-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::cerr << "korvala-sim: cannot make a temporary data folder\n";
            return 1;
        }
        options.dataFolder = pattern;
        temporary = true;
    }
    const int status = korvala::runScenario(std::cin, std::cout, std::cerr, options);
    if (temporary) {
        std::error_code ec;
        std::filesystem::remove_all(options.dataFolder, ec);
    }
    return status;
}
