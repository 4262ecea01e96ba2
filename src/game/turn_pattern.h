#pragma once
// The fixed 25-turn pattern: for each turn, the hole codes of holes 1 to 5.
// "0" empty, "1" target, "2" clock carrier, "3" bomb carrier. Every stage
// walks the same rows; nothing in the game is random.
#include <array>

namespace korvala {

constexpr int kTurnsPerStage = 25;

inline constexpr std::array<const char*, kTurnsPerStage> kTurnPattern{
    "01230", "01010", "02101", "32130", "01213",  //  1..5
    "13131", "33033", "23113", "32033", "10001",  //  6..10
    "01011", "10100", "10110", "00011", "00013",  // 11..15
    "31300", "31313", "33313", "33013", "30032",  // 16..20
    "22222", "23321", "23231", "33333", "31323",  // 21..25
};

}  // namespace korvala
