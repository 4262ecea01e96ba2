// The score service's transfer channel against a real FTP server on loopback.
#include "system/transfer/curl_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "doubles/log_recording.h"
#include "ftp_fixture.h"
#include "system/score_server/loopback_server.h"

namespace korvala {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using transfer_test::closedPort;
using transfer_test::FtpServer;
using transfer_test::percentName;
using transfer_test::readAll;
using transfer_test::ServerOptions;
using transfer_test::splitCrLf;
using transfer_test::TempDir;
using transfer_test::WindowThread;

constexpr int kDone = CurlChannel::kStateCompleted;
constexpr int kFailed = CurlChannel::kStateFailed;
constexpr auto kHangLimit = 30s;

struct Report {
    int state;
    std::string response;
};

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t count(const std::vector<std::string>& log, std::string_view prefix) {
    return std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

std::string joined(const std::vector<std::string>& log) {
    std::string all;
    for (const std::string& l : log) all += l + "\n";
    return all;
}

bool holds(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// What the log must say of a failed request: its kind, its server and its
// reason on one line; what it must never say: the password, the score.
void expectFailureLine(const std::string& line, std::string_view kind, std::string_view server, std::string_view reason,
                       const std::vector<std::string>& secrets) {
    EXPECT_TRUE(line.starts_with(kind)) << line;
    EXPECT_TRUE(holds(line, server)) << line;
    EXPECT_TRUE(holds(line, reason)) << line << "\nreason: " << reason;
    EXPECT_FALSE(holds(line, "\n")) << line;
    for (const std::string& secret : secrets) EXPECT_FALSE(holds(line, secret)) << line << "\nholds " << secret;
}

class TransferChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = dir.path() / "home";
        data = dir.path() / "data";
        fs::create_directories(home / "Korvala");
        fs::create_directories(data);
        serverLog = dir.path() / "server.log";
    }

    FtpServer& start(ServerOptions options = {}) {
        if (options.log.empty()) options.log = serverLog;
        server = std::make_unique<FtpServer>(home, options);
        return *server;
    }

    // A channel whose reports are recorded; by default the whole response is
    // read the moment the report arrives, as the game does. It trusts
    // `caFile` for every host, and speaks plain FTP to a server that refuses
    // TLS (as most servers of these tests do) while `plainFtp` holds.
    std::unique_ptr<CurlChannel> open(CurlChannel::NameMapping mapping = percentName, fs::path caFile = {},
                                      CurlChannel::Limits limits = {}, bool readOnReport = true) {
        fs::path folder = data;
        auto resolve = [folder](const std::string& gamePath) -> std::optional<fs::path> {
            if (gamePath.rfind("C:/", 0) != 0) return std::nullopt;
            return folder / percentName(gamePath.substr(3));
        };
        auto channel = std::make_unique<CurlChannel>(window.poster(), resolve, std::move(mapping),
                                                     Trust{std::move(caFile), {}, plainFtp, {}}, limits);
        CurlChannel* c = channel.get();
        channel->stateChanged = [this, c, readOnReport](int state) {
            reports.push_back({state, readOnReport ? readAll(*c) : std::string()});
        };
        return channel;
    }

    ChannelSettings settings(const std::string& url, std::string password = "secret",
                             std::string timeout = "10") const {
        ChannelSettings s;
        s.URL = url;
        s.UserName = "korvala";
        s.Password = std::move(password);
        s.RequestTimeout = std::move(timeout);
        return s;
    }
    ChannelSettings settings() const { return settings(server->url()); }

    static TransferRequest listing(std::string folder = "Korvala/") {
        TransferRequest r;
        r.kind = TransferRequest::Kind::Listing;
        r.operation = "DIR " + folder;
        r.folder = std::move(folder);
        return r;
    }
    static TransferRequest upload(const std::string& name, std::string folder = "Korvala/") {
        TransferRequest r;
        r.kind = TransferRequest::Kind::Upload;
        r.localPath = "C:/" + name;
        r.remotePath = folder + name;
        r.operation = "PUT " + r.localPath + " " + r.remotePath;
        return r;
    }

    void writeScore(const std::string& name, const std::string& content) {
        std::ofstream(data / percentName(name), std::ios::binary) << content;
    }

    bool waitReports(std::size_t n, std::chrono::milliseconds limit = kHangLimit) {
        return window.runUntil([&] { return reports.size() >= n; }, limit);
    }

    // Files in the account's home folder outside the score folder.
    std::vector<std::string> strayFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(home))
            if (e.path().filename() != "Korvala") names.push_back(e.path().filename().string());
        return names;
    }

    TempDir dir;
    bool plainFtp = true;
    fs::path home, data, serverLog;
    std::unique_ptr<FtpServer> server;
    WindowThread window;
    std::vector<Report> reports;
};

TEST_F(TransferChannelTest, UploadedScoreIsListedBack) {
    log::Recording said;
    start();
    auto channel = open();
    writeScore("Anna", "1200\r\nAnna\r\n");

    channel->execute(settings(), upload("Anna"));
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(reports[0].state, kDone) << channel->lastReason();
    EXPECT_EQ(reports[0].response, "");
    EXPECT_EQ(slurp(home / "Korvala" / "Anna"), "1200\r\nAnna\r\n");
    EXPECT_TRUE(strayFiles().empty());

    channel->execute(settings(), listing());
    ASSERT_TRUE(waitReports(2));
    EXPECT_EQ(reports[1].state, kDone) << channel->lastReason();
    EXPECT_EQ(reports[1].response, "Anna\r\n");

    // Transfers that went well are details, never warnings.
    const std::string where = "127.0.0.1:" + std::to_string(server->port());
    std::vector<std::string> done;
    for (const std::string& d : said.messages(log::Level::Detail))
        if (holds(d, " done")) done.push_back(d);
    EXPECT_TRUE(said.messages(log::Level::Warning).empty()) << said.text();
    ASSERT_EQ(done.size(), 2u) << said.text();
    EXPECT_TRUE(done[0].starts_with("upload to " + where)) << said.text();
    EXPECT_TRUE(done[1].starts_with("listing from " + where)) << said.text();
    EXPECT_FALSE(holds(said.text(), "Anna")) << said.text();
}

// Every name ends up as exactly one file inside the score folder, under its
// mapped name; nothing else reaches the server as a command.
TEST_F(TransferChannelTest, NamesArriveWholeInsideTheScoreFolder) {
    const std::vector<std::string> names = {
        "GOOD TIME",
        " GOOD TIME",
        "  two leading",
        "trailing ",
        "../x",
        "a/b",
        "x\r\nDELE y",
        "..",
        ".",
        "..\\..\\x",
        "%2E",
        ".hidden",
        "\xc3\x85sa \xc3\x96"
        "berg",
    };
    start();
    std::ofstream(home / "Korvala" / "y") << "keep";
    std::ofstream(home / "x") << "keep";
    auto channel = open();

    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE("name '" + names[i] + "'");
        writeScore(names[i], "score " + std::to_string(i));
        channel->execute(settings(), upload(names[i]));
        ASSERT_TRUE(waitReports(i + 1));
        EXPECT_EQ(reports[i].state, kDone) << channel->lastReason();
        EXPECT_EQ(slurp(home / "Korvala" / percentName(names[i])), "score " + std::to_string(i));
    }

    std::vector<std::string> expected = {"y"};
    for (const std::string& n : names) expected.push_back(percentName(n));
    std::vector<std::string> onDisk;
    for (const auto& e : fs::directory_iterator(home / "Korvala")) onDisk.push_back(e.path().filename().string());
    std::sort(expected.begin(), expected.end());
    std::sort(onDisk.begin(), onDisk.end());
    EXPECT_EQ(onDisk, expected);
    EXPECT_EQ(strayFiles(), std::vector<std::string>{"x"});
    EXPECT_EQ(slurp(home / "x"), "keep");

    std::vector<std::string> log = server->log();
    EXPECT_EQ(count(log, "plain DELE"), 0u) << joined(log);
    EXPECT_EQ(count(log, "plain RNTO"), names.size()) << joined(log);

    channel->execute(settings(), listing());
    ASSERT_TRUE(waitReports(names.size() + 1));
    std::vector<std::string> listed;
    ASSERT_TRUE(splitCrLf(reports.back().response, listed));
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);
}

// A mapping that lets a separator or a control character through is caught
// by the channel itself: the upload fails and nothing is sent.
TEST_F(TransferChannelTest, UnsafeMappedNameIsNeverSent) {
    start();
    std::ofstream(home / "Korvala" / "y") << "keep";
    auto identity = [](std::string_view name) { return std::string(name); };
    auto channel = open(identity);
    const std::vector<std::string> names = {"x\r\nDELE y", "x\nDELE y", "tab\tname", "../x", "a/b", "..", "."};
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        std::ofstream(data / percentName(names[i])) << "score";
        channel->execute(settings(), upload(names[i]));
        ASSERT_TRUE(waitReports(i + 1));
        EXPECT_EQ(reports[i].state, kFailed);
    }
    EXPECT_TRUE(server->log().empty()) << joined(server->log());
    EXPECT_EQ(slurp(home / "Korvala" / "y"), "keep");
}

// Each failure ends in one failed report with an empty response, and an
// unread earlier response is gone once it arrives.
TEST_F(TransferChannelTest, FailedRequestsReportOnceWithEmptyResponse) {
    start();
    std::ofstream(home / "Korvala" / "Anna") << "1";
    std::string down = "ftp://korvala@127.0.0.1:" + std::to_string(closedPort());
    const std::string up = "127.0.0.1:" + std::to_string(server->port());
    const std::string downServer = down.substr(down.find('@') + 1);
    struct Case {
        const char* what;
        ChannelSettings settings;
        TransferRequest request;
        std::string server;  // as the log names it
        const char* reason;  // a part of the log's reason
    };
    writeScore("Bert", "2");
    const std::string score = "0(Korvala)(pemain@example.com)(indonesia)";
    writeScore(score, "3");
    // A score file that is a link (here to a file of the player's): never
    // followed, never sent.
    std::ofstream(dir.path() / "private.txt") << "secret";
    fs::create_symlink(dir.path() / "private.txt", data / percentName("Link"));
    const std::vector<Case> cases = {
        {"local file a link", settings(), upload("Link"), up, "cannot be read"},
        {"wrong password", settings(server->url(), "wrong"), listing(), up, "Access denied"},
        {"wrong password, upload", settings(server->url(), "wrong"), upload("Bert"), up, "Access denied"},
        {"server down", settings(down), listing(), downServer, "connect"},
        {"server down, upload", settings(down), upload("Bert"), downServer, "connect"},
        {"folder missing", settings(), listing("Nowhere/"), up, ""},
        {"local file missing", settings(), upload("Nobody"), up, "missing"},
        // The server refuses to move the score into a folder it lacks: the
        // command is named, never its argument (the score, the e-mail).
        {"score folder missing, upload", settings(), upload(score, "Missing/"), up, "RNTO"},
        {"not an FTP URL", settings("http://127.0.0.1:" + std::to_string(server->port())), listing(), up,
         "not an ftp:// URL"},
        {"control character in the password", settings(server->url(), "sec\r\nDELE y"), listing(), up,
         "control characters"},
    };
    log::Recording said;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto channel = open(percentName, {}, {}, /*readOnReport=*/false);
        reports.clear();
        channel->execute(settings(), listing());
        ASSERT_TRUE(waitReports(1));
        ASSERT_EQ(reports[0].state, kDone);
        // Nothing of it is read: the next report's empty response takes its
        // place.

        said.clear();
        channel->execute(c.settings, c.request);
        ASSERT_TRUE(waitReports(2));
        EXPECT_EQ(reports[1].state, kFailed);
        EXPECT_FALSE(channel->lastReason().empty());
        EXPECT_EQ(channel->getChunk(4096), "");
        window.runFor(300ms);
        EXPECT_EQ(reports.size(), 2u);

        // One warning says why, in the channel's own words.
        const std::vector<std::string> warnings = said.messages(log::Level::Warning);
        ASSERT_EQ(warnings.size(), 1u) << said.text();
        const bool isUpload = c.request.kind == TransferRequest::Kind::Upload;
        const std::string name = isUpload ? c.request.remotePath.substr(c.request.remotePath.find('/') + 1) : "";
        std::vector<std::string> secrets = {c.settings.Password};
        if (isUpload) secrets.push_back(name);
        expectFailureLine(warnings[0], isUpload ? "upload to " : "listing from ", c.server, channel->lastReason(),
                          secrets);
        EXPECT_TRUE(holds(warnings[0], c.reason)) << warnings[0];
    }
    EXPECT_FALSE(fs::exists(home / "Korvala" / "Bert"));
    EXPECT_FALSE(fs::exists(home / "Korvala" / "Link"));
    EXPECT_TRUE(strayFiles().empty());
}

// A response being read is read to its end, whatever arrives meanwhile: the
// next report waits until getChunk() has returned empty, then brings its
// own response. A report whose response nobody began to read does not wait.
TEST_F(TransferChannelTest, AReportDuringAReadWaitsUntilTheReadIsDone) {
    start();
    std::ofstream(home / "Korvala" / "Anna") << "1";
    auto channel = open(percentName, {}, {}, /*readOnReport=*/false);
    channel->execute(settings(), listing());
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(channel->getChunk(2), "An");

    std::ofstream(home / "Korvala" / "Bert") << "2";
    channel->execute(settings(), listing());
    ASSERT_FALSE(window.runUntil([&] { return reports.size() >= 2; }, 1500ms)) << "held while a read goes on";
    EXPECT_EQ(readAll(*channel, 3), "na\r\n") << "the rest of its own response, nothing of the next";

    ASSERT_TRUE(waitReports(2));
    EXPECT_EQ(readAll(*channel, 3), "Anna\r\nBert\r\n");

    std::ofstream(home / "Korvala" / "Cora") << "3";
    channel->execute(settings(), listing());  // the last response was never begun
    ASSERT_TRUE(waitReports(3));
    EXPECT_EQ(readAll(*channel), "Anna\r\nBert\r\nCora\r\n");
}

// A listing withdraws every older one, waiting, running or with its report
// still on the way to the window: a burst of listings gives one report,
// holding the newest listing. Uploads all run, in order.
TEST_F(TransferChannelTest, TheNewestListingWithdrawsTheOlderOnes) {
    start();
    writeScore("Anna", "1");
    log::Recording said;  // a withdrawn listing has not failed: no warning
    {
        SCOPED_TRACE("a burst");
        auto channel = open();
        reports.clear();
        for (int i = 0; i < 5; ++i) channel->execute(settings(), listing());
        ASSERT_TRUE(waitReports(1));
        window.runFor(500ms);
        EXPECT_EQ(reports.size(), 1u);
    }
    {
        SCOPED_TRACE("the older one's report already on its way");
        auto channel = open();
        reports.clear();
        channel->execute(settings(), listing());
        std::this_thread::sleep_for(800ms);  // done; its report waits for the window thread
        std::ofstream(home / "Korvala" / "Bert") << "2";
        channel->execute(settings(), listing());
        ASSERT_TRUE(waitReports(1));
        window.runFor(500ms);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].response, "Bert\r\n");
    }
    EXPECT_TRUE(said.messages(log::Level::Warning).empty()) << said.text();
}

TEST_F(TransferChannelTest, ARunningListingIsWithdrawnAtOnce) {
    log::Recording said;
    start({.mode = "stall"});
    std::ofstream(home / "Korvala" / "Anna") << "1";
    auto channel = open();
    channel->execute(settings(server->url(), "secret", "50"), listing());
    std::this_thread::sleep_for(500ms);  // it runs, and never ends by itself
    const auto asked = std::chrono::steady_clock::now();
    channel->execute(settings(server->url(), "secret", "2"), listing());
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(reports[0].state, kFailed) << "the newer one times out after 2 s";
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s) << "it did not wait for the older one's 50 s";
    window.runFor(500ms);
    EXPECT_EQ(reports.size(), 1u) << "the older one gives no report";
    // Only the newer one failed; the older one was withdrawn, a detail.
    const std::vector<std::string> warnings = said.messages(log::Level::Warning);
    ASSERT_EQ(warnings.size(), 1u) << said.text();
    expectFailureLine(warnings[0], "listing from ", "127.0.0.1:" + std::to_string(server->port()),
                      channel->lastReason(), {"secret"});
    const std::vector<std::string> details = said.messages(log::Level::Detail);
    EXPECT_EQ(std::count_if(details.begin(), details.end(), [](const std::string& d) { return holds(d, "withdrawn"); }),
              1)
        << said.text();
}

// A failed upload (here the rename into a folder that does not exist)
// removes its temporary file.
TEST_F(TransferChannelTest, FailedUploadLeavesNoTemporaryFile) {
    start();
    auto channel = open();
    writeScore("Anna", "1200");
    channel->execute(settings(), upload("Anna", "Missing/"));
    channel->execute(settings(), listing());  // runs after the cleanup
    ASSERT_TRUE(waitReports(2));
    EXPECT_EQ(reports[0].state, kFailed);
    EXPECT_EQ(reports[1].state, kDone);
    EXPECT_EQ(reports[1].response, "");
    EXPECT_TRUE(strayFiles().empty());
    EXPECT_EQ(count(server->log(), "plain DELE"), 1u) << joined(server->log());
}

struct SilentCase {
    const char* mode;
    const char* what;
};
const SilentCase kSilentServers[] = {
    {"silent", "a server that never answers"},
    {"stall", "a server that stops answering mid-listing"},
};

TEST_F(TransferChannelTest, SilentServerFailsWithinTheTimeout) {
    for (int i = 0; i < 300; ++i) std::ofstream(home / "Korvala" / ("score " + std::to_string(i))) << i;
    for (const SilentCase& c : kSilentServers) {
        SCOPED_TRACE(c.what);
        start({.mode = c.mode});
        auto channel = open();
        reports.clear();
        auto begin = std::chrono::steady_clock::now();
        channel->execute(settings(server->url(), "secret", "3"), listing());
        ASSERT_TRUE(waitReports(1));
        auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        std::printf("  %s: failed after %.2f s (RequestTimeout 3 s)\n", c.what, took);
        EXPECT_EQ(reports[0].state, kFailed);
        EXPECT_EQ(reports[0].response, "");
        window.runFor(200ms);
        EXPECT_EQ(reports.size(), 1u);
    }
}

TEST_F(TransferChannelTest, DestroyingMidTransferReturnsPromptlyWithoutReport) {
    for (int i = 0; i < 300; ++i) std::ofstream(home / "Korvala" / ("score " + std::to_string(i))) << i;
    writeScore("Anna", "1");
    for (const SilentCase& c : kSilentServers) {
        SCOPED_TRACE(c.what);
        start({.mode = c.mode});
        auto channel = open();
        reports.clear();
        channel->execute(settings(server->url(), "secret", "50"), listing());
        channel->execute(settings(server->url(), "secret", "50"), upload("Anna"));
        std::this_thread::sleep_for(700ms);
        auto begin = std::chrono::steady_clock::now();
        channel.reset();
        auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        std::printf("  %s: destroyed in %.3f s\n", c.what, took);
        EXPECT_LT(took, 10.0);
        window.runFor(300ms);
        EXPECT_TRUE(reports.empty());
    }
}

TEST_F(TransferChannelTest, LargeListingArrivesWholeInCrLfLines) {
    constexpr int kNames = 100000;
    std::vector<std::string> names;
    names.reserve(kNames);
    char name[32];
    for (int i = 0; i < kNames; ++i) {
        std::snprintf(name, sizeof name, "score %06d", i);
        names.emplace_back(name);
        std::ofstream(home / "Korvala" / name);
    }
    start();
    auto channel = open(percentName, {}, {}, /*readOnReport=*/false);
    channel->execute(settings(), listing());
    ASSERT_TRUE(waitReports(1));
    ASSERT_EQ(reports[0].state, kDone) << channel->lastReason();

    std::string text = readAll(*channel, 4096);  // throws on a chunk over 4096 bytes
    std::vector<std::string> listed;
    ASSERT_TRUE(splitCrLf(text, listed));
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, names);
    EXPECT_EQ(channel->getChunk(4096), "");
}

// The cap is on the text the game reads: a listing that fills it exactly is
// held, one byte more is a failed listing.
TEST_F(TransferChannelTest, ListingBeyondTheCapFails) {
    for (int i = 0; i < 100; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "n%03d", i);
        std::ofstream(home / "Korvala" / name);
    }
    start();
    const std::size_t exact = 100 * 6;  // "n000\r\n" ...
    struct Case {
        std::size_t cap;
        int state;
        std::size_t size;
    };
    for (Case c : {Case{exact, kDone, exact}, Case{exact - 1, kFailed, 0}}) {
        SCOPED_TRACE(c.cap);
        auto channel = open(percentName, {}, {.maxResponseBytes = c.cap});
        reports.clear();
        channel->execute(settings(), listing());
        ASSERT_TRUE(waitReports(1));
        EXPECT_EQ(reports[0].state, c.state);
        EXPECT_EQ(reports[0].response.size(), c.size);
    }
}

TEST_F(TransferChannelTest, RequestsRunOneAtATimeInOrder) {
    start();
    auto channel = open();
    writeScore("Anna", "1");
    writeScore("Bert", "2");
    writeScore("Cora", "3");
    channel->execute(settings(), upload("Anna"));
    channel->execute(settings(), upload("Bert"));
    channel->execute(settings(), upload("Cora", "Nowhere/"));
    channel->execute(settings(), listing());
    ASSERT_TRUE(waitReports(4));
    std::vector<int> states;
    for (const Report& r : reports) states.push_back(r.state);
    EXPECT_EQ(states, (std::vector<int>{kDone, kDone, kFailed, kDone}));
    EXPECT_EQ(reports[3].response, "Anna\r\nBert\r\n");
    window.runFor(300ms);
    EXPECT_EQ(reports.size(), 4u);
}

TEST_F(TransferChannelTest, RequestBeyondTheQueueFailsAtOnce) {
    start({.mode = "silent"});
    auto channel = open(percentName, {}, {.maxWaiting = 2});
    writeScore("Anna", "1");
    channel->execute(settings(server->url(), "secret", "50"), upload("Anna"));
    std::this_thread::sleep_for(500ms);  // the first one is running
    for (int i = 0; i < 3; ++i) channel->execute(settings(server->url(), "secret", "50"), upload("Anna"));
    ASSERT_TRUE(waitReports(1, 5s));
    EXPECT_EQ(reports[0].state, kFailed);
    window.runFor(300ms);
    EXPECT_EQ(reports.size(), 1u);
}

// "Ya" asks for an upload and at once for a listing, on two channels: with
// the gate they share, the listing waits for the upload, however slow, and
// the board shows the score just sent.
TEST_F(TransferChannelTest, AListingWaitsForTheUploadAskedBeforeIt) {
    start({.mode = "slow"});
    writeScore("Anna", std::string(96 * 1024, 'x'));  // some 3 s at the server's pace
    for (bool gated : {true, false}) {
        SCOPED_TRACE(gated ? "with the gate" : "without it, the listing overtakes the upload");
        fs::remove(home / "Korvala" / "Anna");
        reports.clear();
        auto inet3 = open();
        auto inet1 = open();
        if (gated) {
            auto gate = std::make_shared<UploadGate>();
            inet3->setUploadGate(gate);
            inet1->setUploadGate(gate);
        }
        std::optional<std::string> listed;
        bool uploaded = false;
        inet3->stateChanged = [&](int state) { uploaded = state == kDone; };
        inet1->stateChanged = [&](int) { listed = readAll(*inet1); };
        inet3->execute(settings(), upload("Anna"));
        inet1->execute(settings(), listing());
        ASSERT_TRUE(window.runUntil([&] { return listed.has_value(); }, kHangLimit));
        EXPECT_EQ(uploaded, gated) << "the upload had ended when the listing reported";
        EXPECT_EQ(*listed, gated ? "Anna\r\n" : "");
        ASSERT_TRUE(window.runUntil([&] { return uploaded; }, kHangLimit));
    }
}

// Uploads queued one behind the other on the upload channel are all waited
// for, however long the queue: the listing reports after the last of them
// and holds every score. Each upload here takes about 2 s at the server's
// pace, under its own 3 s time-out; the two together take longer than it.
TEST_F(TransferChannelTest, AListingWaitsForEveryUploadQueuedBeforeIt) {
    start({.mode = "slow"});
    writeScore("Anna", std::string(96 * 1024, 'x'));
    writeScore("Bert", std::string(96 * 1024, 'y'));
    auto inet3 = open();
    auto inet1 = open();
    auto gate = std::make_shared<UploadGate>();
    inet3->setUploadGate(gate);
    inet1->setUploadGate(gate);
    std::vector<std::string> order;
    std::string listed;
    inet3->stateChanged = [&](int state) { order.push_back(state == kDone ? "upload" : "failed upload"); };
    inet1->stateChanged = [&](int) {
        listed = readAll(*inet1);
        order.push_back("listing");
    };
    const ChannelSettings s = settings(server->url(), "secret", "3");
    inet3->execute(s, upload("Anna"));
    inet3->execute(s, upload("Bert"));
    inet1->execute(s, listing());
    ASSERT_TRUE(window.runUntil([&] { return order.size() >= 3; }, kHangLimit));
    EXPECT_EQ(order, (std::vector<std::string>{"upload", "upload", "listing"}));
    EXPECT_EQ(listed, "Anna\r\nBert\r\n");
}

// The wait before connecting (the game's loopback score server starting)
// counts within the request's time-out and ends when the channel goes: here
// a stand-in that would wait 20 s unless told otherwise, and the game's own
// loopback server with a script that never gets ready.
TEST_F(TransferChannelTest, TheWaitBeforeConnectingKeepsToTheTimeoutAndEndsWithTheChannel) {
    start();
    struct Wait {
        const char* what;
        std::function<CurlChannel::BeforeConnect()> make;
    };
    std::vector<std::chrono::milliseconds> limits;
    std::mutex limitsMutex;
    LoopbackServerPlan plan;
    plan.script = KORVALA_NEVER_READY_SERVER;
    plan.folder = dir.path() / "loopback";
    plan.ftpPort = closedPort();
    const std::vector<Wait> waits = {
        {"a wait that keeps to what it is given",
         [&] {
             return [&](std::chrono::milliseconds limit, std::stop_token stop) {
                 {
                     std::lock_guard lock(limitsMutex);
                     limits.push_back(limit);
                 }
                 std::mutex m;
                 std::condition_variable_any cv;
                 std::unique_lock lock(m);
                 cv.wait_for(lock, stop, std::min<std::chrono::milliseconds>(limit, 20s), [] { return false; });
             };
         }},
        {"the loopback server, never ready",
         [&] {
             auto server = std::make_shared<LoopbackScoreServer>(plan);
             return [server](std::chrono::milliseconds limit, std::stop_token stop) {
                 server->ensureRunning(limit, std::move(stop));
             };
         }},
    };
    for (const Wait& w : waits) {
        SCOPED_TRACE(w.what);
        {
            reports.clear();
            auto channel = open();
            channel->setBeforeConnect(w.make());
            const auto begin = std::chrono::steady_clock::now();
            channel->execute(settings(server->url(), "secret", "2"), listing());
            ASSERT_TRUE(waitReports(1));
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            std::printf("  %s, RequestTimeout 2 s: reported after %.2f s\n", w.what, took);
            EXPECT_EQ(reports[0].state, kFailed) << "the time-out was spent waiting";
            EXPECT_LT(took, 5.0);
        }
        {
            reports.clear();
            auto channel = open();
            channel->setBeforeConnect(w.make());
            channel->execute(settings(server->url(), "secret", "50"), listing());
            std::this_thread::sleep_for(500ms);  // it waits
            const auto begin = std::chrono::steady_clock::now();
            channel.reset();
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            std::printf("  %s: destroyed during the wait in %.3f s\n", w.what, took);
            EXPECT_LT(took, 2.0);
            window.runFor(200ms);
            EXPECT_TRUE(reports.empty());
        }
    }
    ASSERT_EQ(limits.size(), 2u);
    EXPECT_LE(limits[0], 2s);
    EXPECT_GT(limits[0], 1s);
}

// A request whose options libcurl refuses (here a password longer than it
// takes) fails before anything is sent, saying which option.
TEST_F(TransferChannelTest, ARequestWhoseOptionsAreRefusedSendsNothing) {
    log::Recording said;
    start();
    auto channel = open();
    channel->execute(settings(server->url(), std::string(9'000'000, 'p')), listing());
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(reports[0].state, kFailed);
    EXPECT_TRUE(holds(channel->lastReason(), "CURLOPT_PASSWORD")) << channel->lastReason();
    EXPECT_TRUE(server->log().empty()) << joined(server->log());
    const std::vector<std::string> warnings = said.messages(log::Level::Warning);
    ASSERT_EQ(warnings.size(), 1u) << said.text().substr(0, 2000);
    expectFailureLine(warnings[0], "listing from ", "127.0.0.1:" + std::to_string(server->port()),
                      "libcurl refused the option CURLOPT_PASSWORD", {"pppppppp"});
}

// No file name is longer than 4,096 bytes: a listing's longer lines (ten
// of 5 MB and one of 10 MB from a hostile server) are dropped, and the log
// says so once for the listing.
TEST_F(TransferChannelTest, ListingLinesTooLongForANameAreDropped) {
    log::Recording said;
    start({.mode = "long-names"});
    std::ofstream(home / "Korvala" / "Anna") << "1";
    std::ofstream(home / "Korvala" / "Bert") << "2";
    auto channel = open();
    channel->execute(settings(), listing());
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(reports[0].state, kDone) << channel->lastReason();
    EXPECT_EQ(reports[0].response, "Anna\r\nBert\r\n");
    const std::vector<std::string> warnings = said.messages(log::Level::Warning);
    ASSERT_EQ(warnings.size(), 1u) << said.text();
    EXPECT_TRUE(warnings[0].starts_with("listing from 127.0.0.1:" + std::to_string(server->port()) + ": 11 lines"))
        << warnings[0];
    EXPECT_TRUE(holds(warnings[0], "4096")) << warnings[0];
}

// Trust is decided per request by the host: the loopback server's own
// certificate and the score service's for a loopback host once they exist,
// a given CA file instead of anything else.
TEST_F(TransferChannelTest, TrustFollowsTheHost) {
    const fs::path cert = dir.path() / "server.pem", other = dir.path() / "other.pem";
    FtpServer::makeCert(cert);
    FtpServer::makeCert(other);
    start({.mode = "tls", .cert = cert});
    struct Case {
        const char* what;
        Trust trust;
        int state;
    };
    const fs::path missing = dir.path() / "missing.pem";
    const std::vector<Case> cases = {
        {"the loopback server's certificate", {{}, cert, false}, kDone},
        {"no loopback certificate yet: the system's store", {{}, missing, false}, kFailed},
        {"a given CA file wins", {other, cert, false}, kFailed},
        {"a given CA file alone", {cert, {}, false}, kDone},
        // The score service's certificate, beside the game's own server's.
        {"the score service's certificate", {{}, missing, false, cert}, kDone},
        {"the service's, the game's own server's another", {{}, other, false, cert}, kDone},
        {"the game's own server's, the service's another", {{}, cert, false, other}, kDone},
        {"neither is the server's", {{}, other, false, other}, kFailed},
        {"a given CA file wins over both", {other, cert, false, cert}, kFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reports.clear();
        auto channel =
            std::make_unique<CurlChannel>(window.poster(), nullptr, percentName, c.trust, CurlChannel::Limits{});
        channel->stateChanged = [this](int state) { reports.push_back({state, {}}); };
        channel->execute(settings(), listing());
        ASSERT_TRUE(waitReports(1));
        EXPECT_EQ(reports[0].state, c.state) << channel->lastReason();
    }
}

class TransferChannelTlsTest : public TransferChannelTest {
protected:
    void SetUp() override {
        TransferChannelTest::SetUp();
        cert = dir.path() / "server.pem";
        FtpServer::makeCert(cert);
    }
    fs::path cert;
};

TEST_F(TransferChannelTlsTest, LoginIsEncryptedWhereTheServerOffersTls) {
    start({.mode = "tls", .cert = cert});
    auto channel = open(percentName, cert);
    writeScore(" GOOD TIME", "900");
    channel->execute(settings(), upload(" GOOD TIME"));
    channel->execute(settings(), listing());
    ASSERT_TRUE(waitReports(2));
    EXPECT_EQ(reports[0].state, kDone) << channel->lastReason();
    EXPECT_EQ(reports[1].state, kDone) << channel->lastReason();
    EXPECT_EQ(reports[1].response, " GOOD TIME\r\n");
    EXPECT_EQ(slurp(home / "Korvala" / " GOOD TIME"), "900");

    std::vector<std::string> log = server->log();
    EXPECT_EQ(count(log, "tls PASS"), 2u) << joined(log);
    EXPECT_EQ(count(log, "plain PASS"), 0u) << joined(log);
    EXPECT_EQ(count(log, "plain USER"), 0u) << joined(log);
    // The file and the listing are protected too, not only the login.
    EXPECT_EQ(count(log, "tls PROT 'P'"), 2u) << joined(log);
    EXPECT_EQ(count(log, "tls STOR"), 1u) << joined(log);
    EXPECT_EQ(count(log, "tls NLST"), 1u) << joined(log);
}

// A server that refuses AUTH TLS, here on loopback (another program on the
// game's port), gets the login in plain FTP only where the player set
// plain-ftp; otherwise it gets no login at all, not even the user name, and
// the log says once which port is held and what the player can do.
TEST_F(TransferChannelTlsTest, AServerWithoutTlsGetsALoginOnlyWithPlainFtp) {
    writeScore("Anna", "1");
    for (bool allowed : {true, false}) {
        SCOPED_TRACE(allowed ? "plain-ftp set" : "plain-ftp not set");
        log::Recording said;
        reports.clear();
        fs::remove(home / "Korvala" / "Anna");
        start({.log = dir.path() / (allowed ? "plain.log" : "refused.log")});
        plainFtp = allowed;
        auto channel = open(percentName, cert);
        channel->execute(settings(), upload("Anna"));
        channel->execute(settings(), listing());
        ASSERT_TRUE(waitReports(2));
        const std::vector<std::string> log = server->log();
        EXPECT_EQ(count(log, "plain AUTH"), 4u) << joined(log);  // TLS, then SSL, per request
        const std::string where = "127.0.0.1:" + std::to_string(server->port());
        if (allowed) {
            EXPECT_EQ(reports[0].state, kDone) << channel->lastReason();
            EXPECT_EQ(reports[1].response, "Anna\r\n");
            EXPECT_EQ(count(log, "plain PASS"), 2u) << joined(log);
            // Allowed, so not a warning: a detail per request.
            const std::vector<std::string> details = said.messages(log::Level::Detail);
            EXPECT_TRUE(said.messages(log::Level::Warning).empty()) << said.text();
            EXPECT_EQ(std::count_if(details.begin(), details.end(),
                                    [&](const std::string& d) {
                                        return d.starts_with(where + " refused TLS") && holds(d, "plain FTP");
                                    }),
                      2)
                << said.text();
            continue;
        }
        EXPECT_EQ(reports[0].state, kFailed);
        EXPECT_EQ(reports[1].state, kFailed);
        EXPECT_EQ(log.size(), count(log, "plain AUTH") + count(log, "plain QUIT")) << "nothing but AUTH\n"
                                                                                   << joined(log);
        EXPECT_FALSE(fs::exists(home / "Korvala" / "Anna"));
        const std::vector<std::string> warnings = said.messages(log::Level::Warning);
        ASSERT_EQ(warnings.size(), 3u) << said.text();
        EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                                [&](const std::string& w) { return holds(w, "failed: the server refused TLS"); }),
                  2)
            << said.text();
        const std::string& told = warnings[0];
        EXPECT_TRUE(told.starts_with(where + " is held by a server that refuses TLS")) << told;
        EXPECT_TRUE(holds(told, "plain-ftp") && holds(told, "ftp-host")) << "what the player can do: " << told;
    }
}

// A server that speaks TLS with a certificate the channel does not trust
// never gets the password, encrypted or not.
TEST_F(TransferChannelTlsTest, UntrustedCertificateNeverSendsThePassword) {
    fs::path other = dir.path() / "other.pem";
    FtpServer::makeCert(other);
    start({.mode = "tls", .cert = cert});
    writeScore("Anna", "1");
    log::Recording said;
    int told = 0;
    for (const fs::path& trusted : {fs::path(), other}) {
        SCOPED_TRACE("trusting '" + trusted.string() + "'");
        auto channel = open(percentName, trusted);
        reports.clear();
        said.clear();
        channel->execute(settings(), listing());
        channel->execute(settings(), upload("Anna"));
        ASSERT_TRUE(waitReports(2));
        EXPECT_EQ(reports[0].state, kFailed);
        EXPECT_EQ(reports[1].state, kFailed);

        // Each failure is a warning that says, on its line, that the
        // certificate is not trusted and why libcurl refused it; the first
        // one on this loopback port also says, once, that the port is held
        // by a server the game does not trust and what the player can do.
        std::vector<std::string> failures;
        const std::string where = "127.0.0.1:" + std::to_string(server->port());
        for (const std::string& w : said.messages(log::Level::Warning)) {
            if (w.starts_with(where + " is held by a score server whose certificate the game does not trust")) {
                ++told;
                EXPECT_TRUE(holds(w, "ca-file") && holds(w, "ftp-host")) << "what the player can do: " << w;
            } else {
                failures.push_back(w);
            }
        }
        ASSERT_EQ(failures.size(), 2u) << said.text();
        expectFailureLine(failures[0], "listing from ", where, "certificate is not trusted", {"secret", "Anna"});
        expectFailureLine(failures[1], "upload to ", where, channel->lastReason(), {"secret", "Anna"});
        EXPECT_TRUE(holds(failures[1], "SSL certificate problem")) << failures[1];
    }
    EXPECT_EQ(told, 1) << "said once";
    std::vector<std::string> log = server->log();
    EXPECT_EQ(count(log, "plain PASS"), 0u) << joined(log);
    EXPECT_EQ(count(log, "tls PASS"), 0u) << joined(log);
    EXPECT_EQ(count(log, "plain USER"), 0u) << joined(log);
    EXPECT_EQ(count(log, "tls USER"), 0u) << joined(log);
    EXPECT_FALSE(fs::exists(home / "Korvala" / "Anna"));
}

}  // namespace
}  // namespace korvala
