#pragma once
// A sound device that only remembers its cues: the simulator and unit tests
// listen through it.
#include <string>
#include <utility>
#include <vector>

#include "window/ports.h"

namespace korvala {

class CueLog {
public:
    void add(const std::string& device) { cues_.push_back(device); }
    std::vector<std::string> take() { return std::exchange(cues_, {}); }

private:
    std::vector<std::string> cues_;
};

class RecordingSound : public SoundBackend {
public:
    RecordingSound(std::string device, CueLog& log) : device_(std::move(device)), log_(log) {}
    void setFileName(const std::string& path) override { fileName_ = path; }
    // A cue is "prev" then "play"; each "play" counts as one sound played.
    void command(std::string_view cmd) override {
        if (cmd == "play") log_.add(device_);
    }
    const std::string& fileName() const { return fileName_; }

private:
    std::string device_;
    CueLog& log_;
    std::string fileName_;
};

}  // namespace korvala
