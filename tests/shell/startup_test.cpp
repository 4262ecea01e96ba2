// The window's Load event binds every sound device: first all five file
// names (the executable's folder and the literal joined as they are), then
// all five "open" commands, in the device order mc1, mc2, mc3, Music, DK.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "program/wiring.h"
#include "window/form1.h"
#include "window/ports.h"

namespace korvala {
namespace {

struct Logged : SoundBackend {
    std::string device;
    std::vector<std::string>& log;
    Logged(std::string d, std::vector<std::string>& l) : device(std::move(d)), log(l) {}
    void setFileName(const std::string& path) override { log.push_back(device + " file " + path); }
    void command(std::string_view cmd) override { log.push_back(device + " " + std::string(cmd)); }
};

TEST(Startup, LoadBindsTheFiveDevicesNamesFirstThenOpens) {
    Form1 f;
    f.appPath = "/opt/korvala";
    std::vector<std::string> log;
    PlatformParts parts;
    parts.makeSound = [&log](const std::string& device) { return std::make_unique<Logged>(device, log); };
    Program program(f, std::move(parts));
    program.load();
    EXPECT_EQ(log, (std::vector<std::string>{"mc1 file /opt/korvala/gunshot2.wav", "mc2 file /opt/korvala/beep5.wav",
                                             "mc3 file /opt/korvala/Auth.wav", "Music file /opt/korvala/Birthday.wav",
                                             "DK file /opt/korvala/External.wav", "mc1 open", "mc2 open", "mc3 open",
                                             "Music open", "DK open"}));
}

TEST(Startup, LoadTouchesNoPanelAndNoTimer) {
    Form1 f;
    Program program(f, {});
    program.load();
    EXPECT_EQ(f.screenName(), "OPENS");
    EXPECT_EQ(f.Timer4.Interval(), 5000);
    EXPECT_EQ(f.timex.Interval(), 0);
}

}  // namespace
}  // namespace korvala
