#include "game_session.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

namespace korvala::testing {

namespace {

double seconds(std::chrono::milliseconds limit) { return static_cast<double>(limit.count()) / 1000.0; }

QString q(const std::string& text) { return QString::fromStdString(text); }

std::optional<std::string> textOrNothing(const QJsonValue& v) {
    if (!v.isString()) return std::nullopt;
    return v.toString().toStdString();
}

}  // namespace

Clock::time_point fromSeconds(double s) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)));
}

GameSession::GameSession(std::filesystem::path artefacts) : artefacts_(std::move(artefacts)) {}

GameSession::~GameSession() {
    if (harness_) harness_->finish(std::chrono::seconds(30));
}

bool GameSession::start(std::string& why, bool& skip) {
    skip = false;
    harness_ =
        std::make_unique<HarnessProcess>(std::vector<std::string>{"session", "--artefacts", artefacts_.string()});
    if (!harness_->start(why)) return false;
    const auto first = harness_->readLine(std::chrono::seconds(60));
    if (!first) {
        why = "the session never said it was ready";
        return false;
    }
    const QJsonObject ready = QJsonDocument::fromJson(QByteArray::fromStdString(*first)).object();
    if (ready.value("ok").toBool()) return true;
    skip = ready.contains("skip");
    why = (skip ? ready.value("skip") : ready.value("error")).toString().toStdString();
    if (why.empty()) why = *first;
    return false;
}

QJsonObject GameSession::request(QJsonObject req, std::chrono::milliseconds limit) {
    QJsonObject failed{{"ok", false}};
    if (!harness_ || !harness_->writeLine(QJsonDocument(req).toJson(QJsonDocument::Compact).toStdString())) {
        ADD_FAILURE() << "the session has ended; request " << req.value("op").toString().toStdString();
        return failed;
    }
    const auto line = harness_->readLine(limit);
    if (!line) {
        ADD_FAILURE() << "no answer from the session to " << req.value("op").toString().toStdString();
        return failed;
    }
    QJsonParseError error;
    const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(*line), &error).object();
    if (error.error != QJsonParseError::NoError) {
        ADD_FAILURE() << "the session answered " << *line;
        return failed;
    }
    if (!answer.value("ok").toBool())
        ADD_FAILURE() << "the session could not " << req.value("op").toString().toStdString() << ": "
                      << answer.value("error").toString().toStdString()
                      << answer.value("skip").toString().toStdString();
    return answer;
}

bool GameSession::hasXTest() { return request({{"op", "xtest"}}).value("yes").toBool(); }

pid_t GameSession::startGame(const std::string& executable, const std::filesystem::path& home, const std::string& log,
                             const std::map<std::string, std::string>& env) {
    QJsonObject vars;
    for (const auto& [k, v] : env) vars.insert(q(k), q(v));
    const QJsonObject a = request(
        {{"op", "game"}, {"executable", q(executable)}, {"home", q(home.string())}, {"log", q(log)}, {"env", vars}});
    return static_cast<pid_t>(a.value("pid").toInt(-1));
}

WindowSeen GameSession::findWindow(std::chrono::seconds limit) {
    const QJsonObject a = request({{"op", "window"}, {"limit", static_cast<double>(limit.count())}});
    WindowSeen w;
    w.found = a.value("found").toBool();
    w.width = a.value("width").toInt();
    w.height = a.value("height").toInt();
    if (a.value("min").isArray()) {
        w.hasMin = true;
        w.minWidth = a.value("min").toArray().at(0).toInt();
        w.minHeight = a.value("min").toArray().at(1).toInt();
    }
    if (a.value("max").isArray()) {
        w.hasMax = true;
        w.maxWidth = a.value("max").toArray().at(0).toInt();
        w.maxHeight = a.value("max").toArray().at(1).toInt();
    }
    return w;
}

Clock::time_point GameSession::closeWindow() { return fromSeconds(request({{"op", "close"}}).value("at").toDouble()); }

std::optional<GameEnd> GameSession::waitEnd(std::chrono::milliseconds limit) {
    const QJsonObject a = request({{"op", "wait_end"}, {"limit", seconds(limit)}}, limit + std::chrono::minutes(1));
    if (!a.value("ended").toBool()) return std::nullopt;
    return GameEnd{fromSeconds(a.value("at").toDouble()), a.value("exited").toBool(), a.value("status").toInt(),
                   a.value("signal").toInt()};
}

Clock::time_point GameSession::killGame() { return fromSeconds(request({{"op", "kill"}}).value("at").toDouble()); }

bool GameSession::capture(const std::string& name) {
    return request({{"op", "capture"}, {"name", q(name)}}).value("found").toBool();
}

bool GameSession::waitFor(const std::string& name, const std::string& screen, std::chrono::milliseconds limit) {
    return request({{"op", "wait"}, {"name", q(name)}, {"screen", q(screen)}, {"limit", seconds(limit)}},
                   limit + std::chrono::minutes(1))
        .value("found")
        .toBool();
}

bool GameSession::poll(const std::string& name, const std::string& screen, std::chrono::milliseconds limit) {
    return request({{"op", "wait"},
                    {"name", q(name)},
                    {"screen", q(screen)},
                    {"limit", seconds(limit)},
                    {"keep_never", false}},
                   limit + std::chrono::minutes(1))
        .value("found")
        .toBool();
}

bool GameSession::waitForChange(const std::string& name, const std::string& from, const std::string& region,
                                double above, std::chrono::milliseconds limit) {
    return request({{"op", "wait"},
                    {"name", q(name)},
                    {"screen", "changed"},
                    {"from", q(from)},
                    {"region", q(region)},
                    {"above", above},
                    {"limit", seconds(limit)}},
                   limit + std::chrono::minutes(1))
        .value("found")
        .toBool();
}

bool GameSession::settled(const std::string& name, const std::string& region, std::chrono::milliseconds limit) {
    return request({{"op", "settled"}, {"name", q(name)}, {"region", q(region)}, {"limit", seconds(limit)}})
        .value("found")
        .toBool();
}

bool GameSession::menuUp(const std::string& name, std::chrono::milliseconds limit) {
    return request({{"op", "menu_up"}, {"name", q(name)}, {"limit", seconds(limit)}}, limit + std::chrono::minutes(1))
        .value("found")
        .toBool();
}

bool GameSession::stepMenu(const std::string& name, const std::string& arrow) {
    return request({{"op", "step_menu"}, {"name", q(name)}, {"arrow", q(arrow)}}).value("found").toBool();
}

bool GameSession::shows(const std::string& shot, const std::string& screen) {
    return request({{"op", "shows"}, {"shot", q(shot)}, {"screen", q(screen)}}).value("yes").toBool();
}

double GameSession::difference(const std::string& a, const std::string& b, const std::string& region) {
    return request({{"op", "difference"}, {"a", q(a)}, {"b", q(b)}, {"region", q(region)}}).value("value").toDouble();
}

double GameSession::entryChange(const std::string& a, const std::string& b) {
    return request({{"op", "entry_change"}, {"a", q(a)}, {"b", q(b)}}).value("value").toDouble();
}

void GameSession::keep(const std::string& shot, const std::string& as) {
    request({{"op", "keep"}, {"shot", q(shot)}, {"as", q(as)}});
}

Clock::time_point GameSession::click(const std::string& place) {
    return fromSeconds(request({{"op", "click"}, {"place", q(place)}}).value("at").toDouble());
}

void GameSession::chord(const std::string& modifier, const std::string& key) {
    request({{"op", "chord"}, {"modifier", q(modifier)}, {"key", q(key)}});
}

void GameSession::type(const std::string& text) { request({{"op", "type"}, {"text", q(text)}}); }

std::optional<std::string> GameSession::text(const std::string& region, const std::string& name,
                                             std::chrono::milliseconds limit, const std::string& ink, int segmentation,
                                             const std::string& expect, const std::string& match) {
    return textOrNothing(request({{"op", "text"},
                                  {"region", q(region)},
                                  {"name", q(name)},
                                  {"limit", seconds(limit)},
                                  {"ink", q(ink)},
                                  {"psm", segmentation},
                                  {"expect", q(expect)},
                                  {"match", q(match)}},
                                 limit + std::chrono::minutes(1))
                             .value("text"));
}

std::optional<std::string> GameSession::rowNumbers(int first, int blankFrom, const std::string& name,
                                                   std::chrono::milliseconds limit) {
    return textOrNothing(request({{"op", "row_numbers"},
                                  {"first", first},
                                  {"blank_from", blankFrom},
                                  {"name", q(name)},
                                  {"limit", seconds(limit)}},
                                 limit + std::chrono::minutes(1))
                             .value("text"));
}

std::string GameSession::rowNumbersText(int first) {
    std::string text;
    for (int k = 0; k < 10; ++k) text += std::to_string(first + k) + ".";
    return text;
}

PlayedGame GameSession::play(Clock::time_point mulai, const std::string& empty, const std::string& turn,
                             Clock::time_point turnSeen) {
    const auto secondsOf = [](Clock::time_point t) {
        return std::chrono::duration<double>(t.time_since_epoch()).count();
    };
    const QJsonObject a = request({{"op", "play"},
                                   {"mulai", secondsOf(mulai)},
                                   {"empty", q(empty)},
                                   {"turn", q(turn)},
                                   {"turn_seen", secondsOf(turnSeen)}},
                                  std::chrono::minutes(5));
    PlayedGame p;
    p.result = a.value("found").toBool();
    p.seconds = a.value("seconds").toDouble();
    p.turns = a.value("turns").toInt();
    p.targetHits = a.value("targetHits").toInt();
    p.clockHits = a.value("clockHits").toInt();
    p.unsure = a.value("unsure").toInt();
    p.misread = a.value("misread").toInt();
    p.bombClicked = a.value("bombClicked").toBool();
    p.log = a.value("log").toString().toStdString();
    return p;
}

}  // namespace korvala::testing
