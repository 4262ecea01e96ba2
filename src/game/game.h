#pragma once
// A game on the board: its state is the text of the board's elements (the
// score `Nilai`, the time left `TOX`, the turn `giliran`, the turn period
// `Level`, the grade `Lshow` and the hole codes `TX(1..5)`).
#include <string>
#include <string_view>

namespace korvala {

class Form1;

// Hole codes, as the hidden text boxes TX(i) hold them.
inline constexpr const char* kEmpty = "0";
inline constexpr const char* kTarget = "1";
inline constexpr const char* kClockCarrier = "2";
inline constexpr const char* kBombCarrier = "3";
inline constexpr const char* kKnockedOut = "4";

// Arms the three game timers and resets the period, score and time left;
// copies the profile onto the board. The turn, the grade and the hole codes
// carry over from the previous game.
void startGame(Form1& f);

// `timex`: the next turn of the pattern.
void turnClockTick(Form1& f);

// `Timer1`: every hole shows the picture of its code.
void boardPainterTick(Form1& f);

// Click on lobang(i), i = 1..5.
void holeClick(Form1& f, int i);

// `tix`: one second off the time left, or the end of the game.
void countdownTick(Form1& f);

// Shows the result panel, stops the game timers, shows the final score and
// leaves the score string in the score box `siapol`.
void endGame(Form1& f);

// score(name)(e-mail)(country), each profile piece without its leading blanks.
std::string scoreString(std::string_view score, std::string_view name, std::string_view email,
                        std::string_view country);

}  // namespace korvala
