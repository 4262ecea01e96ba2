#pragma once
// The settings a run of the game uses for its score service: the FTP host and
// account of the score folder, the scores page, the certificate to trust and
// whether plain FTP is allowed. Each comes from a command-line option, else
// the settings file, else the build's default (KORVALA_FTP_HOST,
// KORVALA_FTP_USER, KORVALA_SCORES_PAGE, KORVALA_FTP_CA_FILE).
//
// The settings file is INI text:
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
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace korvala {

struct RunSettings {
    std::string ftpHost;  // "host" or "host:port" as the FTP URL carries it (an IPv6 literal bracketed: "[::1]:2121");
                          // as given otherwise
    std::string ftpUser;
    std::string scoresPage;  // an http:// or https:// address
    std::string caFile;      // a certificate file to trust for any host; empty: decided by the host
    bool plainFtp = false;   // plain FTP after a refused AUTH TLS also for hosts that are not loopback
};

struct SettingsOutcome {
    enum class Action { Run, Help, Version, Fail };
    Action action = Action::Run;
    RunSettings settings;  // Run: the settings in force
    std::string text;  // Help: the whole help text; Version: one line; Fail: ONE line (no trailing newline) naming the
                       // setting and quoting the value as given
    std::vector<std::string>
        toolkitArgs;  // the arguments that are not the game's own, argv[0] first, in order (left to the window toolkit)
};

// Looks up an environment variable: its value, or nullptr when it is not set.
using EnvLookup = std::function<const char*(const char*)>;

// The process's own environment, for EnvLookup.
const char* processEnvironment(const char* name);

// $XDG_CONFIG_HOME (if set, non-empty and absolute) else $HOME/.config
// ($HOME likewise absolute), then "Korvala/korvala.conf". Empty when neither
// gives a folder: there is no settings file then.
std::filesystem::path settingsFilePath(const EnvLookup& env);

// Highest first: command-line options, then the settings file (if it
// exists), then `defaults`. `args` is the whole command line, argv[0] first.
//  - --ftp-host, --ftp-user, --scores-page, --ca-file take a value, as
//    "--opt=value" or "--opt value"; --plain-ftp takes none. The last of a
//    repeated option counts.
//  - --help or -h: Help; --version: Version (the first of them counts, and
//    either wins over an error on the command line).
//  - Any other argument starting with "--" fails; the other arguments
//    (toolkit options such as "-platform offscreen", and plain words) are
//    passed on in toolkitArgs untouched, a toolkit option's value with it.
//  - The value in force of each setting is checked; a bad one fails, naming
//    where it came from. The default certificate file is the one exception:
//    it is not required to exist, as the build cannot know the player's files.
SettingsOutcome readRunSettings(const std::vector<std::string>& args, const RunSettings& defaults,
                                const EnvLookup& env);

}  // namespace korvala
