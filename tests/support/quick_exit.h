#pragma once
// Ends a test or benchmark program that played through Qt Multimedia
// without running the process's exit handlers.
//
// The toolkit's sound-server back end is a process-wide object torn down by
// an exit handler, and it drops its server connection there without holding
// the lock of the thread that still serves that connection: now and then,
// on a busy machine, the exit then crashes (a segmentation fault or an
// assertion in the sound client library) after everything of ours has
// already stopped. Everything that matters is done by then, so the program
// flushes its output and leaves at once, as the game itself does.
#include <cstdio>
#include <cstdlib>

namespace korvala::testing {

[[noreturn]] inline void exitWithoutAudioTeardown(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace korvala::testing
