#include "qt/pictures/picture_resources.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
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

QString resourceFilePath() {
    if (QCoreApplication::instance()) {
        const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/korvala_pictures.rcc");
        if (QFileInfo::exists(beside)) return beside;
    }
    return QStringLiteral(KORVALA_PICTURES_RCC);
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
