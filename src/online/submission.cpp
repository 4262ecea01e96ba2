#include "online/online.h"
#include "window/form1.h"

namespace korvala {

namespace {

// Writes the score file "C:/" + S and uploads it as "Korvala/" + S. The
// request carries both paths whole, so a score string with blanks is never
// split; the operation string is kept as the game forms it.
void sendScore(Form1& f) {
    const std::string score = f.siapol.Text();
    f.siapol.SaveFile("C:/" + score);
    TransferRequest put;
    put.kind = TransferRequest::Kind::Upload;
    put.operation = "PUT C:/" + score + " " + kRemoteFolder + score;
    put.localPath = "C:/" + score;
    put.remotePath = kRemoteFolder + score;
    f.Inet3.Execute(std::move(put));
}

}  // namespace

void answerYes(Form1& f) {
    f.Hasil.setVisible(false);
    f.openi.setVisible(false);
    f.papan.setVisible(true);
    sendScore(f);
    requestScoreListing(f);
}

// The same steps, no panel changed; a failure is as silent as under "Ya":
// the score string as held, leading blanks and all, names both files.
void saveMySore(Form1& f) {
    sendScore(f);
    requestScoreListing(f);
}

}  // namespace korvala
