#include "online/online.h"
#include "shell/shell.h"
#include "window/form1.h"

namespace korvala {

void formLoad(Form1& f) {
    f.mc1.setFileName(f.appPath + "/gunshot2.wav");
    f.mc2.setFileName(f.appPath + "/beep5.wav");
    f.mc3.setFileName(f.appPath + "/Auth.wav");
    f.Music.setFileName(f.appPath + "/Birthday.wav");
    f.DK.setFileName(f.appPath + "/External.wav");
    for (SoundDevice* d : f.soundDevices()) d->Command("open");
    // From here on a step that fails is passed over: a missing profile file
    // leaves its box with its initial text.
    f.KN.LoadFile("C:/konfignegara.tamzosystem");
    f.KonfigNegara.setText(f.KN.Text());
    f.Konfigemail.LoadFile("C:/konfigemail.tamzosystem");
    f.konfignama.LoadFile("C:/konfignama.tamzosystem");
    applyFtpSettings(f, f.Inet3);
}

void firstSplashTick(Form1& f) {
    f.OPENS.setVisible(false);
    f.OPENS2.setVisible(true);
    f.Timer5.setInterval(5000);
    f.Timer4.setInterval(0);
}

void secondSplashTick(Form1& f) {
    f.OPENS2.setVisible(false);
    f.openi.setVisible(true);
    f.Timer5.setInterval(0);
}

void endProgram(Form1& f) { f.End(); }

}  // namespace korvala
