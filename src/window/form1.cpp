#include "window/form1.h"

namespace korvala {

namespace {

Font tahoma(double pt, bool bold) { return Font{"Tahoma", pt, bold, false}; }
Font sans(double pt, bool bold = false, bool italic = false) { return Font{"MS Sans Serif", pt, bold, italic}; }

void placeAt(Element& e, int left, int top, int width, int height) { e.place = {left, top, width, height}; }

void label(Label& l, Rect r, std::string caption, Rgb color, Font font, bool visible = true,
           Align align = Align::Left) {
    l.place = r;
    l.setCaption(std::move(caption));
    l.look.font = std::move(font);
    l.look.foreColor = color;
    l.look.hasForeColor = true;
    l.look.align = align;
    l.setVisible(visible);
}

}  // namespace

Form1::Form1() : Container(Kind::Form, "Form1") { build(); }

void Form1::build() {
    place = {0, 0, kClientWidth, kClientHeight};
    background = "board";
    auto own = [this](auto* e) {
        owned_.emplace_back(e);
        return e;
    };
    for (int i = 1; i <= 5; ++i) {
        lobang[i] = own(new Image("lobang", i));
        TX[i] = own(new TextBox("TX", i));
    }
    for (int k = 0; k < 10; ++k) Nama[k] = own(new Label("Nama", k));

    // --- The panel stack, top first; every panel covers the client area and a bit more.
    for (Panel* p : {&OPENS2, &OPENS, &Infox, &openi, &ABT, &Hasil, &konfig, &papan}) {
        placeAt(*p, 0, 0, 10335, 7095);
        p->setVisible(false);
    }
    OPENS.setVisible(true);
    openi.setVisible(true);
    OPENS2.background = "splash2";
    OPENS.backColor = 0x000000;
    Infox.background = "scores_backdrop";
    openi.background = "title";
    ABT.background = "credits";
    Hasil.background = "result";
    konfig.background = "profile";
    papan.background = "scoreboard";
    papan.backColor = 0xE0E0E0;

    placeAt(mc3, 6600, 7200, 3540, 375);
    placeAt(DK, 3000, 7680, 3540, 330);
    placeAt(mc1, 6600, 7680, 3540, 330);
    placeAt(mc2, -600, 7200, 3540, 330);
    placeAt(Music, 3000, 7200, 3540, 330);
    const auto devices = soundDevices();
    for (std::size_t k = 0; k < devices.size(); ++k) devices[k]->slot = k;

    // Windowed elements of the main window, top first.
    for (Element* e : std::initializer_list<Element*>{&OPENS2, &mc3, &OPENS, &DK, &Infox, &openi, &ABT, &Hasil, &konfig,
                                                      &papan, &mc1, &mc2, TX[4], TX[3], TX[2], TX[1], TX[5], &Music})
        add(*e);

    // --- The game board.
    const Rect holes[6] = {{},
                           {2400, 1800, 1785, 1575},
                           {6240, 1800, 1665, 1455},
                           {4080, 2880, 2025, 1695},
                           {1680, 3840, 2265, 1935},
                           {6360, 3720, 2265, 1935}};
    for (int i = 1; i <= 5; ++i) {
        lobang[i]->place = holes[i];
        lobang[i]->fit = i <= 3 ? Fit::Stretch : Fit::Natural;
        lobang[i]->setPicture("Kosong");
    }
    for (int i : {4, 5, 3, 2, 1}) add(*lobang[i]);

    const Rgb white = 0xFFFFFF, red = 0xFF0000;
    label(Label5, {4800, 1440, 615, 255}, "Grade:", white, sans(8.25, true));
    label(Label4, {4800, 1080, 975, 255}, "E-Mail:", red, tahoma(12, true));
    label(Label3, {4800, 720, 975, 375}, "Negara:", red, tahoma(12, true));
    label(Label2, {4800, 360, 975, 375}, "Nama:", red, tahoma(12, true));
    label(email, {5760, 1080, 3255, 255}, "email", white, sans(9.75, true));
    label(negara, {5880, 720, 3135, 255}, "Indonesia", white, sans(9.75, true));
    label(NAMAX, {5760, 360, 3255, 255}, "Pemain", white, sans(9.75, true));
    label(Nilai, {2040, 360, 1215, 495}, "0", white, sans(18, true));
    label(TOX, {2040, 1080, 1575, 495}, "3", white, sans(18, true));
    label(Lshow, {5520, 1440, 975, 255}, "1", white, sans(8.25));
    label(Level, {240, 2400, 1335, 255}, "2500", 0, sans(8.25), false);
    label(giliran, {240, 2040, 1215, 255}, "0", 0, sans(8.25), false);
    Level.look.hasForeColor = giliran.look.hasForeColor = false;
    placeAt(cath, 11040, 5280, 2415, 2295);
    for (Element* e : std::initializer_list<Element*>{&Label5, &Label4, &Label3, &Label2, &email, &negara, &NAMAX,
                                                      &cath, &Nilai, &TOX, &Lshow, &Level, &giliran})
        add(*e);

    const int txPlace[6][2] = {{}, {8640, 1560}, {9600, 1560}, {9120, 1800}, {8640, 2040}, {9600, 2040}};
    for (int i = 1; i <= 5; ++i) {
        placeAt(*TX[i], txPlace[i][0], txPlace[i][1], 375, 375);
        TX[i]->setText("0");
        TX[i]->setVisible(false);
    }
    for (Timer* t : {&timex, &Timer1, &Timer2, &tix}) add(*t);

    // --- First splash.
    placeAt(Image6, 2880, 2280, 5100, 2325);
    Image6.setPicture("partner_logo");
    OPENS.add(Timer4);
    OPENS.add(Image6);
    Timer4.setInterval(5000);  // counts from the window's creation once a clock is attached

    // --- Second splash.
    OPENS2.add(Timer5);

    // --- Main menu.
    placeAt(Image2, 6960, 4320, 720, 780);
    Image2.setPicture("Ka(2)");
    placeAt(Image1, 3120, 4320, 720, 780);
    Image1.setPicture("Ki(2)");
    placeAt(Image3, 3840, 4440, 3135, 615);
    Image3.setPicture("MNU(0)");
    label(menux, {5040, 5400, 615, 375}, "0", 0, sans(8.25), false);
    menux.look.hasForeColor = false;
    placeAt(Image4, 3000, 4200, 4815, 1095);
    for (Element* e : std::initializer_list<Element*>{&Image2, &Image1, &Image3, &menux, &Image4}) openi.add(*e);
    openi.add(Timer3);

    // --- Result panel.
    label(Label10, {6960, 4800, 735, 375}, "Tidak", 0x000000, sans(13.5), true, Align::Center);
    label(Label9, {6000, 4800, 735, 375}, "Ya", 0x000000, sans(13.5), true, Align::Center);
    label(NN, {5040, 3240, 2535, 975}, "10000", red, tahoma(36, true));
    label(Label8, {4440, 3480, 615, 735}, "X", white, sans(24, true, true));
    placeAt(kena, 2880, 3000, 1665, 1455);
    kena.fit = Fit::Stretch;
    kena.setPicture("kena");
    for (Element* e : std::initializer_list<Element*>{&Label10, &Label9, &NN, &Label8, &kena}) Hasil.add(*e);

    // --- Profile panel.
    placeAt(KN, 1560, 6240, 3375, 375);
    KN.setText("indonesia");
    KN.setVisible(false);
    placeAt(konfignama, 3840, 3120, 3495, 375);
    konfignama.setText("Korvala");
    placeAt(KonfigNegara, 3960, 4800, 3375, 315);
    KonfigNegara.setText("Indonesia");
    for (const char* country :
         {"Indonesia",    "Malaysia",       "Singapore", "Australia", "Brunei",    "Thailand",   "China",    "USA",
          "Papua Nugini", "United Kingdom", "USA",       "Vietnam",   "Philipina", "NewZealand", "Hongkong", "Japan",
          "Korea",        "Rusia",          "Canada",    "Portugies", "Israel",    "Hungaria",   "India",    "Italia"})
        KonfigNegara.AddItem(country);
    placeAt(Konfigemail, 3840, 3960, 3495, 375);
    Konfigemail.setText("email");
    for (RichTextBox* r : {&KN, &konfignama, &Konfigemail}) r->look.font = sans(8.5);
    for (Element* e : std::initializer_list<Element*>{&KN, &konfignama, &KonfigNegara, &Konfigemail}) konfig.add(*e);
    konfig.tabOrder = {&KonfigNegara, &konfignama, &Konfigemail};
    label(Label11, {3840, 2880, 2415, 255}, "Dilarang Menggunakan Spasi!", white, sans(8.25));
    label(Label7, {5520, 5520, 855, 255}, "OK!", white, sans(8.25, true), true, Align::Center);
    label(Label6, {3960, 5520, 975, 255}, "Batal", white, sans(8.25, true), true, Align::Center);
    for (Element* e : std::initializer_list<Element*>{&Label11, &Label7, &Label6}) konfig.add(*e);

    // --- Information panel.
    placeAt(Perbaharui, 6720, 2760, 1575, 375);
    Perbaharui.setCaption("Perbaharui");
    placeAt(Command8, 8400, 2760, 1575, 375);
    Command8.setCaption("Kembali Ke Menu");
    placeAt(WBX, 360, 3240, 9615, 3495);
    for (Element* e : std::initializer_list<Element*>{&Perbaharui, &Command8, &WBX}) Infox.add(*e);

    // --- Board panel.
    placeAt(Command7, 4920, 6480, 1455, 375);
    Command7.setCaption("Kembali Ke Menu");
    placeAt(Command6, 8280, 6480, 855, 375);
    Command6.setCaption("<<");
    placeAt(Command5, 9240, 6480, 855, 375);
    Command5.setCaption(">>");
    placeAt(Command3, 1440, 6480, 855, 375);
    Command3.setCaption("Command3");
    Command3.setTag("0");
    Command3.setVisible(false);
    placeAt(siapol, 6000, 840, 2775, 375);
    // Room for every score string a game composes from full profile fields.
    siapol.maxLength = kMaxScoreStringChars;
    siapol.setText(" GOOD TIME");
    siapol.look.font = sans(8.5);
    siapol.setVisible(false);
    placeAt(Command1, 3000, 6480, 1815, 375);
    Command1.setCaption("Save My Sore");
    Command1.setVisible(false);
    placeAt(Command2, 6480, 6480, 1575, 375);
    Command2.setCaption("Perbaharui");
    placeAt(lstRemoteFile, 5640, 5610, 2535, 225);
    lstRemoteFile.sorted = true;
    lstRemoteFile.setVisible(false);
    for (Element* e : std::initializer_list<Element*>{&Command7, &Command6, &Command5, &Command3, &siapol, &Command1,
                                                      &Command2, &lstRemoteFile, &Inet1, &Inet3})
        papan.add(*e);
    placeAt(Image5, 240, 5760, 255, 255);
    label(READD, {120, 240, 1455, 255}, "Label1", 0, sans(8.25), false);
    READD.look.hasForeColor = false;
    papan.add(Image5);
    papan.add(READD);
    const Rgb bands[10] = {0xFFFF00, 0xFFFF00, 0xFFFF00, 0xFBC535, 0xFBC535,
                           0xFBC535, 0xFB8400, 0xFB8400, 0xFB8400, 0xFF0000};
    for (int k = 9; k >= 0; --k) {
        label(*Nama[k], {720, 1320 + 480 * k, 8775, 375}, "Label1", bands[k], sans(13.5));
        papan.add(*Nama[k]);
    }

    // Everything, for lookup: the window itself, then each container's elements.
    all_.push_back(this);
    std::vector<Container*> pending{this};
    while (!pending.empty()) {
        Container* c = pending.front();
        pending.erase(pending.begin());
        for (auto* list : {&c->windowed, &c->windowless}) {
            for (Element* e : *list) {
                all_.push_back(e);
                if (auto* sub = dynamic_cast<Container*>(e)) pending.push_back(sub);
            }
        }
        for (Timer* t : c->timers) all_.push_back(t);
    }
}

void Form1::setPorts(const Ports& ports) {
    if (portsSet_) return;
    portsSet_ = true;
    windowContext_.ports = ports;
    if (Scheduler* s = ports.scheduler)
        for (Element* e : all_)
            if (auto* t = dynamic_cast<Timer*>(e); t && t->Interval() > 0) s->intervalSet(*t, t->Interval());
}

void Form1::DoEvents() {
    if (Scheduler* s = ports().scheduler) s->processEvents();
}

void Form1::MsgBox(const std::string& title, const std::string& prompt) {
    if (MessageBox* m = ports().messageBox) m->critical(title, prompt);
}

void Form1::End() {
    if (ProgramExit* e = ports().exit) e->quit();
}

std::vector<Panel*> Form1::panels() const {
    std::vector<Panel*> out;
    for (Element* e : windowed)
        if (auto* p = dynamic_cast<Panel*>(e)) out.push_back(p);
    return out;
}

const Panel* Form1::screen() const {
    for (Panel* p : panels())
        if (p->Visible()) return p;
    return nullptr;
}

std::string Form1::screenName() const {
    const Panel* p = screen();
    return p ? p->name() : name();
}

Element* Form1::find(std::string_view n, int index) const {
    for (Element* e : all_)
        if (e->name() == n && e->index() == index) return e;
    return nullptr;
}

namespace {

// The element inside `c` that takes the mouse at (x, y) in c's interior, in
// pixels; `c` itself when none of its elements does.
Element* hitIn(const Container& c, int x, int y) {
    for (auto* list : {&c.windowed, &c.windowless}) {
        for (Element* e : *list) {
            if (!e->Visible() || !e->pixelRect().contains(x, y)) continue;
            if (auto* sub = dynamic_cast<Container*>(e)) {
                const Rect r = sub->pixelRect();
                return hitIn(*sub, x - r.left, y - r.top);
            }
            return e;
        }
    }
    return const_cast<Container*>(&c);
}

}  // namespace

Element* Form1::hitTest(int x, int y) const {
    if (x < 0 || y < 0 || x >= kClientWidth / kTwipsPerPixel || y >= kClientHeight / kTwipsPerPixel) return nullptr;
    return hitIn(*this, x, y);
}

}  // namespace korvala
