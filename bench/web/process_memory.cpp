#include "process_memory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QMap>

namespace korvala::bench {

long procField(const QString& file, const QByteArray& name) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(name + ':')) return line.mid(name.size() + 1).trimmed().split(' ').first().toLong();
    }
    return -1;
}

HelperMemory helperMemory() {
    QMap<long, long> parentOf;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool isPid = false;
        const long pid = entry.toLong(&isPid);
        if (!isPid) continue;
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray s = stat.readAll();
        // "pid (comm) state ppid ...": the command may hold blanks and parentheses.
        const QList<QByteArray> rest = s.mid(s.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 1) parentOf[pid] = rest[1].toLong();
    }
    HelperMemory m;
    const long self = QCoreApplication::applicationPid();
    for (auto it = parentOf.cbegin(); it != parentOf.cend(); ++it) {
        long p = it.value();
        while (p > 1 && p != self) p = parentOf.value(p, 0);
        if (p != self) continue;
        const QString dir = "/proc/" + QString::number(it.key());
        ++m.count;
        m.rssKib += qMax(0L, procField(dir + "/status", "VmRSS"));
        m.pssKib += qMax(0L, procField(dir + "/smaps_rollup", "Pss"));
        m.peakKib += qMax(0L, procField(dir + "/status", "VmHWM"));
    }
    return m;
}

}  // namespace korvala::bench
