#pragma once
// The game's log (system/log/log.h) sent on to Qt's logging: one category
// per area, "korvala.online", "korvala.sound", "korvala.files" and
// "korvala.web". A warning is qCWarning, an info qCInfo, a detail qCDebug.
// Warnings and infos show by default (on standard error, as Qt writes its
// messages); details only when asked for:
//
//   QT_LOGGING_RULES="korvala.*.debug=true" korvala
#include <QLoggingCategory>

#include "system/log/log.h"

namespace korvala {

// Makes Qt's logging the game's log sink. Call it once in main, before any
// thread that may log is started; Qt's message handler takes lines from
// every thread.
void installQtLog();

// The category an area's lines go to.
const QLoggingCategory& qtLogCategory(log::Area area);

}  // namespace korvala
