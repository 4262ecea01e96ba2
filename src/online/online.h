#pragma once
// Online scores: the FTP settings of a transfer channel, submitting the
// score string, the score board filled from the remote folder's listing, and
// the scores web page.
#include <string>

namespace korvala {

class Form1;
class Inet;

// The remote score folder, and the score service of the run as the window
// holds it (Form1::scoreService).
inline constexpr const char* kRemoteFolder = "Korvala/";
std::string ftpUrl(const Form1& f);  // "ftp://" + user name + "@" + host:port
std::string ftpUserName(const Form1& f);
std::string scoresPageUrl(const Form1& f);

// The six connection settings, in their order.
void applyFtpSettings(const Form1& f, Inet& channel);
// Settings on Inet1, "DIR Korvala/", then the listing marker READD "OK!".
void requestScoreListing(Form1& f);
// "DIR Korvala/" on the listing channel (its settings applied first).
void startListing(Form1& f);

// "Ya" on the result panel (Label9) and "Save My Sore" on the board (Command1).
void answerYes(Form1& f);
void saveMySore(Form1& f);

// The listing channel's report: reads the response when the marker says so,
// fills the sorted entry list and shows page 0.
void listingReport(Form1& f);
// Rows Nama(0..9): "<10p+k+1>. <entry 10p+k>".
void showScorePage(Form1& f, long long page);
void refreshClick(Form1& f);   // "Perbaharui" on the board (Command2)
void nextPageClick(Form1& f);  // ">>" (Command5)
void prevPageClick(Form1& f);  // "<<" (Command6)

// The scores page in the information panel's browser (Info Online and its
// "Perbaharui").
void showScoresPage(Form1& f);

}  // namespace korvala
