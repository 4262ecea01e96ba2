#pragma once
// What the stand-in engine module (waiting_engine_module.cpp) tells the
// loader's tests, through its exported functions waiting_engine_release()
// and waiting_engine_report().
#include <thread>

struct WaitingEngineReport {
    bool entered = false;             // the entry point was called (it then waits)
    bool returned = false;            // and has returned
    std::thread::id entry;            // where the entry point ran
    std::thread::id prepareOnWorker;  // where each step ran; empty: it did not
    std::thread::id initialize;
};

extern "C" {
using WaitingEngineRelease = void (*)();
using WaitingEngineReportFn = WaitingEngineReport (*)();
}
