// The run's score service: command-line options over the player's settings
// file over the system-wide settings files over the build's defaults; a
// mistake on the command line stops the game, one in a settings file is
// ignored and said.
#include "system/settings/run_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvala::readRunSettings;
using korvala::RunSettings;
using korvala::ScoreService;
using korvala::SettingsOutcome;
using Action = SettingsOutcome::Action;

const RunSettings kDefaults{"127.0.0.1:2121", "korvala", "http://127.0.0.1:2180/", "", false};

// The service as text; an expected one is written as RunSettings, its host
// as the FTP URL carries it ("host:port").
std::string shown(const RunSettings& s) {
    return "{host=" + s.ftpHost + " user=" + s.ftpUser + " page=" + s.scoresPage + " ca=" + s.caFile +
           " plain=" + (s.plainFtp ? "true" : "false") + "}";
}
std::string shown(const ScoreService& s) {
    return shown(RunSettings{s.ftp.host.empty() ? "" : korvala::authorityOf(s.ftp), s.ftpUser, s.scoresPage, s.caFile,
                             s.plainFtp});
}

// Every notice, one a row, to show when a test fails.
std::string shown(const std::vector<std::string>& notices) {
    std::string all;
    for (const std::string& n : notices) all += n + "\n";
    return all;
}

std::string shown(Action a) {
    switch (a) {
        case Action::Run:
            return "Run";
        case Action::Help:
            return "Help";
        case Action::Version:
            return "Version";
        case Action::Fail:
            return "Fail";
    }
    return "?";
}

// A temporary folder standing in for $XDG_CONFIG_HOME (and $HOME) and for
// the two folders of $XDG_CONFIG_DIRS, with the settings files at their
// places, and a certificate file beside them.
class RunSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvala-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        config_ = root_ / "config";
        env_["XDG_CONFIG_HOME"] = config_.string();
        env_["HOME"] = (root_ / "home").string();
        env_["XDG_CONFIG_DIRS"] = (root_ / "xdg1").string() + ":" + (root_ / "xdg2").string();
        ca_ = root_ / "ca.pem";
        std::ofstream(ca_) << "-----BEGIN CERTIFICATE-----\n";
    }
    void TearDown() override { fs::remove_all(root_); }

    korvala::EnvLookup env() const {
        return [this](const char* name) -> const char* {
            const auto it = env_.find(name);
            return it == env_.end() ? nullptr : it->second.c_str();
        };
    }

    fs::path settingsFile() const { return config_ / "Korvala" / "korvala.conf"; }

    // The system-wide file in the first (1) or second (2) folder of $XDG_CONFIG_DIRS.
    fs::path systemFile(int k) const { return root_ / ("xdg" + std::to_string(k)) / "Korvala" / "korvala.conf"; }

    static void write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    void writeSettings(const std::string& text) const { write(settingsFile(), text); }

    SettingsOutcome read(std::vector<std::string> options, const RunSettings& defaults = kDefaults) const {
        options.insert(options.begin(), "korvala");
        return readRunSettings(options, defaults, env());
    }

    // The service of a run that must succeed.
    ScoreService settingsOf(const std::vector<std::string>& options) const {
        const SettingsOutcome outcome = read(options);
        EXPECT_EQ(shown(outcome.action), "Run") << outcome.text;
        return outcome.service;
    }

    fs::path root_, config_, ca_;
    std::map<std::string, std::string> env_;
};

TEST_F(RunSettingsTest, WithoutOptionsAndFileTheDefaultsHoldExactly) {
    const SettingsOutcome outcome = read({});
    EXPECT_EQ(shown(outcome.action), "Run");
    EXPECT_EQ(shown(outcome.service), shown(kDefaults));
    EXPECT_EQ(outcome.service.ftp.host, "127.0.0.1");
    EXPECT_EQ(outcome.service.ftp.port, 2121);
    EXPECT_EQ(outcome.service.page.host, "127.0.0.1");
    EXPECT_EQ(outcome.service.page.port, 2180);
    EXPECT_TRUE(outcome.notices.empty()) << shown(outcome.notices);
    EXPECT_EQ(outcome.toolkitArgs, std::vector<std::string>{"korvala"});
}

TEST_F(RunSettingsTest, OptionsOverTheFileOverTheDefaultsKeyByKey) {
    const std::string ca = ca_.string();
    struct Case {
        std::string name;
        std::string file;  // empty: no settings file
        std::vector<std::string> options;
        RunSettings expected;
    };
    const std::string wholeFile =
        "[scores]\n"
        "ftp-host = ftp.example.org:21\n"
        "ftp-user = scores\n"
        "scores-page = https://example.org/scores/\n"
        "ca-file = " +
        ca +
        "\n"
        "plain-ftp = true\n";
    const std::vector<Case> cases = {
        {"options alone",
         "",
         {"--ftp-host=h.example:2100", "--ftp-user", "u", "--scores-page=https://s.example/", "--ca-file", ca,
          "--plain-ftp"},
         {"h.example:2100", "u", "https://s.example/", ca, true}},
        {"the file alone", wholeFile, {}, {"ftp.example.org:21", "scores", "https://example.org/scores/", ca, true}},
        {"options over the whole file",
         wholeFile,
         {"--ftp-host", "h.example", "--ftp-user=u", "--scores-page", "http://s.example:81/", "--ca-file="},
         {"h.example:21", "u", "http://s.example:81/", "", true}},
        {"one option, one file key, defaults",
         "[scores]\nftp-user = scores\n",
         {"--ftp-host=[::1]:2121"},
         {"[::1]:2121", "scores", kDefaults.scoresPage, "", false}},
        {"only the value in force is checked",
         "[scores]\nftp-host = bad host\nplain-ftp = maybe\n",
         {"--ftp-host", "good.example", "--plain-ftp"},
         {"good.example:21", kDefaults.ftpUser, kDefaults.scoresPage, "", true}},
        {"the file may turn plain FTP off again",
         "[scores]\nplain-ftp = off\n",
         {},
         {kDefaults.ftpHost, kDefaults.ftpUser, kDefaults.scoresPage, "", false}},
        {"the last of a repeated option counts",
         "",
         {"--ftp-user=a", "--ftp-user", "b"},
         {kDefaults.ftpHost, "b", kDefaults.scoresPage, "", false}},
    };
    for (const Case& c : cases) {
        fs::remove_all(config_);
        if (!c.file.empty()) writeSettings(c.file);
        EXPECT_EQ(shown(settingsOf(c.options)), shown(c.expected)) << c.name;
    }
}

TEST_F(RunSettingsTest, BothOptionSpellingsGiveTheSameValue) {
    const std::vector<std::pair<std::string, std::string>> values = {
        {"--ftp-host", "ftp.example.org:990"},
        {"--ftp-user", "-dashed"},  // a value may start with one '-'
        {"--scores-page", "https://example.org/top?list=a=b"},
        {"--ca-file", ca_.string()},
    };
    for (const auto& [option, value] : values) {
        const ScoreService joined = settingsOf({option + "=" + value});
        const ScoreService apart = settingsOf({option, value});
        EXPECT_EQ(shown(joined), shown(apart)) << option;
        EXPECT_NE(shown(joined), shown(kDefaults)) << option;
        EXPECT_NE(shown(joined).find(value), std::string::npos) << shown(joined);
    }
}

// The host is taken apart once, here: its name or address (an IPv6 one
// without brackets) and its port (21 when none is given); the FTP URL
// carries it as "host:port", an IPv6 address in brackets.
TEST_F(RunSettingsTest, ABareIpv6HostIsKeptInBrackets) {
    struct Case {
        std::string given, host;
        int port;
        std::string authority;
    };
    const std::vector<Case> cases = {
        {"::1", "::1", 21, "[::1]:21"},
        {"2001:db8::7", "2001:db8::7", 21, "[2001:db8::7]:21"},
        {"[::1]", "::1", 21, "[::1]:21"},
        {"[::1]:2121", "::1", 2121, "[::1]:2121"},
        {"Ftp.Example.org:0021", "Ftp.Example.org", 21, "Ftp.Example.org:21"},  // the name as given
    };
    for (const Case& c : cases) {
        const ScoreService service = settingsOf({"--ftp-host", c.given});
        EXPECT_EQ(service.ftp.host, c.host) << c.given;
        EXPECT_EQ(service.ftp.port, c.port) << c.given;
        EXPECT_EQ(korvala::authorityOf(service.ftp), c.authority) << c.given;
    }
}

TEST_F(RunSettingsTest, HelpAndVersion) {
    writeSettings("this line is broken\n");  // neither reads the settings file
    for (const std::vector<std::string>& options : {std::vector<std::string>{"--help"},
                                                    {"-h"},
                                                    {"--bogus", "--help"},
                                                    {"--ftp-host", "--help"},
                                                    {"-h", "--version"}}) {
        const SettingsOutcome outcome = read(options);
        ASSERT_EQ(shown(outcome.action), "Help") << options.front();
        for (const char* part :
             {"--ftp-host", "--ftp-user", "--scores-page", "--ca-file", "--plain-ftp", "--help", "--version",
              "XDG_CONFIG_HOME", "$HOME/.config/Korvala/korvala.conf", "XDG_CONFIG_DIRS", "/etc/xdg", "[scores]",
              "ftp-host =", "ftp-user =", "scores-page =", "ca-file =", "plain-ftp =", "127.0.0.1:2121"}) {
            EXPECT_NE(outcome.text.find(part), std::string::npos) << part;
        }
        EXPECT_NE(outcome.text.find(settingsFile().string()), std::string::npos);
        EXPECT_NE(outcome.text.find(systemFile(2).string()), std::string::npos);
    }
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--version"}, {"--version", "--help"}, {"--version", "--nope"}}) {
        const SettingsOutcome outcome = read(options);
        EXPECT_EQ(shown(outcome.action), "Version");
        EXPECT_EQ(outcome.text, "Korvala Deluxe 1.0");
    }
}

TEST_F(RunSettingsTest, TheToolkitsArgumentsArePassedOnInOrder) {
    const SettingsOutcome outcome =
        read({"-platform", "offscreen", "--ftp-user=u", "-style", "fusion", "word", "-reverse", "-", "-title",
              "--version", "-qwindowtitle", "-h", "-stylesheet=a.qss", "--plain-ftp", "last"});
    EXPECT_EQ(shown(outcome.action), "Run") << outcome.text;
    const std::vector<std::string> expected = {
        "korvala",           "-platform", "offscreen", "-style",    "fusion",        "word",
        "-reverse",          "-",         "-title",    "--version", "-qwindowtitle", "-h",
        "-stylesheet=a.qss", "last"};
    EXPECT_EQ(outcome.toolkitArgs, expected);
    EXPECT_EQ(outcome.service.ftpUser, "u");
    EXPECT_TRUE(outcome.service.plainFtp);
}

// A Fail outcome is one line: "korvala: ..." with every part in `parts`.
void expectFailure(const SettingsOutcome& outcome, const std::vector<std::string>& parts, const std::string& name) {
    ASSERT_EQ(shown(outcome.action), "Fail") << name;
    EXPECT_TRUE(outcome.text.starts_with("korvala: ")) << outcome.text;
    EXPECT_EQ(outcome.text.find('\n'), std::string::npos) << outcome.text;
    for (const std::string& part : parts)
        EXPECT_NE(outcome.text.find(part), std::string::npos) << name << ": " << outcome.text;
}

TEST_F(RunSettingsTest, ABadValueFailsNamingTheSettingAndQuotingTheValue) {
    EXPECT_EQ(read({"--ftp-host=example.org:70000"}).text,
              "korvala: bad --ftp-host \"example.org:70000\": the port must be 1 to 65535");

    const std::string missing = (root_ / "missing.pem").string();
    const std::string file = settingsFile().string();
    struct Case {
        std::string file;
        std::vector<std::string> options;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {"", {"--ftp-host", "a b"}, {"bad --ftp-host \"a b\""}},
        {"", {"--ftp-host="}, {"bad --ftp-host \"\"", "empty"}},
        {"", {"--ftp-host", ":21"}, {"bad --ftp-host \":21\""}},
        {"", {"--ftp-host", "host:12a"}, {"bad --ftp-host \"host:12a\""}},
        {"", {"--ftp-host", "[::1"}, {"bad --ftp-host \"[::1\""}},
        {"", {"--ftp-host", "u@host"}, {"bad --ftp-host \"u@host\""}},
        {"", {"--ftp-user="}, {"bad --ftp-user \"\"", "empty"}},
        {"", {"--ftp-user", "a@b"}, {"bad --ftp-user \"a@b\""}},
        {"", {"--ftp-user", "a:b"}, {"bad --ftp-user \"a:b\""}},
        {"", {"--ftp-user", "a/b"}, {"bad --ftp-user \"a/b\""}},
        {"", {"--ftp-user", "a b"}, {"bad --ftp-user \"a b\""}},
        {"", {"--ftp-user=a\nb"}, {"bad --ftp-user \"a\\nb\""}},  // still one line
        {"", {"--scores-page", "ftp://example.org/"}, {"bad --scores-page \"ftp://example.org/\"", "http"}},
        {"", {"--scores-page", "example.org"}, {"bad --scores-page \"example.org\""}},
        {"", {"--scores-page", "http://"}, {"bad --scores-page \"http://\""}},
        {"", {"--scores-page", "https://example.org:99999/"}, {"bad --scores-page \"https://example.org:99999/\""}},
        {"", {"--ca-file", missing}, {"bad --ca-file \"" + missing + "\""}},
        {"", {"--ca-file", root_.string()}, {"bad --ca-file \"" + root_.string() + "\"", "folder"}},
    };
    for (const Case& c : cases) {
        fs::remove_all(config_);
        if (!c.file.empty()) writeSettings(c.file);
        const SettingsOutcome outcome = read(c.options);
        expectFailure(outcome, c.parts, c.options.empty() ? c.file : c.options.front());
        EXPECT_EQ(shown(outcome.service), shown(ScoreService{})) << "a failed read gives no service";
        EXPECT_TRUE(outcome.notices.empty()) << shown(outcome.notices);
    }
}

// A bad value in a settings file does not stop the game: that line is
// ignored (the next source below it counts) and said once, with the file,
// the line, the value and why. Every value of the file that is fine holds.
TEST_F(RunSettingsTest, ABadValueInASettingsFileIsIgnoredAndSaidOnce) {
    const std::string missing = (root_ / "missing.pem").string();
    const std::string file = "settings file \"" + settingsFile().string() + "\", line 3";
    struct Case {
        std::string value;  // line 3 of the file
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {"ftp-host = bad host", {file, "bad ftp-host \"bad host\""}},
        {"ftp-host = example.org:70000", {file, "bad ftp-host \"example.org:70000\"", "1 to 65535"}},
        {"ftp-user = \"a:b\"", {file, "bad ftp-user \"a:b\""}},
        {"scores-page = gopher://x/", {file, "bad scores-page \"gopher://x/\"", "http"}},
        {"ca-file = " + missing, {file, "bad ca-file \"" + missing + "\""}},
        {"plain-ftp = maybe", {file, "bad plain-ftp \"maybe\"", "true or false"}},
        {"plain-ftp =", {file, "bad plain-ftp \"\""}},
    };
    for (const Case& c : cases) {
        const bool plainLine = c.value.starts_with("plain-ftp");
        writeSettings(std::string("[scores]\n") + (plainLine ? "ftp-user = me" : "plain-ftp = true") + "\n" + c.value +
                      "\n");
        const SettingsOutcome outcome = read({});
        ASSERT_EQ(shown(outcome.action), "Run") << c.value << ": " << outcome.text;
        ASSERT_EQ(outcome.notices.size(), 1u) << c.value << "\n" << shown(outcome.notices);
        for (const std::string& part : c.parts)
            EXPECT_NE(outcome.notices[0].find(part), std::string::npos) << part << " in " << outcome.notices[0];
        EXPECT_NE(outcome.notices[0].find("ignored"), std::string::npos) << outcome.notices[0];
        EXPECT_EQ(outcome.notices[0].find('\n'), std::string::npos) << outcome.notices[0];
        // The bad line's setting keeps its default; the file's other line holds.
        const RunSettings expected{kDefaults.ftpHost, plainLine ? "me" : kDefaults.ftpUser, kDefaults.scoresPage, "",
                                   !plainLine};
        EXPECT_EQ(shown(outcome.service), shown(expected)) << c.value;
    }
    // A value the command line overrides is not in force: not checked, not said.
    writeSettings("[scores]\nftp-host = bad host\n");
    const SettingsOutcome overridden = read({"--ftp-host=h.example"});
    EXPECT_EQ(shown(overridden.action), "Run");
    EXPECT_TRUE(overridden.notices.empty()) << shown(overridden.notices);
}

TEST_F(RunSettingsTest, ABadDefaultNamesTheBuildSetting) {
    struct Case {
        RunSettings defaults;
        std::string part;
    };
    const std::vector<Case> cases = {
        {{"bad host", "korvala", "http://127.0.0.1:2180/", "", false},
         "bad build setting KORVALA_FTP_HOST \"bad host\""},
        {{"127.0.0.1:2121", "", "http://127.0.0.1:2180/", "", false}, "bad build setting KORVALA_FTP_USER \"\""},
        {{"127.0.0.1:2121", "korvala", "127.0.0.1:2180", "", false}, "bad build setting KORVALA_SCORES_PAGE"},
    };
    for (const Case& c : cases) expectFailure(read({}, c.defaults), {c.part}, c.part);

    // The build's certificate need not exist where the game runs, ...
    RunSettings absentCertificate = kDefaults;
    absentCertificate.caFile = (root_ / "not-here.pem").string();
    const SettingsOutcome outcome = read({}, absentCertificate);
    EXPECT_EQ(shown(outcome.action), "Run");
    EXPECT_EQ(outcome.service.caFile, absentCertificate.caFile);
    // ... but one a person names must: on the command line it stops the
    // game, in a settings file it is ignored and said.
    expectFailure(read({"--ca-file", absentCertificate.caFile}, absentCertificate), {"bad --ca-file"}, "--ca-file");
    writeSettings("[scores]\nca-file = " + absentCertificate.caFile + "\n");
    const SettingsOutcome fromFile = read({}, absentCertificate);
    EXPECT_EQ(shown(fromFile.action), "Run");
    ASSERT_EQ(fromFile.notices.size(), 1u) << shown(fromFile.notices);
    EXPECT_NE(fromFile.notices[0].find("bad ca-file"), std::string::npos) << fromFile.notices[0];
}

TEST(BuiltInScoreService, IsTheBuildsDefaultsTakenApart) {
    const RunSettings built = korvala::builtInSettings();
    const ScoreService service = korvala::builtInScoreService();
    EXPECT_EQ(shown(service), shown(RunSettings{service.ftp.host.empty() ? "" : built.ftpHost, built.ftpUser,
                                                built.scoresPage, built.caFile, false}));
    EXPECT_FALSE(service.ftp.host.empty()) << "the build's defaults are bad: " << built.ftpHost;
    std::string problem;
    EXPECT_FALSE(korvala::scoreServiceFrom({"bad host", "u", "http://h/", "", false}, &problem));
    EXPECT_NE(problem.find("KORVALA_FTP_HOST \"bad host\""), std::string::npos) << problem;
}

TEST_F(RunSettingsTest, CommandLineMistakesFail) {
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, {"unknown option \"--bogus\""}},
        {{"--ftp-hostname=x"}, {"unknown option \"--ftp-hostname=x\""}},
        {{"--FTP-HOST=x"}, {"unknown option"}},
        {{"--"}, {"unknown option \"--\""}},
        {{"--help=1"}, {"unknown option \"--help=1\""}},
        {{"--ftp-host"}, {"--ftp-host needs a value"}},
        {{"--ca-file", "--plain-ftp"}, {"--ca-file needs a value"}},
        {{"--plain-ftp=yes"}, {"--plain-ftp takes no value", "\"yes\""}},
        {{"--ftp-user", "u", "--bogus", "--nope"}, {"\"--bogus\""}},  // the first mistake
    };
    for (const Case& c : cases) expectFailure(read(c.options), c.parts, c.options.front());
}

TEST_F(RunSettingsTest, TheSettingsFilesShapes) {
    const std::string quotedCa = (root_ / "my \"ca\".pem").string();
    std::ofstream(quotedCa) << "x";
    const std::string listCa = (root_ / "ca, one ; two.pem").string();
    std::ofstream(listCa) << "x";
    std::string escapedCa;
    for (char c : quotedCa) escapedCa += (c == '"' ? std::string("\\\"") : std::string(1, c));
    struct Case {
        std::string name;
        std::string text;
        RunSettings expected;
    };
    const RunSettings d = kDefaults;
    const std::vector<Case> cases = {
        {"empty", "", d},
        {"only a group", "[scores]\n", d},
        {"comments and blank lines",
         "; a comment\n# another\n\n   \n[scores]\n  ; ftp-user = no\n\t# ftp-host = no\nftp-user=me\n",
         {d.ftpHost, "me", d.scoresPage, "", false}},
        {"blanks around key and value",
         "  [scores]  \n\t ftp-user \t=\t me \t\n",
         {d.ftpHost, "me", d.scoresPage, "", false}},
        {"commas and semicolons stay in a value",
         "[scores]\nscores-page = http://example.org/a,b;c=1,2\nca-file = " + listCa + "\n",
         {d.ftpHost, d.ftpUser, "http://example.org/a,b;c=1,2", listCa, false}},
        {"quotes",
         "[scores]\nftp-user = \"s\\\"co\\\\re,s;\"\nca-file = \"" + escapedCa + "\"\n",
         {d.ftpHost, "s\"co\\re,s;", d.scoresPage, quotedCa, false}},
        {"a value not wholly in quotes is plain text",
         "[scores]\nftp-user = \"a\"b\"\n",
         {d.ftpHost, "\"a\"b\"", d.scoresPage, "", false}},
        {"an unclosed quote is plain text",
         "[scores]\nftp-user = \"ab\\\"\n",
         {d.ftpHost, "\"ab\\\"", d.scoresPage, "", false}},
        {"byte order mark and CR LF",
         "\xEF\xBB\xBF[scores]\r\nftp-user = me\r\nftp-host = h.example\r\n",
         {"h.example:21", "me", d.scoresPage, "", false}},
        {"CR alone", "[scores]\rftp-user = me\r", {d.ftpHost, "me", d.scoresPage, "", false}},
        {"no line end at the end", "[scores]\nftp-user = me", {d.ftpHost, "me", d.scoresPage, "", false}},
        {"other groups and keys before any group are ignored",
         "ftp-user = top\ncolour = red\n[General]\nftp-user = general\n[Scores]\nftp-user = capital\n"
         "[scores]\nftp-user = me\n[other]\nftp-user = other\nwhatever = 1\n",
         {d.ftpHost, "me", d.scoresPage, "", false}},
        {"the group may come twice; the last value counts",
         "[scores]\nftp-user = a\n[x]\n[scores]\nftp-user = b\n",
         {d.ftpHost, "b", d.scoresPage, "", false}},
        {"plain-ftp words", "[scores]\nplain-ftp = Yes\n", {d.ftpHost, d.ftpUser, d.scoresPage, "", true}},
        {"plain-ftp on", "[scores]\nplain-ftp = ON\n", {d.ftpHost, d.ftpUser, d.scoresPage, "", true}},
        {"plain-ftp 1", "[scores]\nplain-ftp = 1\n", {d.ftpHost, d.ftpUser, d.scoresPage, "", true}},
        {"plain-ftp FALSE", "[scores]\nplain-ftp = FALSE\n", {d.ftpHost, d.ftpUser, d.scoresPage, "", false}},
        {"bare IPv6 host", "[scores]\nftp-host = ::1\n", {"[::1]:21", d.ftpUser, d.scoresPage, "", false}},
    };
    for (const Case& c : cases) {
        writeSettings(c.text);
        const SettingsOutcome outcome = read({});
        EXPECT_EQ(shown(outcome.action), "Run") << c.name << ": " << outcome.text;
        EXPECT_EQ(shown(outcome.service), shown(c.expected)) << c.name;
        EXPECT_TRUE(outcome.notices.empty()) << c.name << "\n" << shown(outcome.notices);
    }
}

// A line that cannot be used, or a whole file that cannot be read, does not
// stop the game: it is ignored and said once, with the file (and the line)
// and why; the rest of the file holds.
TEST_F(RunSettingsTest, ALineOrAFileThatCannotBeUsedIsIgnoredAndSaidOnce) {
    const std::string file = "settings file \"" + settingsFile().string() + "\"";
    struct Case {
        std::string text;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {"[scores]\nftp-user = me\ncolour = red\n", {"unknown key \"colour\"", file + ", line 3"}},
        {"[scores]\nFtp-User = you\nftp-user = me\n", {"unknown key \"Ftp-User\"", file + ", line 2"}},
        {"; fine\n\nthis line has no equals sign\n[scores]\nftp-user = me\n", {file + ", line 3", "cannot be parsed"}},
        {"[other]\njunk\n[scores]\nftp-user = me\n", {file + ", line 2", "cannot be parsed", "\"junk\""}},
        {"[scores\nftp-user = me\n[scores]\nftp-user = me\n", {file + ", line 1", "cannot be parsed"}},
        {"[scores]\r\n\r\n= value\r\nftp-user = me\r\n", {file + ", line 3", "cannot be parsed"}},
        {"\xEF\xBB\xBF\xEF\xBB\xBF[scores]\n[scores]\nftp-user = me\n", {file + ", line 1", "cannot be parsed"}},
    };
    for (const Case& c : cases) {
        writeSettings(c.text);
        const SettingsOutcome outcome = read({});
        ASSERT_EQ(shown(outcome.action), "Run") << c.text << ": " << outcome.text;
        ASSERT_EQ(outcome.notices.size(), 1u) << c.text << "\n" << shown(outcome.notices);
        for (const std::string& part : c.parts)
            EXPECT_NE(outcome.notices[0].find(part), std::string::npos) << part << " in " << outcome.notices[0];
        EXPECT_EQ(outcome.service.ftpUser, "me") << c.text << ": the rest of the file holds";
        // Said even where options override every value.
        const SettingsOutcome overridden = read({"--ftp-host=h", "--ftp-user=u", "--scores-page=http://h/"});
        EXPECT_EQ(shown(overridden.action), "Run");
        EXPECT_EQ(overridden.notices.size(), 1u) << shown(overridden.notices);
    }

    fs::remove(settingsFile());
    fs::create_directories(settingsFile());
    const SettingsOutcome folder = read({"--ftp-user=u"});
    ASSERT_EQ(shown(folder.action), "Run") << folder.text;
    ASSERT_EQ(folder.notices.size(), 1u) << shown(folder.notices);
    EXPECT_NE(folder.notices[0].find(file + " cannot be read: it is a folder"), std::string::npos) << folder.notices[0];
    EXPECT_EQ(shown(folder.service), shown(RunSettings{kDefaults.ftpHost, "u", kDefaults.scoresPage, "", false}));

    if (::geteuid() != 0) {  // root reads any file
        fs::remove(settingsFile());
        writeSettings("[scores]\nftp-user = me\n");
        fs::permissions(settingsFile(), fs::perms::none);
        const SettingsOutcome unreadable = read({});
        ASSERT_EQ(unreadable.notices.size(), 1u) << shown(unreadable.notices);
        EXPECT_NE(unreadable.notices[0].find("cannot be read"), std::string::npos) << unreadable.notices[0];
        EXPECT_EQ(unreadable.service.ftpUser, kDefaults.ftpUser);
    }
}

// The system-wide files (XDG_CONFIG_DIRS, the first folder the most
// important) stand below the player's file and the command line, key by
// key; a value one of them cannot use leaves the next one below it in force.
TEST_F(RunSettingsTest, SystemWideFilesStandBelowThePlayersFile) {
    const std::string ca = ca_.string();
    struct Case {
        std::string name;
        std::string player, first, second;  // the files; empty: none
        std::vector<std::string> options;
        RunSettings expected;
        std::size_t notices;
    };
    const std::string room =
        "[scores]\nftp-host = scores.school.example:2121\nscores-page = http://scores.school.example:2180/\n"
        "ca-file = " +
        ca + "\n";
    const std::vector<Case> cases = {
        {"the first system-wide file alone",
         "",
         room,
         "",
         {},
         {"scores.school.example:2121", kDefaults.ftpUser, "http://scores.school.example:2180/", ca, false},
         0},
        {"the second alone",
         "",
         "",
         room,
         {},
         {"scores.school.example:2121", kDefaults.ftpUser, "http://scores.school.example:2180/", ca, false},
         0},
        {"the first over the second, key by key",
         "",
         "[scores]\nftp-user = first\n",
         "[scores]\nftp-user = second\nftp-host = second.example\n",
         {},
         {"second.example:21", "first", kDefaults.scoresPage, "", false},
         0},
        {"the player's file over both",
         "[scores]\nftp-host = mine.example:21\n",
         room,
         "[scores]\nftp-user = second\n",
         {},
         {"mine.example:21", "second", "http://scores.school.example:2180/", ca, false},
         0},
        {"options over all three",
         "[scores]\nftp-host = mine.example:21\n",
         room,
         "",
         {"--ftp-host=typed.example:99", "--scores-page=http://typed.example/"},
         {"typed.example:99", kDefaults.ftpUser, "http://typed.example/", ca, false},
         0},
        {"a bad value in the player's file leaves the system-wide one in force",
         "[scores]\nftp-host = bad host\n",
         room,
         "",
         {},
         {"scores.school.example:2121", kDefaults.ftpUser, "http://scores.school.example:2180/", ca, false},
         1},
        {"a bad value in the first leaves the second's in force",
         "",
         "[scores]\nftp-user = a b\nbogus = 1\n",
         "[scores]\nftp-user = second\n",
         {},
         {kDefaults.ftpHost, "second", kDefaults.scoresPage, "", false},
         2},
        {"a bad value everywhere leaves the default",
         "[scores]\nplain-ftp = maybe\n",
         "[scores]\nplain-ftp = perhaps\n",
         "[scores]\nplain-ftp = sometimes\n",
         {},
         kDefaults,
         3},
    };
    for (const Case& c : cases) {
        fs::remove_all(config_);
        fs::remove_all(root_ / "xdg1");
        fs::remove_all(root_ / "xdg2");
        if (!c.player.empty()) writeSettings(c.player);
        if (!c.first.empty()) write(systemFile(1), c.first);
        if (!c.second.empty()) write(systemFile(2), c.second);
        const SettingsOutcome outcome = read(c.options);
        ASSERT_EQ(shown(outcome.action), "Run") << c.name << ": " << outcome.text;
        EXPECT_EQ(shown(outcome.service), shown(c.expected)) << c.name;
        EXPECT_EQ(outcome.notices.size(), c.notices) << c.name << "\n" << shown(outcome.notices);
    }
    // A notice names the file it is about.
    fs::remove_all(config_);
    fs::remove_all(root_ / "xdg1");
    write(systemFile(2), "[scores]\nftp-host = bad host\n");
    const SettingsOutcome outcome = read({});
    ASSERT_EQ(outcome.notices.size(), 1u);
    EXPECT_NE(outcome.notices[0].find("\"" + systemFile(2).string() + "\", line 2"), std::string::npos)
        << outcome.notices[0];
}

TEST(SystemSettingsFilePaths, XdgConfigDirsElseEtcXdg) {
    struct Case {
        const char* dirs;  // nullptr: unset
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {nullptr, {"/etc/xdg/Korvala/korvala.conf"}},
        {"", {"/etc/xdg/Korvala/korvala.conf"}},
        {"/a", {"/a/Korvala/korvala.conf"}},
        {"/a:/b/", {"/a/Korvala/korvala.conf", "/b/Korvala/korvala.conf"}},
        {"/b:relative:/a::/b/", {"/b/Korvala/korvala.conf", "/a/Korvala/korvala.conf"}},  // each once, first place
        {"relative", {}},
    };
    for (const Case& c : cases) {
        const korvala::EnvLookup env = [&c](const char* name) -> const char* {
            return std::string(name) == "XDG_CONFIG_DIRS" ? c.dirs : nullptr;
        };
        std::vector<std::string> got;
        for (const fs::path& p : korvala::systemSettingsFilePaths(env)) got.push_back(p.lexically_normal().string());
        EXPECT_EQ(got, c.expected) << (c.dirs ? c.dirs : "(unset)");
    }
}

TEST(SettingsFilePath, XdgConfigHomeElseHome) {
    struct Case {
        std::map<std::string, std::string> env;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{{"XDG_CONFIG_HOME", "/x/conf"}, {"HOME", "/home/p"}}, "/x/conf/Korvala/korvala.conf"},
        {{{"XDG_CONFIG_HOME", "/x/conf/"}}, "/x/conf/Korvala/korvala.conf"},
        {{{"XDG_CONFIG_HOME", ""}, {"HOME", "/home/p"}}, "/home/p/.config/Korvala/korvala.conf"},
        {{{"XDG_CONFIG_HOME", "relative/conf"}, {"HOME", "/home/p"}}, "/home/p/.config/Korvala/korvala.conf"},
        {{{"HOME", "/home/p"}}, "/home/p/.config/Korvala/korvala.conf"},
        {{{"HOME", "home/p"}}, ""},
        {{{"HOME", ""}}, ""},
        {{}, ""},
    };
    for (const Case& c : cases) {
        const korvala::EnvLookup env = [&c](const char* name) -> const char* {
            const auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        };
        EXPECT_EQ(korvala::settingsFilePath(env).lexically_normal().string(), c.expected);
    }
}

TEST_F(RunSettingsTest, TheHomeFolderIsUsedWithoutXdgConfigHome) {
    env_.erase("XDG_CONFIG_HOME");
    const fs::path homeFile = root_ / "home" / ".config" / "Korvala" / "korvala.conf";
    fs::create_directories(homeFile.parent_path());
    std::ofstream(homeFile) << "[scores]\nftp-user = fromhome\n";
    writeSettings("[scores]\nftp-user = fromxdg\n");
    EXPECT_EQ(settingsOf({}).ftpUser, "fromhome");
    env_["XDG_CONFIG_HOME"] = config_.string();
    EXPECT_EQ(settingsOf({}).ftpUser, "fromxdg");
    // Without either folder there is no player's file: the defaults hold.
    env_.erase("XDG_CONFIG_HOME");
    env_.erase("HOME");
    EXPECT_EQ(shown(settingsOf({})), shown(kDefaults));
}

}  // namespace
