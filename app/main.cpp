// korvala: the game. Its options and settings files choose the score
// service (korvala --help lists them); other arguments go to the window
// toolkit.
#include "app/game_app.h"

int main(int argc, char** argv) { return korvala::runGame(argc, argv); }
