#include "qt/web/engine_notices.h"

#include <QLatin1String>
#include <QLoggingCategory>
#include <QString>

#include "system/log/log.h"

namespace korvala {

namespace {

constexpr char kLateShareWarning[] =
    "Attribute Qt::AA_ShareOpenGLContexts must be set before QCoreApplication is created.";
// After the class's name.
constexpr char kQmlTypeWarningTail[] =
    " is neither a QObject, nor default- and copy-constructible. You should not use it as a QML type.";

}  // namespace

void holdBackEngineAccount() { QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false")); }

EngineStartNotices::EngineStartNotices() { previous_ = qInstallMessageHandler(&filter); }

EngineStartNotices::~EngineStartNotices() {
    qInstallMessageHandler(previous_);
    if (droppedShare_ && !toldShare_) {
        toldShare_ = true;
        log::detail(log::Area::Web,
                    "web browser: Qt::AA_ShareOpenGLContexts is set as the engine is brought in, not before the "
                    "application starts, so that the game makes no OpenGL context until the browser is used; Qt's "
                    "warning about it is not shown");
    }
    if (droppedQmlType_ && !toldQmlType_) {
        toldQmlType_ = true;
        log::detail(log::Area::Web,
                    "web browser: Qt's warnings that some of the web engine's own classes should not be QML types, "
                    "given as the engine's QML module is imported, are not shown");
    }
}

void EngineStartNotices::filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message == QLatin1String(kLateShareWarning)) {
        droppedShare_ = true;
        return;
    }
    if (type == QtWarningMsg && message.startsWith(QLatin1String("QWebEngine")) &&
        message.endsWith(QLatin1String(kQmlTypeWarningTail)) &&
        !message.chopped(qsizetype(sizeof kQmlTypeWarningTail) - 1).contains(QLatin1Char(' '))) {
        droppedQmlType_ = true;
        return;
    }
    if (previous_) previous_(type, context, message);
}

}  // namespace korvala
