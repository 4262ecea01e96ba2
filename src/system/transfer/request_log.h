#pragma once
// What the game's log says of the channels' requests. A request is named by
// its kind and server, never by the score's name, the account or its
// password; libcurl's words lose the argument of any FTP command they quote
// (a score file's name holds the player's name and e-mail address).
#include <string>
#include <string_view>

#include "system/transfer/transfer_job.h"

namespace korvala {

// "listing", "upload".
const char* kindName(TransferRequest::Kind kind);

// "listing from 127.0.0.1:2121", "upload to [::1]:2121".
std::string requestName(const TransferJob& job);

// A failure's reason as libcurl words it, with the argument of a quoted
// command left off: "QUOT string not accepted: RNTO Korvala/<score>" ->
// "QUOT string not accepted: RNTO".
std::string withoutCommandArguments(std::string_view libcurlWords);

// The log's line for a request that ended: a failure is a warning with its
// reason, anything else a detail.
void logOutcome(const TransferJob& job, const TransferOutcome& outcome);

// Why a loopback server gets no login from the game.
enum class Distrust { RefusesTls, UntrustedCertificate };
// Says once per server address in a run of the game, as a warning, that
// `where` (a loopback port) is held by a server the game does not trust,
// and what the player can do.
void tellDistrustedLoopback(const std::string& where, Distrust why);

}  // namespace korvala
