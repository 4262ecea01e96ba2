#pragma once
// Where the online scores live: the FTP host and account that hold the score
// folder, and the scores page. The game's start sets them from its options
// and settings file; a field left empty is the game's built-in default.
#include <string>

namespace korvala {

struct ScoreService {
    std::string ftpHost;  // "host" or "host:port"
    std::string ftpUser;
    std::string scoresPage;  // an http:// or https:// address
};

}  // namespace korvala
