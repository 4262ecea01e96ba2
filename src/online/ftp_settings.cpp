#include "online/online.h"
#include "window/form1.h"

namespace korvala {

std::string ftpUserName(const Form1& f) { return f.scoreService.ftpUser; }
std::string ftpUrl(const Form1& f) { return "ftp://" + ftpUserName(f) + "@" + authorityOf(f.scoreService.ftp); }
std::string scoresPageUrl(const Form1& f) { return f.scoreService.scoresPage; }

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
