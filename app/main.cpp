// korvala: the game. It reads no options and no configuration.
#include "app/game_app.h"

int main(int argc, char** argv) { return korvala::runGame(argc, argv); }
