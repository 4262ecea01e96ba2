#include "online/online.h"
#include "window/form1.h"

namespace korvala {

std::string ftpUserName() { return KORVALA_FTP_USER; }
std::string ftpUrl() { return std::string("ftp://") + KORVALA_FTP_USER + "@" + KORVALA_FTP_HOST; }
std::string scoresPageUrl() { return KORVALA_SCORES_PAGE; }

void applyFtpSettings(Inet& channel) {
    channel.setProperty("AccessType", "1");      // direct, no proxy
    channel.setProperty("RequestTimeout", "50");  // seconds
    channel.setProperty("Protocol", "4");
    channel.setProperty("URL", ftpUrl());
    channel.setProperty("UserName", ftpUserName());
    channel.setProperty("Password", "481526");
}

void startListing(Form1& f) {
    applyFtpSettings(f.Inet1);
    f.Inet1.Execute({TransferRequest::Kind::Listing, std::string("DIR ") + kRemoteFolder, kRemoteFolder, {}, {}});
}

void requestScoreListing(Form1& f) {
    startListing(f);
    f.READD.setCaption("OK!");
}

}  // namespace korvala
