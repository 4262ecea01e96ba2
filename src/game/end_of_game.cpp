#include "game/game.h"
#include "window/form1.h"

namespace korvala {

std::string scoreString(std::string_view score, std::string_view name, std::string_view email,
                        std::string_view country) {
    auto piece = [](std::string_view s) {
        const auto first = s.find_first_not_of(' ');
        return "(" + std::string(first == std::string_view::npos ? std::string_view{} : s.substr(first)) + ")";
    };
    return std::string(score) + piece(name) + piece(email) + piece(country);
}

void endGame(Form1& f) {
    f.Hasil.setVisible(true);
    f.tix.setInterval(0);
    f.timex.setInterval(0);
    f.Timer1.setInterval(0);
    f.NN.setCaption(f.Nilai.Caption());
    f.siapol.setText(scoreString(f.Nilai.Caption(), f.konfignama.Text(), f.Konfigemail.Text(), f.KonfigNegara.Text()));
}

}  // namespace korvala
