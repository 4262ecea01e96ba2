// Every element of the window reaches the window's ports and tells its
// observer of its changes, whatever the order in which it was put in its
// panel, the panel was put in the window and the ports were set; and a
// rich-text box's file operations through the files port keep its text when
// they fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "doubles/memory_files.h"
#include "doubles/recording_sound.h"
#include "doubles/recording_ui.h"
#include "doubles/virtual_clock.h"
#include "window/form1.h"

namespace korvala {
namespace {

class HeardChanges : public ChangeObserver {
public:
    void changed(const Element& e) override { names.push_back(e.fullName()); }
    bool heard(const std::string& name) const { return std::count(names.begin(), names.end(), name) > 0; }
    std::vector<std::string> names;
};

// A window with every port wired to a double, and a panel of its own that
// is not yet in it.
class WindowWithExtraPanel : public ::testing::Test {
protected:
    WindowWithExtraPanel() {
        ports.scheduler = &clock;
        ports.files = &files;
        ports.sounds[2] = &sound;
        ports.WBX = &browser;
        clock.fire = [this](Timer& t) { fired.push_back(t.name()); };
    }

    // Each step once, in any order.
    void fill() {
        inner.add(innerLabel);
        extra.add(inner);
        extra.add(label);
        extra.add(device);
        extra.add(box);
        extra.add(browserElement);
        extra.add(timer);
    }
    void join() { form.add(extra); }
    void wire() {
        form.setObserver(&observer);
        form.setPorts(ports);
    }

    Form1 form;
    VirtualClock clock;
    MemoryFiles files;
    CueLog cues;
    RecordingSound sound{"extraDevice", cues};
    ActionLog actions;
    RecordingWebView browser{"extraBrowser", actions};
    HeardChanges observer;
    Ports ports;
    std::vector<std::string> fired;

    Panel extra{"extra"}, inner{"inner"};
    Label label{"extraLabel"}, innerLabel{"innerLabel"};
    SoundDevice device{"extraDevice"};
    RichTextBox box{"extraBox"};
    WebBrowser browserElement{"extraBrowser"};
    Timer timer{"extraTimer"};
};

class EveryOrder : public WindowWithExtraPanel, public ::testing::WithParamInterface<std::array<char, 3>> {};

TEST_P(EveryOrder, ElementsOfAPanelReachThePortsAndTheObserver) {
    for (char step : GetParam()) {
        if (step == 'f') fill();
        if (step == 'j') join();
        if (step == 'w') wire();
    }
    device.slot = 2;

    label.setCaption("changed");
    innerLabel.setCaption("changed too");
    EXPECT_TRUE(observer.heard("extraLabel"));
    EXPECT_TRUE(observer.heard("innerLabel"));  // a panel inside the panel

    device.setFileName("/sounds/beep.wav");
    device.Command("play");
    EXPECT_EQ(sound.fileName(), "/sounds/beep.wav");
    EXPECT_EQ(cues.take(), std::vector<std::string>{"extraDevice"});

    box.setText("saved");
    EXPECT_TRUE(box.SaveFile("C:/extra.txt"));
    EXPECT_EQ(files.files["C:/extra.txt"], "saved");

    EXPECT_TRUE(browserElement.Navigate("http://127.0.0.1:2180/"));
    EXPECT_EQ(browser.pages, std::vector<std::string>{"http://127.0.0.1:2180/"});

    timer.setInterval(100);
    clock.runUntil(100);
    EXPECT_EQ(fired, std::vector<std::string>{"extraTimer"});
}

std::vector<std::array<char, 3>> everyOrder() {
    std::array<char, 3> order{'f', 'j', 'w'};  // fill the panel, join the window, wire the ports
    std::vector<std::array<char, 3>> all;
    do all.push_back(order);
    while (std::next_permutation(order.begin(), order.end()));
    return all;
}

INSTANTIATE_TEST_SUITE_P(Steps, EveryOrder, ::testing::ValuesIn(everyOrder()),
                         [](const ::testing::TestParamInfo<std::array<char, 3>>& info) {
                             return std::string(info.param.begin(), info.param.end());
                         });

TEST_F(WindowWithExtraPanel, APanelOutsideTheWindowReachesNothing) {
    wire();
    fill();  // the panel never joins
    label.setCaption("changed");
    EXPECT_TRUE(observer.names.empty());
    box.setText("unsaved");
    EXPECT_FALSE(box.SaveFile("C:/extra.txt"));
    EXPECT_TRUE(files.saves.empty());
    EXPECT_FALSE(browserElement.Navigate("http://127.0.0.1:2180/"));
}

TEST(WindowContext, EveryElementOfTheWindowTellsTheObserver) {
    Form1 form;
    HeardChanges observer;
    form.setObserver(&observer);
    for (Element* e : form.all()) {
        observer.names.clear();
        e->setVisible(!e->Visible());
        EXPECT_EQ(observer.names, std::vector<std::string>{e->fullName()});
    }
}

TEST(RichTextBoxFiles, AFailedLoadLeavesTheTextAsItWas) {
    Form1 form;
    MemoryFiles files;
    Ports ports;
    ports.files = &files;
    form.setPorts(ports);
    form.konfignama.setText("Korvala");
    files.files["C:/long"] = std::string(form.konfignama.maxLength + 1, 'a');
    files.files["C:/full"] = std::string(form.konfignama.maxLength, 'b');

    EXPECT_FALSE(form.konfignama.LoadFile("C:/missing"));
    EXPECT_EQ(form.konfignama.Text(), "Korvala");
    EXPECT_FALSE(form.konfignama.LoadFile("C:/long"));  // longer than the box holds
    EXPECT_EQ(form.konfignama.Text(), "Korvala");
    EXPECT_TRUE(form.konfignama.LoadFile("C:/full"));
    EXPECT_EQ(form.konfignama.Text(), files.files["C:/full"]);

    files.refuse.insert("C:/refused");
    EXPECT_FALSE(form.konfignama.SaveFile("C:/refused"));
    EXPECT_EQ(files.files.count("C:/refused"), 0u);
}

}  // namespace
}  // namespace korvala
