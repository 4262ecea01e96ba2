#include "sim/simulator.h"

#include <cstdint>
#include <istream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "game/game.h"
#include "shell/event_table.h"
#include "sim/recording_sound.h"
#include "window/form1.h"
#include "window/virtual_clock.h"

#if __has_include("platform/files/document_files.h")
#include "platform/files/document_files.h"
#define KORVALA_SIM_HAS_FILES 1
#endif

namespace korvala {

namespace {

struct LineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string escapeValue(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    return out;
}

std::string unescapeTyped(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) throw LineError("a lone backslash ends the text");
        switch (s[i]) {
            case '\\': out += '\\'; break;
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 's': out += ' '; break;
            default: throw LineError(std::string("unknown escape \\") + s[i]);
        }
    }
    return out;
}

// A whole number made only of digits.
std::int64_t wholeNumber(const std::string& word, const char* what) {
    if (word.empty() || word.size() > 15 || word.find_first_not_of("0123456789") != std::string::npos)
        throw LineError(std::string("bad ") + what + " '" + word + "'");
    return std::stoll(word);
}

class Simulator {
public:
    Simulator(std::ostream& out, const SimulatorOptions& options)
        : out_(out)
#ifdef KORVALA_SIM_HAS_FILES
          , files_(options.dataFolder)
#endif
    {
        (void)options;
        for (SoundDevice* d : {&form_.mc1, &form_.mc2, &form_.mc3, &form_.Music, &form_.DK}) {
            sounds_.push_back(std::make_unique<RecordingSound>(d->name(), cues_));
            d->backend = sounds_.back().get();
        }
#ifdef KORVALA_SIM_HAS_FILES
        form_.files = &files_;
#endif
        clock_.fire = [this](Timer& t) { form_.raise(t, Event::Timer); };
        bindEvents(form_);
        form_.attach(clock_);
        form_.raise(form_, Event::Load);
    }

    void run(const std::string& line) {
        std::istringstream words(line);
        std::string timeWord, verb;
        words >> timeWord >> verb;
        const std::int64_t t = wholeNumber(timeWord, "time");
        if (t < lastTime_) throw LineError("time " + timeWord + " goes back");
        if (verb.empty()) throw LineError("no verb");
        lastTime_ = t;
        clock_.runUntil(t);
        const std::string stamp = timeWord.substr(timeWord.find_first_not_of('0') == std::string::npos
                                                      ? timeWord.size() - 1
                                                      : timeWord.find_first_not_of('0'));

        if (verb == "click" || verb == "move") {
            Element& e = element(word(words), verb);
            expectEnd(words);
            form_.raise(e, verb == "click" ? Event::Click : Event::MouseMove);
        } else if (verb == "clickat" || verb == "moveat") {
            const int x = static_cast<int>(signedNumber(word(words)));
            const int y = static_cast<int>(signedNumber(word(words)));
            expectEnd(words);
            if (Element* e = form_.hitTest(x, y)) form_.raise(*e, verb == "clickat" ? Event::Click : Event::MouseMove);
        } else if (verb == "type") {
            typeText(line);
        } else if (verb == "do") {
            perform(words, stamp);
        } else if (verb == "print") {
            Element& e = element(word(words), verb);
            const std::string property = word(words);
            expectEnd(words);
            const std::string value = escapeValue(read(e, property));
            out_ << stamp << ' ' << e.fullName() << '.' << property << " = \"" << value << "\"\n";
        } else if (verb == "screen") {
            expectEnd(words);
            out_ << stamp << " screen = " << form_.screenName() << '\n';
        } else if (verb == "holes") {
            expectEnd(words);
            out_ << stamp << " holes =";
            for (int i = 1; i <= 5; ++i) out_ << ' ' << form_.TX[i]->Text();
            out_ << '\n';
        } else if (verb == "cues") {
            expectEnd(words);
            out_ << stamp << " cues =";
            for (const std::string& d : cues_.take()) out_ << ' ' << d;
            out_ << '\n';
        } else {
            throw LineError("unknown verb '" + verb + "'");
        }
        out_.flush();
    }

private:
    static std::string word(std::istringstream& words) {
        std::string w;
        if (!(words >> w)) throw LineError("missing argument");
        return w;
    }
    static void expectEnd(std::istringstream& words) {
        std::string rest;
        if (words >> rest) throw LineError("unexpected '" + rest + "'");
    }
    static long long signedNumber(const std::string& w) {
        if (!w.empty() && w[0] == '-') return -wholeNumber(w.substr(1), "number");
        return wholeNumber(w, "number");
    }

    Element& element(const std::string& ref, const std::string& verb) {
        std::string name = ref;
        int index = -1;
        if (const auto open = ref.find('('); open != std::string::npos) {
            if (ref.back() != ')') throw LineError("bad element '" + ref + "'");
            name = ref.substr(0, open);
            index = static_cast<int>(wholeNumber(ref.substr(open + 1, ref.size() - open - 2), "index"));
        }
        Element* e = form_.find(name, index);
        if (!e) throw LineError("unknown element '" + ref + "' for " + verb);
        return *e;
    }

    static std::string read(const Element& e, const std::string& property) {
        if (property == "Visible") return e.Visible() ? "True" : "False";
        if (property == "Tag") return e.Tag();
        if (property == "Caption") {
            if (auto* l = dynamic_cast<const Label*>(&e)) return l->Caption();
            if (auto* b = dynamic_cast<const Button*>(&e)) return b->Caption();
            if (auto* f = dynamic_cast<const Form1*>(&e)) return f->Caption;
        } else if (property == "Text") {
            if (auto* t = dynamic_cast<const TextElement*>(&e)) return t->Text();
        } else if (property == "Interval") {
            if (auto* t = dynamic_cast<const Timer*>(&e)) return std::to_string(t->Interval());
        } else if (property == "Picture") {
            if (auto* i = dynamic_cast<const Image*>(&e)) return i->Picture();
            if (auto* c = dynamic_cast<const Container*>(&e)) return c->background;
        } else {
            throw LineError("unknown property '" + property + "'");
        }
        throw LineError(e.fullName() + " has no " + property);
    }

    void typeText(const std::string& line) {
        // The text is the rest of the line after the element and one blank.
        std::istringstream words(line);
        std::string timeWord, verb, ref;
        words >> timeWord >> verb >> ref;
        if (ref.empty()) throw LineError("missing argument");
        auto* box = dynamic_cast<TextElement*>(&element(ref, "type"));
        if (!box || !(box->kind() == Kind::TextBox || box->kind() == Kind::RichTextBox || box->kind() == Kind::ComboBox))
            throw LineError(ref + " cannot be typed into");
        std::string rest;
        std::getline(words, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        std::string text = unescapeTyped(rest);
        if (auto* rich = dynamic_cast<RichTextBox*>(box); rich && !rich->acceptsLineBreaks)
            std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
        box->setText(std::move(text));
    }

    void perform(std::istringstream& words, const std::string& stamp) {
        const std::string op = word(words);
        if (op == "startGame") {
            expectEnd(words);
            startGame(form_);
        } else if (op == "endGame") {
            expectEnd(words);
            endGame(form_);
        } else if (op == "LoadFile" || op == "SaveFile") {
            const std::string ref = word(words);
            auto* box = dynamic_cast<RichTextBox*>(&element(ref, op));
            if (!box) throw LineError(ref + " is not a rich-text box");
            // The file name is the rest of the line after one blank (score
            // file names hold blanks), with the same escapes as typed text.
            std::string rest;
            std::getline(words, rest);
            if (rest.size() < 2 || rest[0] != ' ') throw LineError("missing argument");
            const std::string file = unescapeTyped(rest.substr(1));
            const bool ok = op == "LoadFile" ? box->LoadFile("C:/" + file) : box->SaveFile("C:/" + file);
            if (!ok) out_ << stamp << ' ' << op << ' ' << box->fullName() << " failed\n";
        } else {
            throw LineError("unknown operation '" + op + "'");
        }
    }

    std::ostream& out_;
    Form1 form_;
    VirtualClock clock_;
    CueLog cues_;
    std::vector<std::unique_ptr<RecordingSound>> sounds_;
#ifdef KORVALA_SIM_HAS_FILES
    DiskDocumentFiles files_;
#endif
    std::int64_t lastTime_ = 0;
};

}  // namespace

int runScenario(std::istream& in, std::ostream& out, std::ostream& err, const SimulatorOptions& options) {
    Simulator sim(out, options);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        try {
            sim.run(line.substr(first));
        } catch (const LineError& e) {
            out.flush();
            err << "error: line " << number << ": " << e.what() << '\n';
            return 2;
        }
    }
    return 0;
}

}  // namespace korvala
