// The settings a run of the game uses: options, settings file, defaults.
#include "system/settings/run_settings.h"

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

// A setting's value and where it came from, as an error message names it.
struct Given {
    std::string value;
    std::string source;
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
                line.values[setting] = Given{"true", source};
            }
            continue;
        }
        if (equals != std::string::npos) {
            line.values[setting] = Given{arg.substr(equals + 1), source};
        } else if (i + 1 < args.size() && !args[i + 1].starts_with("--")) {
            line.values[setting] = Given{args[++i], source};
        } else {
            noteError(failure(source + " needs a value (" + source + "=VALUE or " + source + " VALUE)"));
        }
    }
    return line;
}

// --- The settings file.

struct FileValues {
    Values values;
    std::string error;
};

FileValues readSettingsFile(const fs::path& path) {
    FileValues file;
    if (path.empty()) return file;
    const std::string shownPath = inQuotes(path.string());
    const auto cannotRead = [&](std::string_view why) {
        file.error = failure("cannot read the settings file " + shownPath + ": " + std::string(why));
        return file;
    };

    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) return file;  // no file: the defaults hold
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
        const std::string where = "line " + std::to_string(lineNumber) + " of the settings file " + shownPath;
        if (line.front() == '[' && line.back() == ']') {
            group = std::string(trimmed(line.substr(1, line.size() - 2)));
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string_view key = trimmed(line.substr(0, equals == std::string_view::npos ? 0 : equals));
        if (equals == std::string_view::npos || key.empty()) {
            file.error = failure(where + " cannot be parsed: " + inQuotes(line));
            return file;
        }
        if (group != kScoresGroup) continue;
        std::size_t setting = 0;
        while (setting < kSettingCount && kNames[setting].key != key) ++setting;
        if (setting == kSettingCount) {
            file.error = failure("unknown key " + inQuotes(key) + " in [scores], " + where);
            return file;
        }
        file.values[setting] =
            Given{unquoted(trimmed(line.substr(equals + 1))), std::string(key) + " in " + path.string()};
    }
    return file;
}

std::string helpText(const RunSettings& defaults, const fs::path& settingsFile) {
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
    text += "  --plain-ftp             plain FTP after a refused TLS also for a server that is not this machine\n";
    text += "  -h, --help              show this help and quit\n";
    text += "  --version               show the version and quit\n";
    text += "An option's value may also follow '=': --ftp-user=NAME.\n";
    text += "Other arguments (e.g. -platform offscreen) are left to the window toolkit.\n\n";
    text += "Settings file: $XDG_CONFIG_HOME/Korvala/korvala.conf, or $HOME/.config/Korvala/korvala.conf\n";
    text += "where XDG_CONFIG_HOME is unset or not an absolute path";
    text += settingsFile.empty() ? std::string(" (none here)") : " (here: " + settingsFile.string() + ")";
    text += ".\nOptions override it; it overrides the defaults. Its keys, in the [scores] group:\n";
    text += "  ftp-host = HOST[:PORT]\n";
    text += "  ftp-user = NAME\n";
    text += "  scores-page = URL\n";
    text += "  ca-file = FILE\n";
    text += "  plain-ftp = true|false\n";
    text += "Lines starting with ';' or '#' are comments; a value in double quotes is unquoted.\n";
    return text;
}

}  // namespace

const char* processEnvironment(const char* name) { return std::getenv(name); }

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

SettingsOutcome readRunSettings(const std::vector<std::string>& args, const RunSettings& defaults,
                                const EnvLookup& env) {
    SettingsOutcome outcome;
    CommandLine line = readCommandLine(args);
    outcome.toolkitArgs = std::move(line.toolkitArgs);
    const fs::path settingsFile = settingsFilePath(env);
    if (line.request == SettingsOutcome::Action::Help) {
        outcome.action = SettingsOutcome::Action::Help;
        outcome.text = helpText(defaults, settingsFile);
        return outcome;
    }
    if (line.request == SettingsOutcome::Action::Version) {
        outcome.action = SettingsOutcome::Action::Version;
        outcome.text = std::string(kVersion);
        return outcome;
    }
    outcome.action = SettingsOutcome::Action::Fail;
    if (!line.error.empty()) {
        outcome.text = std::move(line.error);
        return outcome;
    }
    FileValues file = readSettingsFile(settingsFile);
    if (!file.error.empty()) {
        outcome.text = std::move(file.error);
        return outcome;
    }

    const std::array<std::string, kSettingCount> defaultValues = {
        defaults.ftpHost, defaults.ftpUser, defaults.scoresPage, defaults.caFile, defaults.plainFtp ? "true" : "false"};
    RunSettings& settings = outcome.settings;
    for (std::size_t setting = 0; setting < kSettingCount; ++setting) {
        const bool isDefault = !line.values[setting] && !file.values[setting];
        const Given given =
            line.values[setting] ? *line.values[setting]
            : file.values[setting]
                ? *file.values[setting]
                : Given{defaultValues[setting], "build setting " + std::string(kNames[setting].buildSetting)};
        std::string problem;
        switch (setting) {
            case kFtpHost:
                problem = hostPortProblem(given.value);
                // A bare IPv6 literal goes into the FTP URL in brackets.
                settings.ftpHost =
                    (problem.empty() && given.value.front() != '[' && given.value.find(':') != given.value.rfind(':'))
                        ? "[" + given.value + "]"
                        : given.value;
                break;
            case kFtpUser:
                problem = ftpUserProblem(given.value);
                settings.ftpUser = given.value;
                break;
            case kScoresPage:
                problem = scoresPageProblem(given.value);
                settings.scoresPage = given.value;
                break;
            case kCaFile:
                // The build's certificate may not exist on this machine; the
                // transfer then fails as it did before there were settings.
                if (!isDefault) problem = caFileProblem(given.value);
                settings.caFile = given.value;
                break;
            case kPlainFtp:
                if (const auto plain = parseBool(given.value)) {
                    settings.plainFtp = *plain;
                } else {
                    problem = "must be true or false (or 1/0, yes/no, on/off)";
                }
                break;
            default:
                break;
        }
        if (!problem.empty()) {
            outcome.text = badValue(given, problem);
            outcome.settings = {};
            return outcome;
        }
    }
    outcome.action = SettingsOutcome::Action::Run;
    return outcome;
}

}  // namespace korvala
