#include "online/online.h"
#include "window/form1.h"

namespace korvala {

namespace {
std::string orDefault(const std::string& value, const char* builtIn) { return value.empty() ? builtIn : value; }
}  // namespace

ScoreService defaultScoreService() { return {KORVALA_FTP_HOST, KORVALA_FTP_USER, KORVALA_SCORES_PAGE}; }

std::string ftpUserName(const Form1& f) { return orDefault(f.scoreService.ftpUser, KORVALA_FTP_USER); }
std::string ftpUrl(const Form1& f) {
    return "ftp://" + ftpUserName(f) + "@" + orDefault(f.scoreService.ftpHost, KORVALA_FTP_HOST);
}
std::string scoresPageUrl(const Form1& f) { return orDefault(f.scoreService.scoresPage, KORVALA_SCORES_PAGE); }

void applyFtpSettings(const Form1& f, Inet& channel) {
    channel.setProperty("AccessType", "1");       // direct, no proxy
    channel.setProperty("RequestTimeout", "50");  // seconds
    channel.setProperty("Protocol", "4");
    channel.setProperty("URL", ftpUrl(f));
    channel.setProperty("UserName", ftpUserName(f));
    channel.setProperty("Password", "481526");
}

void startListing(Form1& f) {
    applyFtpSettings(f, f.Inet1);
    f.Inet1.Execute({TransferRequest::Kind::Listing, std::string("DIR ") + kRemoteFolder, kRemoteFolder, {}, {}});
}

void requestScoreListing(Form1& f) {
    startListing(f);
    f.READD.setCaption("OK!");
}

}  // namespace korvala
