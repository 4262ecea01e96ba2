#pragma once
// Reading the scores page in the browser's tests, through the page object's
// readText()/textRead() (see QtWebView::page()), waiting at most kHangMs:
// only a hang reaches it.
#include <gtest/gtest.h>

#include <QObject>
#include <QSignalSpy>
#include <QString>
#include <QTest>

#include "qt/web/qt_web_view.h"

namespace korvala::web_test {

constexpr int kHangMs = 60000;

// The page object once the engine view exists (a failure when it never does).
inline QObject* waitForPage(const QtWebView& browser) {
    if (!QTest::qWaitFor([&] { return browser.page() != nullptr; }, kHangMs)) ADD_FAILURE() << "no engine view";
    return browser.page();
}

// The page's text as the engine renders it.
inline QString pageText(QObject* page) {
    QSignalSpy read(page, SIGNAL(textRead(QString)));
    QMetaObject::invokeMethod(page, "readText");
    if (!read.wait(kHangMs)) return QStringLiteral("<no answer from the page>");
    return read.first().first().toString();
}

// Waits until the page's text contains `needle`; returns the last text read.
inline QString waitForText(QObject* page, const QString& needle) {
    QString text;
    if (!QTest::qWaitFor([&] { return (text = pageText(page)).contains(needle); }, kHangMs))
        ADD_FAILURE() << "the page never showed \"" << needle.toStdString() << "\"; it reads \"" << text.toStdString()
                      << "\"";
    return text;
}

}  // namespace korvala::web_test
