#include "qt/pictures/picture_resources.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QResource>
#include <QString>
#include <cerrno>
#include <cstring>
#include <string>

#include "system/log/log.h"

namespace korvala {

namespace {

struct Mapping {
    const uchar* data = nullptr;
    std::size_t size = 0;
};

// The resource file beside the program (the installed game, or the game in
// its build folder), else in the nearest folder above the program that holds
// one (a test or a benchmark in the build tree). No folder is compiled in, so
// the installed game names nothing of the tree it was built from. When there
// is none, the path beside the program, for the log.
QString resourceFilePath() {
    const QString name = QStringLiteral("korvala_pictures.rcc");
    const QString program = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                         : QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    QDir dir(program);
    do {
        if (QFileInfo::exists(dir.filePath(name))) return dir.filePath(name);
    } while (dir.cdUp());
    return QDir(program).filePath(name);
}

Mapping mapAndRegister() {
    const QString path = resourceFilePath();
    const std::string name = path.toStdString();
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size <= 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        log::warning(log::Area::Files,
                     "the pictures cannot be read from " + name + ": " + (error ? std::strerror(error) : "empty file"));
        return {};
    }
    void* data = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    const int error = errno;
    ::close(fd);
    if (data == MAP_FAILED) {
        log::warning(log::Area::Files, "the pictures cannot be mapped from " + name + ": " + std::strerror(error));
        return {};
    }
    Mapping m{static_cast<const uchar*>(data), static_cast<std::size_t>(st.st_size)};
    if (!QResource::registerResource(m.data)) {
        log::warning(log::Area::Files, "the pictures in " + name + " are not a resource file");
        ::munmap(data, m.size);
        return {};
    }
    return m;
}

// Mapped for the whole process: Qt reads registered resources in place.
const Mapping& mapping() {
    static const Mapping m = mapAndRegister();
    return m;
}

}  // namespace

bool registerPictureResources() { return mapping().data != nullptr; }

void releasePictureResourcePages() {
    const Mapping& m = mapping();
    if (m.data) ::madvise(const_cast<uchar*>(m.data), m.size, MADV_DONTNEED);
}

}  // namespace korvala
