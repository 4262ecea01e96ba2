#pragma once
// The one entry point of the engine module (korvala_web_engine.so), which
// the browser loads on first use. It returns a QWebEngineView made as a child
// of `parent`; the browser drives it through its "url" property, so that
// nothing outside the module needs the engine's headers or libraries.

class QWidget;

#define KORVALA_WEB_ENGINE_ENTRY "korvala_web_engine_create"
extern "C" {
using KorvalaWebEngineCreate = QWidget* (*)(QWidget* parent);
}
