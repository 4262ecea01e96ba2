#pragma once
// Memory figures of this process and of the engine's helper processes, read
// from /proc, for the browser's benchmarks.
#include <QByteArray>
#include <QString>

namespace korvala::bench {

// One "Name:   1234 kB" field of /proc/<pid>/status or smaps_rollup, in KiB;
// -1 when it cannot be read.
long procField(const QString& file, const QByteArray& name);

// The engine's helper processes (zygote, renderer, ...): every descendant of
// this process. RSS counts shared pages once per process; PSS shares them out.
struct HelperMemory {
    int count = 0;
    long rssKib = 0;
    long pssKib = 0;
    long peakKib = 0;  // the sum of their VmHWM
};
HelperMemory helperMemory();

}  // namespace korvala::bench
