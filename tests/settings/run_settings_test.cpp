// The run's settings: command-line options over the settings file over the
// build's defaults.
#include "system/settings/run_settings.h"

#include <gtest/gtest.h>

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
using korvala::SettingsOutcome;
using Action = SettingsOutcome::Action;

const RunSettings kDefaults{"127.0.0.1:2121", "korvala", "http://127.0.0.1:2180/", "", false};

std::string shown(const RunSettings& s) {
    return "{host=" + s.ftpHost + " user=" + s.ftpUser + " page=" + s.scoresPage + " ca=" + s.caFile +
           " plain=" + (s.plainFtp ? "true" : "false") + "}";
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

// A temporary folder standing in for $XDG_CONFIG_HOME (and $HOME), with the
// settings file at its place, and a certificate file beside it.
class RunSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvala-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        config_ = root_ / "config";
        env_["XDG_CONFIG_HOME"] = config_.string();
        env_["HOME"] = (root_ / "home").string();
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

    void writeSettings(const std::string& text) const {
        fs::create_directories(settingsFile().parent_path());
        std::ofstream(settingsFile(), std::ios::binary) << text;
    }

    SettingsOutcome read(std::vector<std::string> options, const RunSettings& defaults = kDefaults) const {
        options.insert(options.begin(), "korvala");
        return readRunSettings(options, defaults, env());
    }

    // The settings of a run that must succeed.
    RunSettings settingsOf(const std::vector<std::string>& options) const {
        const SettingsOutcome outcome = read(options);
        EXPECT_EQ(shown(outcome.action), "Run") << outcome.text;
        return outcome.settings;
    }

    fs::path root_, config_, ca_;
    std::map<std::string, std::string> env_;
};

TEST_F(RunSettingsTest, WithoutOptionsAndFileTheDefaultsHoldExactly) {
    const SettingsOutcome outcome = read({});
    EXPECT_EQ(shown(outcome.action), "Run");
    EXPECT_EQ(shown(outcome.settings), shown(kDefaults));
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
         {"h.example", "u", "http://s.example:81/", "", true}},
        {"one option, one file key, defaults",
         "[scores]\nftp-user = scores\n",
         {"--ftp-host=[::1]:2121"},
         {"[::1]:2121", "scores", kDefaults.scoresPage, "", false}},
        {"only the value in force is checked",
         "[scores]\nftp-host = bad host\nplain-ftp = maybe\n",
         {"--ftp-host", "good.example", "--plain-ftp"},
         {"good.example", kDefaults.ftpUser, kDefaults.scoresPage, "", true}},
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
        const RunSettings joined = settingsOf({option + "=" + value});
        const RunSettings apart = settingsOf({option, value});
        EXPECT_EQ(shown(joined), shown(apart)) << option;
        EXPECT_NE(shown(joined), shown(kDefaults)) << option;
        EXPECT_NE(shown(joined).find(value), std::string::npos) << shown(joined);
    }
}

TEST_F(RunSettingsTest, ABareIpv6HostIsKeptInBrackets) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"::1", "[::1]"},
        {"2001:db8::7", "[2001:db8::7]"},
        {"[::1]", "[::1]"},
        {"[::1]:2121", "[::1]:2121"},
        {"Ftp.Example.org:0021", "Ftp.Example.org:0021"},  // otherwise as given
    };
    for (const auto& [given, kept] : cases) EXPECT_EQ(settingsOf({"--ftp-host", given}).ftpHost, kept) << given;
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
              "XDG_CONFIG_HOME", "$HOME/.config/Korvala/korvala.conf", "[scores]",
              "ftp-host =", "ftp-user =", "scores-page =", "ca-file =", "plain-ftp =", "127.0.0.1:2121"}) {
            EXPECT_NE(outcome.text.find(part), std::string::npos) << part;
        }
        EXPECT_NE(outcome.text.find(settingsFile().string()), std::string::npos);
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
    EXPECT_EQ(outcome.settings.ftpUser, "u");
    EXPECT_TRUE(outcome.settings.plainFtp);
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
        {"[scores]\nftp-host = bad host\n", {}, {"bad ftp-host in " + file + " \"bad host\""}},
        {"[scores]\nftp-user = \"a:b\"\n", {}, {"bad ftp-user in " + file + " \"a:b\""}},
        {"[scores]\nscores-page = gopher://x/\n", {}, {"bad scores-page in " + file + " \"gopher://x/\""}},
        {"[scores]\nca-file = " + missing + "\n", {}, {"bad ca-file in " + file + " \"" + missing + "\""}},
        {"[scores]\nplain-ftp = maybe\n", {}, {"bad plain-ftp in " + file + " \"maybe\"", "true or false"}},
        {"[scores]\nplain-ftp =\n", {}, {"bad plain-ftp in " + file + " \"\""}},
    };
    for (const Case& c : cases) {
        fs::remove_all(config_);
        if (!c.file.empty()) writeSettings(c.file);
        const SettingsOutcome outcome = read(c.options);
        expectFailure(outcome, c.parts, c.options.empty() ? c.file : c.options.front());
        EXPECT_EQ(shown(outcome.settings), shown(RunSettings{})) << "a failed read gives no settings";
    }
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
    EXPECT_EQ(outcome.settings.caFile, absentCertificate.caFile);
    // ... but one the player names must.
    writeSettings("[scores]\nca-file = " + absentCertificate.caFile + "\n");
    expectFailure(read({}, absentCertificate), {"bad ca-file in"}, "ca-file in the file");
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
         {"h.example", "me", d.scoresPage, "", false}},
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
        {"bare IPv6 host", "[scores]\nftp-host = ::1\n", {"[::1]", d.ftpUser, d.scoresPage, "", false}},
    };
    for (const Case& c : cases) {
        writeSettings(c.text);
        const SettingsOutcome outcome = read({});
        EXPECT_EQ(shown(outcome.action), "Run") << c.name << ": " << outcome.text;
        EXPECT_EQ(shown(outcome.settings), shown(c.expected)) << c.name;
    }
}

TEST_F(RunSettingsTest, ASettingsFileThatCannotBeUsedFails) {
    const std::string file = settingsFile().string();
    struct Case {
        std::string text;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {"[scores]\nftp-user = me\ncolour = red\n", {"unknown key \"colour\"", "line 3", file}},
        {"[scores]\nFtp-User = me\n", {"unknown key \"Ftp-User\"", "line 2"}},
        {"; fine\n\nthis line has no equals sign\n", {"line 3", file, "cannot be parsed"}},
        {"[other]\njunk\n", {"line 2", "cannot be parsed"}},
        {"[scores\nftp-user = me\n", {"line 1", "cannot be parsed"}},
        {"[scores]\r\n\r\n= value\r\n", {"line 3", "cannot be parsed"}},
        {"\xEF\xBB\xBF\xEF\xBB\xBF[scores]\n", {"line 1", "cannot be parsed"}},  // only one mark is skipped
    };
    for (const Case& c : cases) {
        writeSettings(c.text);
        // A broken file fails even where options override every value.
        expectFailure(read({"--ftp-host=h", "--ftp-user=u", "--scores-page=http://h/"}), c.parts, c.text);
    }

    fs::remove(settingsFile());
    fs::create_directories(settingsFile());
    expectFailure(read({}), {"cannot read the settings file", file}, "a folder at the file's place");
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
    // Without either folder there is no settings file: the defaults hold.
    env_.clear();
    EXPECT_EQ(shown(settingsOf({})), shown(kDefaults));
}

}  // namespace
