#pragma once
// The OpenGL driver (Mesa's *_dri.so) keeps a few blocks until the process
// ends and is unloaded as the application closes its X connection, so a leak
// check at exit could not even name it; kept loaded, lsan.supp can. Call at
// the end of main(), before the application goes.
#include <dlfcn.h>

#include <QByteArray>
#include <QFile>

namespace korvala::web_test {

inline void keepOpenGLDriverLoaded() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly)) return;
    for (const QByteArray& line : maps.readAll().split('\n'))
        if (const qsizetype at = line.indexOf('/'); at >= 0 && line.endsWith("_dri.so"))
            ::dlopen(line.mid(at).constData(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace korvala::web_test
