// The score service of a run: options, settings files, built-in defaults.
#include "system/settings/run_settings.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>

#include "system/net/server_address.h"

namespace korvala {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kVersion = "Korvala Deluxe 1.0";
constexpr std::string_view kScoresGroup = "scores";

enum Setting : std::size_t { kFtpHost, kFtpUser, kScoresPage, kCaFile, kPlainFtp, kSettingCount };

struct SettingName {
    std::string_view option;        // on the command line
    std::string_view key;           // in the settings file's [scores] group
    std::string_view buildSetting;  // the build's default
};

constexpr std::array<SettingName, kSettingCount> kNames = {{
    {"--ftp-host", "ftp-host", "KORVALA_FTP_HOST"},
    {"--ftp-user", "ftp-user", "KORVALA_FTP_USER"},
    {"--scores-page", "scores-page", "KORVALA_SCORES_PAGE"},
    {"--ca-file", "ca-file", "KORVALA_FTP_CA_FILE"},
    {"--plain-ftp", "plain-ftp", ""},
}};

// The window toolkit's options that take the next argument as their value:
// that argument is passed on with them, whatever it looks like.
constexpr std::string_view kToolkitValueOptions[] = {
    "-platform",
    "-platformpluginpath",
    "-platformtheme",
    "-plugin",
    "-qwindowgeometry",
    "-qwindowicon",
    "-qwindowtitle",
    "-geometry",
    "-title",
    "-icon",
    "-session",
    "-display",
    "-name",
    "-visual",
    "-style",
    "-stylesheet",
};

// A setting's value and where it came from, as a message names it: the
// option or build setting (source), or the key in a file (source) and the
// file and line (where).
struct Given {
    std::string value;
    std::string source;
    std::string where;  // empty but for a file's value
};

using Values = std::array<std::optional<Given>, kSettingCount>;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// `value` in double quotes as the player gave it; only control characters,
// which would break the one-line message, are written as escapes.
std::string inQuotes(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string failure(std::string_view what) { return "korvala: " + std::string(what); }

std::string badValue(const Given& given, std::string_view problem) {
    return failure("bad " + given.source + " " + inQuotes(given.value) + ": " + std::string(problem));
}

std::optional<bool> parseBool(std::string_view text) {
    std::string word;
    for (char c : text) word += lower(c);
    if (word == "true" || word == "1" || word == "yes" || word == "on") return true;
    if (word == "false" || word == "0" || word == "no" || word == "off") return false;
    return std::nullopt;
}

// A value wholly in double quotes loses them, with \" and \\ inside read as
// " and \; any other value is plain text.
std::string unquoted(std::string_view value) {
    if (value.size() < 2 || value.front() != '"') return std::string(value);
    std::string out;
    for (std::size_t i = 1; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && i + 1 < value.size() && (value[i + 1] == '"' || value[i + 1] == '\\')) {
            out += value[++i];
        } else if (c == '"') {
            return i + 1 == value.size() ? out : std::string(value);
        } else {
            out += c;
        }
    }
    return std::string(value);  // no closing quote
}

// --- Checks of the values in force: why a value is bad, empty when it is fine.

std::string ftpUserProblem(std::string_view user) {
    if (user.empty()) return "the user name is empty";
    for (char c : user) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '@' || c == ':' || c == '/') {
            return "the user name must not hold blanks, control characters, '@', ':' or '/'";
        }
    }
    return {};
}

std::string scoresPageProblem(std::string_view page) {
    std::string scheme(page.substr(0, page.find("://")));
    for (char& c : scheme) c = lower(c);
    if (page.find("://") == std::string_view::npos || (scheme != "http" && scheme != "https")) {
        return "the scores page must be an http:// or https:// address";
    }
    return urlServerProblem(page);
}

std::string caFileProblem(const std::string& file) {
    if (file.empty()) return {};  // the host decides
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (error && !fs::exists(status)) return "cannot be read: " + error.message();
    if (fs::is_directory(status)) return "cannot be read: it is a folder";
    if (!fs::is_regular_file(status)) return "cannot be read: it is not a regular file";
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::string("cannot be read: ") + (errno != 0 ? std::strerror(errno) : "cannot open it");
    return {};
}

// --- The command line.

struct CommandLine {
    Values values;
    std::optional<SettingsOutcome::Action> request;  // Help or Version
    std::string error;                               // the first one
    std::vector<std::string> toolkitArgs;
};

bool takesNextAsValue(std::string_view toolkitOption) {
    for (std::string_view option : kToolkitValueOptions) {
        if (option == toolkitOption) return true;
    }
    return false;
}

CommandLine readCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    const auto noteError = [&line](std::string message) {
        if (line.error.empty()) line.error = std::move(message);
    };
    if (!args.empty()) line.toolkitArgs.push_back(args.front());
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h" || arg == "--version") {
            if (!line.request) {
                line.request = arg == "--version" ? SettingsOutcome::Action::Version : SettingsOutcome::Action::Help;
            }
            continue;
        }
        if (!arg.starts_with("--")) {
            line.toolkitArgs.push_back(arg);
            if (arg.size() > 1 && arg[0] == '-' && takesNextAsValue(arg) && i + 1 < args.size()) {
                line.toolkitArgs.push_back(args[++i]);
            }
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string_view name = std::string_view(arg).substr(0, equals);
        std::size_t setting = 0;
        while (setting < kSettingCount && kNames[setting].option != name) ++setting;
        if (setting == kSettingCount) {
            noteError(failure("unknown option " + inQuotes(arg) + " (see --help)"));
            continue;
        }
        const std::string source(name);
        if (setting == kPlainFtp) {
            if (equals != std::string::npos) {
                noteError(failure(source + " takes no value, but is given " + inQuotes(arg.substr(equals + 1))));
            } else {
                line.values[setting] = Given{"true", source, {}};
            }
            continue;
        }
        if (equals != std::string::npos) {
            line.values[setting] = Given{arg.substr(equals + 1), source, {}};
        } else if (i + 1 < args.size() && !args[i + 1].starts_with("--")) {
            line.values[setting] = Given{args[++i], source, {}};
        } else {
            noteError(failure(source + " needs a value (" + source + "=VALUE or " + source + " VALUE)"));
        }
    }
    return line;
}

// --- The settings files.

// What one settings file gives: its values (each with its line) and what
// was wrong in it, said as notices.
struct FileValues {
    Values values;
    std::vector<std::string> notices;
};

std::string fileName(const fs::path& path) { return "settings file " + inQuotes(path.string()); }

FileValues readSettingsFile(const fs::path& path) {
    FileValues file;
    if (path.empty()) return file;
    const auto cannotRead = [&](std::string_view why) {
        file.notices.push_back(fileName(path) + " cannot be read: " + std::string(why) + "; it is ignored");
        return file;
    };

    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) return file;  // no file: the next source holds
    if (error) return cannotRead(error.message());
    if (fs::is_directory(status)) return cannotRead("it is a folder");
    if (!fs::is_regular_file(status)) return cannotRead("it is not a regular file");
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) return cannotRead(errno != 0 ? std::strerror(errno) : "cannot open it");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return cannotRead("reading failed");

    std::string_view rest = text;
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
    std::string group;
    for (int lineNumber = 1; !rest.empty(); ++lineNumber) {
        // Lines end in LF, CR LF or CR.
        const std::size_t end = rest.find_first_of("\r\n");
        const std::string_view raw = rest.substr(0, end);
        if (end == std::string_view::npos) {
            rest = {};
        } else {
            rest.remove_prefix(end + (rest.substr(end).starts_with("\r\n") ? 2 : 1));
        }

        const std::string_view line = trimmed(raw);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        const auto ignored = [&](const std::string& why) {
            file.notices.push_back(fileName(path) + ", line " + std::to_string(lineNumber) + ": " + why +
                                   "; the line is ignored");
        };
        if (line.front() == '[' && line.back() == ']') {
            group = std::string(trimmed(line.substr(1, line.size() - 2)));
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string_view key = trimmed(line.substr(0, equals == std::string_view::npos ? 0 : equals));
        if (equals == std::string_view::npos || key.empty()) {
            ignored("cannot be parsed: " + inQuotes(line));
            continue;
        }
        if (group != kScoresGroup) continue;
        std::size_t setting = 0;
        while (setting < kSettingCount && kNames[setting].key != key) ++setting;
        if (setting == kSettingCount) {
            ignored("unknown key " + inQuotes(key) + " in [scores]");
            continue;
        }
        file.values[setting] = Given{unquoted(trimmed(line.substr(equals + 1))), std::string(key),
                                     fileName(path) + ", line " + std::to_string(lineNumber)};
    }
    return file;
}

std::string helpText(const RunSettings& defaults, const fs::path& settingsFile,
                     const std::vector<fs::path>& systemFiles) {
    const auto defaultNote = [](const std::string& value) {
        return value.empty() ? std::string() : " (default: " + value + ")";
    };
    std::string text;
    text += "Usage: korvala [OPTION]... [TOOLKIT OPTION]...\n";
    text += "Starts " + std::string(kVersion) + "; the options set where scores are sent and shown.\n\n";
    text += "Options:\n";
    text += "  --ftp-host HOST[:PORT]  FTP server of the score folder, IPv6 as [::1]:2121" +
            defaultNote(defaults.ftpHost) + "\n";
    text += "  --ftp-user NAME         FTP account of the score folder" + defaultNote(defaults.ftpUser) + "\n";
    text += "  --scores-page URL       http:// or https:// address of the scores page" +
            defaultNote(defaults.scoresPage) + "\n";
    text += "  --ca-file FILE          certificate to trust for the FTP server's TLS" +
            (defaults.caFile.empty() ? std::string(" (default: as the host decides)") : defaultNote(defaults.caFile)) +
            "\n";
    text += "  --plain-ftp             plain FTP after a refused TLS, for any server, this machine's too\n";
    text += "  -h, --help              show this help and quit\n";
    text += "  --version               show the version and quit\n";
    text += "An option's value may also follow '=': --ftp-user=NAME.\n";
    text += "Other arguments (e.g. -platform offscreen) are left to the window toolkit.\n\n";
    text += "Settings file: $XDG_CONFIG_HOME/Korvala/korvala.conf, or $HOME/.config/Korvala/korvala.conf\n";
    text += "where XDG_CONFIG_HOME is unset or not an absolute path";
    text += settingsFile.empty() ? std::string(" (none here)") : " (here: " + settingsFile.string() + ")";
    text += ".\nSystem-wide settings files: Korvala/korvala.conf in each folder of $XDG_CONFIG_DIRS\n";
    text += "(default /etc/xdg), the first folder first";
    if (!systemFiles.empty()) {
        text += " (here:";
        for (const fs::path& file : systemFiles) text += " " + file.string();
        text += ")";
    }
    text += ".\nOptions override the player's file, which overrides the system-wide files, which\n";
    text += "override the defaults. The keys of a settings file, in its [scores] group:\n";
    text += "  ftp-host = HOST[:PORT]\n";
    text += "  ftp-user = NAME\n";
    text += "  scores-page = URL\n";
    text += "  ca-file = FILE\n";
    text += "  plain-ftp = true|false\n";
    text += "Lines starting with ';' or '#' are comments; a value in double quotes is unquoted.\n";
    text += "A line of a settings file that cannot be used is ignored and said in the log.\n";
    return text;
}

// The absolute folders of a ':'-separated list, in order, each once.
std::vector<fs::path> absoluteFolders(std::string_view list) {
    std::vector<fs::path> folders;
    while (true) {
        const std::size_t colon = list.find(':');
        fs::path folder = fs::path(list.substr(0, colon)).lexically_normal();
        if (!folder.has_filename()) folder = folder.parent_path();  // "/b/" is "/b"
        if (folder.is_absolute() && std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
        if (colon == std::string_view::npos) return folders;
        list.remove_prefix(colon + 1);
    }
}

// Why `value` cannot be the setting, empty when it can; a plain-ftp value
// is read into `plainFtp`.
std::string problemOf(Setting setting, const std::string& value, bool& plainFtp) {
    switch (setting) {
        case kFtpHost:
            return hostPortProblem(value);
        case kFtpUser:
            return ftpUserProblem(value);
        case kScoresPage:
            return scoresPageProblem(value);
        case kCaFile:
            return caFileProblem(value);
        case kPlainFtp:
            if (const auto plain = parseBool(value)) {
                plainFtp = *plain;
                return {};
            }
            return "must be true or false (or 1/0, yes/no, on/off)";
        case kSettingCount:
            break;
    }
    return {};
}

// Puts a checked value into the service.
void put(ScoreService& service, Setting setting, const std::string& value, bool plainFtp) {
    switch (setting) {
        case kFtpHost: {
            const auto address = parseHostPort(value, 21);
            service.ftp = {address->host, address->port};
            break;
        }
        case kFtpUser:
            service.ftpUser = value;
            break;
        case kScoresPage: {
            const auto server = urlServer(value);
            service.scoresPage = value;
            service.page = {server->host, server->port};
            break;
        }
        case kCaFile:
            service.caFile = value;
            break;
        case kPlainFtp:
            service.plainFtp = plainFtp;
            break;
        case kSettingCount:
            break;
    }
}

std::array<std::string, kSettingCount> textOf(const RunSettings& settings) {
    return {settings.ftpHost, settings.ftpUser, settings.scoresPage, settings.caFile,
            settings.plainFtp ? "true" : "false"};
}

}  // namespace

const char* processEnvironment(const char* name) { return std::getenv(name); }

RunSettings builtInSettings() {
    return {KORVALA_FTP_HOST, KORVALA_FTP_USER, KORVALA_SCORES_PAGE, KORVALA_FTP_CA_FILE, false};
}

std::optional<ScoreService> scoreServiceFrom(const RunSettings& settings, std::string* problem) {
    ScoreService service;
    const auto text = textOf(settings);
    for (std::size_t s = 0; s < kSettingCount; ++s) {
        const auto setting = static_cast<Setting>(s);
        bool plainFtp = false;
        const std::string why = setting == kCaFile ? std::string() : problemOf(setting, text[s], plainFtp);
        if (!why.empty()) {
            if (problem) *problem = std::string(kNames[s].buildSetting) + " " + inQuotes(text[s]) + ": " + why;
            return std::nullopt;
        }
        put(service, setting, text[s], plainFtp);
    }
    return service;
}

ScoreService builtInScoreService() { return scoreServiceFrom(builtInSettings()).value_or(ScoreService{}); }

fs::path settingsFilePath(const EnvLookup& env) {
    const auto absoluteFolder = [&env](const char* name) -> std::optional<fs::path> {
        const char* value = env ? env(name) : nullptr;
        if (value == nullptr || *value == '\0') return std::nullopt;
        fs::path folder(value);
        if (!folder.is_absolute()) return std::nullopt;
        return folder;
    };
    if (const auto config = absoluteFolder("XDG_CONFIG_HOME")) return *config / "Korvala" / "korvala.conf";
    if (const auto home = absoluteFolder("HOME")) return *home / ".config" / "Korvala" / "korvala.conf";
    return {};
}

std::vector<fs::path> systemSettingsFilePaths(const EnvLookup& env) {
    const char* dirs = env ? env("XDG_CONFIG_DIRS") : nullptr;
    std::vector<fs::path> files;
    for (const fs::path& folder : absoluteFolders(dirs && *dirs ? dirs : "/etc/xdg"))
        files.push_back(folder / "Korvala" / "korvala.conf");
    return files;
}

SettingsOutcome readRunSettings(const std::vector<std::string>& args, const RunSettings& defaults,
                                const EnvLookup& env) {
    SettingsOutcome outcome;
    CommandLine line = readCommandLine(args);
    outcome.toolkitArgs = std::move(line.toolkitArgs);
    const fs::path settingsFile = settingsFilePath(env);
    std::vector<fs::path> systemFiles = systemSettingsFilePaths(env);
    if (line.request == SettingsOutcome::Action::Help) {
        outcome.action = SettingsOutcome::Action::Help;
        outcome.text = helpText(defaults, settingsFile, systemFiles);
        return outcome;
    }
    if (line.request == SettingsOutcome::Action::Version) {
        outcome.action = SettingsOutcome::Action::Version;
        outcome.text = std::string(kVersion);
        return outcome;
    }
    if (!line.error.empty()) {
        outcome.action = SettingsOutcome::Action::Fail;
        outcome.text = std::move(line.error);
        return outcome;
    }

    // The sources of every setting, the most important first: the command
    // line, the player's file, the system-wide files. A file named twice
    // (the player's own folder listed among the system's) is read once.
    std::vector<Values> sources = {std::move(line.values)};
    std::vector<fs::path> files = {settingsFile};
    for (fs::path& file : systemFiles)
        if (std::find(files.begin(), files.end(), file) == files.end()) files.push_back(std::move(file));
    for (const fs::path& file : files) {
        FileValues read = readSettingsFile(file);
        sources.push_back(std::move(read.values));
        for (std::string& notice : read.notices) outcome.notices.push_back(std::move(notice));
    }

    const auto defaultValues = textOf(defaults);
    ScoreService& service = outcome.service;
    for (std::size_t s = 0; s < kSettingCount; ++s) {
        const auto setting = static_cast<Setting>(s);
        bool plainFtp = false;
        bool found = false;
        for (std::size_t k = 0; k < sources.size() && !found; ++k) {
            const std::optional<Given>& given = sources[k][s];
            if (!given) continue;
            const std::string problem = problemOf(setting, given->value, plainFtp);
            if (problem.empty()) {
                put(service, setting, given->value, plainFtp);
                found = true;
            } else if (given->where.empty()) {  // an option: the person who typed it is told
                outcome.action = SettingsOutcome::Action::Fail;
                outcome.text = badValue(*given, problem);
                outcome.service = {};
                outcome.notices.clear();
                return outcome;
            } else {  // a file's value: ignored, said once; the next source counts
                outcome.notices.push_back(given->where + ": bad " + given->source + " " + inQuotes(given->value) +
                                          ": " + problem + "; the line is ignored");
            }
        }
        if (found) continue;
        // The default. The build's certificate may not exist on this machine;
        // the transfer then fails as it did before there were settings.
        const Given given{defaultValues[s], "build setting " + std::string(kNames[s].buildSetting), {}};
        const std::string problem = setting == kCaFile ? std::string() : problemOf(setting, given.value, plainFtp);
        if (!problem.empty()) {
            outcome.action = SettingsOutcome::Action::Fail;
            outcome.text = badValue(given, problem);
            outcome.service = {};
            outcome.notices.clear();
            return outcome;
        }
        put(service, setting, given.value, plainFtp);
    }
    outcome.action = SettingsOutcome::Action::Run;
    return outcome;
}

}  // namespace korvala
