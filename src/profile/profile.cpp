#include "profile/profile.h"

#include <functional>
#include <string>

#include "window/characters.h"
#include "window/cues.h"
#include "window/form1.h"

namespace korvala {

namespace {

// Walks a field's characters: each blank shows the field's warning, each
// other character saves the field (the same content each time). A save that
// fails tells the player once for the field; the walk goes on.
void walkField(Form1& f, const std::string& text, const char* title, const char* prompt,
               const std::function<bool()>& save, const char* notKept) {
    bool toldFailure = false;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        i = characterEnd(text, i);
        if (c == ' ') {
            f.MsgBox(title, prompt);
        } else if (!save() && !toldFailure) {
            toldFailure = true;
            f.MsgBox("Gagal Menyimpan!", notKept);
        }
    }
}

}  // namespace

void profileOkClick(Form1& f) {
    // Each walk reads its field as it stands when the walk begins.
    walkField(
        f, f.konfignama.Text(), "Perhatian Untuk Box Nama!", "Dilarang Menggunakan Spasi! dalam penulisan nama",
        [&f] { return f.konfignama.SaveFile("C:/konfignama.tamzosystem"); }, "Nama tidak dapat disimpan.");
    walkField(
        f, f.Konfigemail.Text(), "Perhatian Untuk Box email!", "Dilarang Menggunakan Spasi! dalam penulisan e-mail",
        [&f] { return f.Konfigemail.SaveFile("C:/konfigemail.tamzosystem"); }, "E-mail tidak dapat disimpan.");
    walkField(
        f, f.KonfigNegara.Text(), "Perhatian Untuk Box Negara!", "Dilarang Menggunakan Spasi! dalam penulisan negara",
        [&f] {
            f.KN.setText(f.KonfigNegara.Text());
            return f.KN.SaveFile("C:/konfignegara.tamzosystem");
        },
        "Negara tidak dapat disimpan.");
    f.konfig.setVisible(false);
    f.openi.setVisible(true);
    playCue(f.mc2);
}

}  // namespace korvala
