// The game's log in Qt's logging: one category per area, warnings and infos
// shown by default, details only when a logging rule asks for them, and the
// message passed on as it was written.
#include "qt/view/qt_log.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QString>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace korvala {
namespace {

struct Message {
    QtMsgType type;
    std::string category;
    std::string text;
};

std::mutex seenMutex;
std::vector<Message> seen;

void keep(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    std::lock_guard lock(seenMutex);
    seen.push_back({type, context.category ? context.category : "", text.toStdString()});
}

// Catches what reaches Qt's message handler while the game's log goes to Qt.
class QtLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        seen.clear();
        previous_ = qInstallMessageHandler(keep);
        installQtLog();
    }
    void TearDown() override {
        log::setSink({});
        qInstallMessageHandler(previous_);
        QLoggingCategory::setFilterRules(QString());
    }
    static std::vector<Message> taken() {
        std::lock_guard lock(seenMutex);
        return std::exchange(seen, {});
    }

private:
    QtMessageHandler previous_ = nullptr;
};

struct AreaCase {
    log::Area area;
    const char* category;
};
const AreaCase kAreas[] = {
    {log::Area::Online, "korvala.online"},
    {log::Area::Sound, "korvala.sound"},
    {log::Area::Files, "korvala.files"},
    {log::Area::Web, "korvala.web"},
};

TEST_F(QtLogTest, WarningsAndInfosShowByDefaultInTheirAreasCategory) {
    for (const AreaCase& c : kAreas) {
        SCOPED_TRACE(c.category);
        EXPECT_STREQ(qtLogCategory(c.area).categoryName(), c.category);
        log::warning(c.area, "upload to [::1]:2121 failed: Access denied: 530");
        log::info(c.area, "score server started on 127.0.0.1:2121");
        log::detail(c.area, "listing from 127.0.0.1:2121 done: 3 names");
        const std::vector<Message> got = taken();
        ASSERT_EQ(got.size(), 2u) << "the detail is not shown without a rule";
        EXPECT_EQ(got[0].type, QtWarningMsg);
        EXPECT_EQ(got[0].category, c.category);
        EXPECT_EQ(got[0].text, "upload to [::1]:2121 failed: Access denied: 530") << "no quotes, no changes";
        EXPECT_EQ(got[1].type, QtInfoMsg);
        EXPECT_EQ(got[1].category, c.category);
        EXPECT_EQ(got[1].text, "score server started on 127.0.0.1:2121");
    }
}

// QT_LOGGING_RULES="korvala.*.debug=true" turns the details on; a rule for
// one area turns on only that one's.
TEST_F(QtLogTest, DetailsShowOnlyWhenARuleAsksForThem) {
    struct RuleCase {
        const char* rules;
        std::vector<std::string> shown;  // categories whose detail shows
    };
    const RuleCase cases[] = {
        {"", {}},
        {"korvala.*.debug=true", {"korvala.online", "korvala.sound", "korvala.files", "korvala.web"}},
        {"korvala.sound.debug=true", {"korvala.sound"}},
        {"korvala.*.debug=true\nkorvala.files.debug=false", {"korvala.online", "korvala.sound", "korvala.web"}},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.rules);
        QLoggingCategory::setFilterRules(QString::fromUtf8(c.rules));
        for (const AreaCase& a : kAreas) log::detail(a.area, "Zw\xC3\xB6lf \xF0\x9F\x98\x80 detail");
        std::vector<std::string> shown;
        for (const Message& m : taken()) {
            EXPECT_EQ(m.type, QtDebugMsg);
            EXPECT_EQ(m.text, "Zw\xC3\xB6lf \xF0\x9F\x98\x80 detail") << "UTF-8 kept";
            shown.push_back(m.category);
        }
        EXPECT_EQ(shown, c.shown);
    }
}

// Without a sink nothing reaches Qt: the simulator sets none and says nothing.
TEST_F(QtLogTest, NoSinkSaysNothing) {
    log::setSink({});
    for (const AreaCase& a : kAreas) log::warning(a.area, "cannot play the sound file x.wav");
    EXPECT_TRUE(taken().empty());
}

}  // namespace
}  // namespace korvala
