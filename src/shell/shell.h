#pragma once
// The shell: start-up, the two splash screens, the menu carousel, every
// return to the menu, and the end of the program.
namespace korvala {

class Form1;

// The window's Load event: binds the five sound devices to their files
// beside the executable (first all five file names, then all five "open"
// commands), then, every step skipped on failure, loads the profile files and
// prepares the upload channel.
void formLoad(Form1& f);

void firstSplashTick(Form1& f);   // Timer4
void secondSplashTick(Form1& f);  // Timer5

void leftArrowClick(Form1& f);     // Image1
void rightArrowClick(Form1& f);    // Image2
void menuRefresherTick(Form1& f);  // Timer3
void leftArrowMove(Form1& f);      // Image1 MouseMove
void rightArrowMove(Form1& f);     // Image2 MouseMove
void entryMove(Form1& f);          // Image3 MouseMove
void frameMove(Form1& f);          // Image4 MouseMove
void entryClick(Form1& f);         // Image3: opens the selected entry

// Back to the menu: the about panel, the information panel's and the
// board's "Kembali Ke Menu", "Batal" and "Tidak".
void aboutClick(Form1& f);          // ABT
void infoBackClick(Form1& f);       // Command8
void boardBackClick(Form1& f);      // Command7
void cancelProfileClick(Form1& f);  // Label6
void answerNoClick(Form1& f);       // Label10
void hotspotClick(Form1& f);        // Image5: reveals the score box and "Save My Sore"

// Keluar, and the window's close control: the program ends at once.
void endProgram(Form1& f);

}  // namespace korvala
