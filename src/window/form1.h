#pragma once
// The main window: every element of the game board and of the eight panels,
// at its initial value when the window is created. Elements are typed
// members named as the game names them; array members keep their indexes.
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "window/element.h"
#include "window/events.h"
#include "window/picture_store.h"
#include "window/score_service.h"

namespace korvala {

class Form1 : public Container {
public:
    Form1();
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    std::string Caption = "Korvala Deluxe 1.0";
    std::string icon = "icon";
    static constexpr int kClientWidth = 10305, kClientHeight = 7050;  // twips: 687 x 470 pixels

    // Panels, top of the stack first.
    Panel OPENS2{"OPENS2"}, OPENS{"OPENS"}, Infox{"Infox"}, openi{"openi"}, ABT{"ABT"}, Hasil{"Hasil"},
        konfig{"konfig"}, papan{"papan"};

    // Sound devices (below the client area, never seen).
    SoundDevice mc1{"mc1"}, mc2{"mc2"}, mc3{"mc3"}, Music{"Music"}, DK{"DK"};

    // The game board.
    std::array<Image*, 6> lobang{};  // 1..5
    std::array<TextBox*, 6> TX{};    // 1..5: the hole codes
    Label Label5{"Label5"}, Label4{"Label4"}, Label3{"Label3"}, Label2{"Label2"}, email{"email"}, negara{"negara"},
        NAMAX{"NAMAX"}, Nilai{"Nilai"}, TOX{"TOX"}, Lshow{"Lshow"}, Level{"Level"}, giliran{"giliran"};
    Shape cath{"cath"};
    Timer timex{"timex"}, Timer1{"Timer1"}, Timer2{"Timer2"}, tix{"tix"};

    // First and second splash.
    Timer Timer4{"Timer4"}, Timer5{"Timer5"};
    Image Image6{"Image6"};

    // Main menu.
    Image Image2{"Image2"}, Image1{"Image1"}, Image3{"Image3"}, Image4{"Image4"};
    Label menux{"menux"};
    Timer Timer3{"Timer3"};

    // Result panel.
    Label Label10{"Label10"}, Label9{"Label9"}, NN{"NN"}, Label8{"Label8"};
    Image kena{"kena"};

    // Profile panel.
    RichTextBox KN{"KN"}, konfignama{"konfignama"}, Konfigemail{"Konfigemail"};
    ComboBox KonfigNegara{"KonfigNegara"};
    Label Label11{"Label11"}, Label7{"Label7"}, Label6{"Label6"};

    // Information panel.
    Button Perbaharui{"Perbaharui"}, Command8{"Command8"};
    WebBrowser WBX{"WBX"};

    // Board panel.
    Button Command7{"Command7"}, Command6{"Command6"}, Command5{"Command5"}, Command3{"Command3"}, Command1{"Command1"},
        Command2{"Command2"};
    RichTextBox siapol{"siapol"};
    ListBox lstRemoteFile{"lstRemoteFile"};
    Inet Inet1{"Inet1", &Ports::Inet1}, Inet3{"Inet3", &Ports::Inet3};
    Image Image5{"Image5"};
    Label READD{"READD"};
    std::array<Label*, 10> Nama{};  // 0..9, top to bottom

    // The hidden picture store, created at its first read.
    PictureStore img;

    // The folder of the executable, without a trailing separator (the sound
    // files lie there).
    std::string appPath;
    // The score service of this run, set by the program's wiring.
    ScoreService scoreService;

    // The sound devices in the order they are bound (mc1, mc2, mc3, Music,
    // DK); a device's place here is its sound port's slot.
    std::array<SoundDevice*, kSoundDevices> soundDevices() { return {&mc1, &mc2, &mc3, &Music, &DK}; }

    // The platform ports, set once by the program's wiring (a second call is
    // refused). The timers that count from the window's creation (only the
    // first splash timer) start counting on the scheduler given here.
    void setPorts(const Ports& ports);
    // The view that is told of every change; nullptr for none.
    void setObserver(ChangeObserver* observer) { windowContext_.observer = observer; }
    ChangeObserver* observer() const { return windowContext_.observer; }

    EventTable events;
    bool raise(const Element& e, Event ev) { return events.raise(e, ev); }

    // Lets pending window events run now, from inside a handler.
    void DoEvents();
    // The modal message box with the critical icon and one OK button.
    void MsgBox(const std::string& title, const std::string& prompt);
    // Ends the program at once: no question, nothing saved.
    void End();

    // The topmost visible panel, or nullptr for the game board.
    const Panel* screen() const;
    std::string screenName() const;
    // The element that takes the mouse at a pixel of the client area, or
    // nullptr where nothing does (outside the client area).
    Element* hitTest(int x, int y) const;

    // Every element, for lookup by name ("lobang", 3) and for generic code.
    const std::vector<Element*>& all() const { return all_; }
    Element* find(std::string_view name, int index = -1) const;
    std::vector<Panel*> panels() const;

private:
    // What every element of this window reaches through its containers.
    WindowContext windowContext_;
    const WindowContext* ownContext() const override { return &windowContext_; }
    bool portsSet_ = false;
    std::vector<Element*> all_;
    std::vector<std::unique_ptr<Element>> owned_;  // array members
    void build();
};

}  // namespace korvala
