#pragma once
// The simulator: the whole game under a virtual clock, driven by a scenario.
//   <ms> <verb> [args]      one command per line, times never decreasing
// Verbs: click, move, clickat, moveat, type, do, print, screen, holes, cues,
// messages, requests, answer, answer-fail, report.
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <string>

#include "window/score_service.h"

namespace korvala {

struct SimulatorOptions {
    std::filesystem::path dataFolder;  // where "C:/" lies
    std::string appDir;                // the application folder: where the sound files lie
    ScoreService service;              // the score service the requests name
};

// Runs the scenario from `in`, writing results to `out` and the first error
// to `err`. Returns the process exit status: 0, or 2 on a bad line.
int runScenario(std::istream& in, std::ostream& out, std::ostream& err, const SimulatorOptions& options);

}  // namespace korvala
