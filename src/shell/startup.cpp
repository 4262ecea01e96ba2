#include "shell/startup.h"

#include "window/form1.h"

namespace korvala {

void formLoad(Form1& f) {
    f.mc1.setFileName(f.appPath + "/gunshot2.wav");
    f.mc2.setFileName(f.appPath + "/beep5.wav");
    f.mc3.setFileName(f.appPath + "/Auth.wav");
    f.Music.setFileName(f.appPath + "/Birthday.wav");
    f.DK.setFileName(f.appPath + "/External.wav");
    for (SoundDevice* d : {&f.mc1, &f.mc2, &f.mc3, &f.Music, &f.DK}) d->Command("open");
}

}  // namespace korvala
