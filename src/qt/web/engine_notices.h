#pragma once
// What Qt and the engine say as the engine is brought in, sorted for whoever
// looks after the game: remarks that would tell them to undo what the game
// does on purpose, or that concern the engine's own code, are held back and
// replaced by one detail line of the web log each; the engine's account of
// how it started is shown only when a logging rule asks for it.
#include <QtGlobal>

namespace korvala {

// The engine's account of its start (Qt's category qt.webenginecontext, at
// info level) is not shown unless asked for:
//   QT_LOGGING_RULES="qt.webenginecontext.info=true" korvala
// Sets the program's own logging rules (QLoggingCategory::setFilterRules),
// which QT_LOGGING_RULES and QT_LOGGING_CONF override.
void holdBackEngineAccount();

// While one lives (on the window's thread, around a step that brings the
// engine in), two of Qt's warnings are dropped: that
// Qt::AA_ShareOpenGLContexts is set after the application exists (the
// browser sets it late on purpose: see EngineLoader), and that some of the
// engine's own classes should not be QML types (given as the engine's QML
// module is imported). Only messages with exactly Qt's words; every other
// one goes on to the handler in place before. When it ends, the first drop
// of each kind is said once as a detail of the web log
// (QT_LOGGING_RULES="korvala.web.debug=true" shows it).
class EngineStartNotices {
public:
    EngineStartNotices();
    ~EngineStartNotices();
    EngineStartNotices(const EngineStartNotices&) = delete;
    EngineStartNotices& operator=(const EngineStartNotices&) = delete;

private:
    static void filter(QtMsgType type, const QMessageLogContext& context, const QString& message);
    static inline QtMessageHandler previous_ = nullptr;
    static inline bool droppedShare_ = false;
    static inline bool toldShare_ = false;
    static inline bool droppedQmlType_ = false;
    static inline bool toldQmlType_ = false;
};

}  // namespace korvala
