#pragma once
// The small interfaces through which the window model reaches the platform.
// Each has one real implementation in src/platform and a recording double
// for the simulator and unit tests.
#include <string>
#include <string_view>

namespace korvala {

// A multimedia device: bound once to a WAV file, then cued.
// Commands are "open", "prev" and "play"; any other is ignored.
// Nothing here reports an error or waits for a sound: a device whose file
// is missing or cannot be played stays silent and accepts every command.
class SoundBackend {
public:
    virtual ~SoundBackend() = default;
    virtual void setFileName(const std::string& path) = 0;
    virtual void command(std::string_view cmd) = 0;
};

// The files of the rich-text boxes. Paths are as the game names them
// ("C:/konfignama.tamzosystem"); the implementation maps "C:/" onto the
// game's data folder. Both return false on failure and leave `text`
// unchanged when a load fails.
class DocumentFiles {
public:
    virtual ~DocumentFiles() = default;
    virtual bool load(const std::string& path, std::string& text) = 0;
    virtual bool save(const std::string& path, const std::string& text) = 0;
};

}  // namespace korvala
