#pragma once
// The score service of a run (window/score_service.h), made once as the game
// starts: each setting from a command-line option, else the player's
// settings file, else a system-wide settings file, else the built-in default
// (KORVALA_FTP_HOST, KORVALA_FTP_USER, KORVALA_SCORES_PAGE,
// KORVALA_FTP_CA_FILE).
//
// A settings file is INI text:
//   [scores]
//   ftp-host = ftp.example.org:21
//   ftp-user = scores
//   scores-page = https://example.org/scores/
//   ca-file = /etc/ssl/certs/example.pem
//   plain-ftp = false
// Blank lines and lines starting with ';' or '#' are skipped; keys outside
// [scores] are ignored. A value is taken as plain text (commas and
// semicolons included); one wholly in double quotes is unquoted, reading \"
// as " and \\ as \.
//
// A person typed the command line: a mistake there stops the game with one
// line. A settings file is read by a game started from a desktop menu, where
// no one sees such a line: a line of it that is wrong (a bad value, an
// unknown key, a line that cannot be parsed), or the whole file when it
// cannot be read, is ignored instead, and said once in the notices.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "window/score_service.h"

namespace korvala {

// The score service's settings as text, before they are checked: what the
// game was built with.
struct RunSettings {
    std::string ftpHost;  // "host" or "host:port"; an IPv6 address as "[::1]:2121" or bare "::1"
    std::string ftpUser;
    std::string scoresPage;  // an http:// or https:// address
    std::string caFile;      // a certificate file to trust for any host; empty: decided by the host
    bool plainFtp = false;
};

// The game's built-in defaults: the build settings named above.
RunSettings builtInSettings();

// The score service from `settings` alone (no option, no file); nullopt with
// `problem` naming the first bad value. The certificate file is not required
// to exist.
std::optional<ScoreService> scoreServiceFrom(const RunSettings& settings, std::string* problem = nullptr);
// The built-in one: scoreServiceFrom(builtInSettings()), or an empty service
// when the build's defaults are bad (readRunSettings then refuses to run).
ScoreService builtInScoreService();

struct SettingsOutcome {
    enum class Action { Run, Help, Version, Fail };
    Action action = Action::Run;
    ScoreService service;  // Run: the score service in force
    // Help: the whole help text; Version: one line; Fail: ONE line (no
    // trailing newline) naming the setting and quoting the value as given.
    std::string text;
    // Run: what was ignored in a settings file, one line each, naming the
    // file, the line (when it is one line) and why.
    std::vector<std::string> notices;
    // The arguments that are not the game's own, argv[0] first, in order
    // (left to the window toolkit).
    std::vector<std::string> toolkitArgs;
};

// Looks up an environment variable: its value, or nullptr when it is not set.
using EnvLookup = std::function<const char*(const char*)>;

// The process's own environment, for EnvLookup.
const char* processEnvironment(const char* name);

// The player's settings file: $XDG_CONFIG_HOME (if set, non-empty and
// absolute) else $HOME/.config ($HOME likewise absolute), then
// "Korvala/korvala.conf". Empty when neither gives a folder: there is no
// player's file then.
std::filesystem::path settingsFilePath(const EnvLookup& env);

// The system-wide settings files, the most important first: in each folder
// of $XDG_CONFIG_DIRS (':'-separated; a folder that is not absolute is
// skipped; unset or empty: /etc/xdg), "Korvala/korvala.conf". A folder named
// twice counts once, where it is first named.
std::vector<std::filesystem::path> systemSettingsFilePaths(const EnvLookup& env);

// Highest first: command-line options, the player's settings file, the
// system-wide settings files in their order, then `defaults`. `args` is the
// whole command line, argv[0] first.
//  - --ftp-host, --ftp-user, --scores-page, --ca-file take a value, as
//    "--opt=value" or "--opt value"; --plain-ftp takes none. The last of a
//    repeated option counts.
//  - --help or -h: Help; --version: Version (the first of them counts, and
//    either wins over an error on the command line). Neither reads a file.
//  - Any other argument starting with "--" fails; the other arguments
//    (toolkit options such as "-platform offscreen", and plain words) are
//    passed on in toolkitArgs untouched, a toolkit option's value with it.
//  - Only the value in force of each setting is checked. A bad option fails;
//    a bad value in a file is ignored (a notice), and the next source below
//    it counts; a bad default fails, naming the build setting. A default
//    certificate file is not required to exist, as the build cannot know the
//    player's files.
SettingsOutcome readRunSettings(const std::vector<std::string>& args, const RunSettings& defaults,
                                const EnvLookup& env);

}  // namespace korvala
