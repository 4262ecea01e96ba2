#include "qt/view/qt_log.h"

#include <QString>

namespace korvala {

namespace {

// Infos and warnings by default; details (debug) only by a rule.
Q_LOGGING_CATEGORY(onlineLog, "korvala.online", QtInfoMsg)
Q_LOGGING_CATEGORY(soundLog, "korvala.sound", QtInfoMsg)
Q_LOGGING_CATEGORY(filesLog, "korvala.files", QtInfoMsg)
Q_LOGGING_CATEGORY(webLog, "korvala.web", QtInfoMsg)

}  // namespace

const QLoggingCategory& qtLogCategory(log::Area area) {
    switch (area) {
        case log::Area::Online:
            return onlineLog();
        case log::Area::Sound:
            return soundLog();
        case log::Area::Files:
            return filesLog();
        case log::Area::Web:
            return webLog();
    }
    return onlineLog();
}

void installQtLog() {
    log::setSink([](log::Area area, log::Level level, const std::string& message) {
        const QLoggingCategory& category = qtLogCategory(area);
        const QString text = QString::fromStdString(message);
        switch (level) {
            case log::Level::Detail:
                qCDebug(category).noquote() << text;
                break;
            case log::Level::Info:
                qCInfo(category).noquote() << text;
                break;
            case log::Level::Warning:
                qCWarning(category).noquote() << text;
                break;
        }
    });
}

}  // namespace korvala
