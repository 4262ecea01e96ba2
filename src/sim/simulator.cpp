#include "sim/simulator.h"

#include <climits>
#include <cstdint>
#include <istream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "doubles/recording_channel.h"
#include "doubles/recording_sound.h"
#include "doubles/recording_ui.h"
#include "doubles/virtual_clock.h"
#include "game/game.h"
#include "program/wiring.h"
#include "sim/sim_text.h"
#include "system/files/document_files.h"
#include "window/characters.h"
#include "window/form1.h"

namespace korvala {

namespace {

using sim::escapeValue;
using sim::LineError;
using sim::quote;

// The simulator's horizon: 24 hours of virtual time.
constexpr std::int64_t kHorizonMs = 86'400'000;

// A whole number made only of digits, no larger than `max`.
std::int64_t wholeNumber(const std::string& word, const char* what, std::int64_t max) {
    if (word.empty() || word.size() > 18 || word.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(word) > max)
        throw LineError(std::string("bad ") + what + " " + quote(word));
    return std::stoll(word);
}

class Simulator {
public:
    Simulator(std::ostream& out, const SimulatorOptions& options)
        : out_(out),
          files_(options.dataFolder),
          inet1_("Inet1", actions_),
          inet3_("Inet3", actions_),
          wbx_("WBX", actions_) {
        PlatformParts parts;
        parts.scheduler = &clock_;
        parts.files = &files_;
        parts.makeSound = [this](const std::string& device) { return std::make_unique<RecordingSound>(device, cues_); };
        parts.messageBox = &messages_;
        parts.exit = &exit_;
        parts.Inet1 = &inet1_;
        parts.Inet3 = &inet3_;
        parts.WBX = &wbx_;
        parts.service = options.service;
        form_.appPath = options.appDir;
        program_ = std::make_unique<Program>(form_, std::move(parts));
        program_->load();
    }

    // True once the program has ended: later lines are not read.
    bool ended() const { return ended_; }

    void run(const std::string& line) {
        std::istringstream words(line);
        std::string timeWord, verb;
        words >> timeWord >> verb;
        const std::int64_t t = wholeNumber(timeWord, "time", kHorizonMs);
        if (t < lastTime_) throw LineError("time " + timeWord + " goes back");
        if (verb.empty()) throw LineError("no verb");
        lastTime_ = t;
        clock_.runUntil(t);
        const std::string stamp = std::to_string(t);

        if (verb == "click" || verb == "move") {
            Element& e = element(word(words), verb);
            expectEnd(words);
            form_.raise(e, verb == "click" ? Event::Click : Event::MouseMove);
        } else if (verb == "clickat" || verb == "moveat") {
            const int x = coordinate(word(words));
            const int y = coordinate(word(words));
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
            for (int i = 1; i <= 5; ++i) out_ << ' ' << escapeValue(form_.TX[i]->Text());
            out_ << '\n';
        } else if (verb == "cues") {
            expectEnd(words);
            out_ << stamp << " cues =";
            for (const std::string& d : cues_.take()) out_ << ' ' << d;
            out_ << '\n';
        } else if (verb == "messages") {
            expectEnd(words);
            for (const ShownMessage& m : messages_.take())
                out_ << stamp << " message \"" << escapeValue(m.title) << "\" \"" << escapeValue(m.prompt) << "\"\n";
        } else if (verb == "requests") {
            expectEnd(words);
            for (const Action& a : actions_.take())
                out_ << stamp << ' ' << a.verb << ' ' << a.element << " \"" << escapeValue(a.value) << "\"\n";
        } else if (verb == "answer") {
            // The rest of the line after one blank, as typed text; may be empty.
            const auto at = line.find("answer") + 6;
            std::string rest = line.substr(at);
            if (!rest.empty() && rest[0] != ' ') throw LineError("unknown verb " + quote(verb));
            if (!rest.empty()) rest.erase(0, 1);
            inet1_.answer(sim::unescapeTyped(rest));
        } else if (verb == "answer-fail") {
            expectEnd(words);
            inet1_.fail();
        } else if (verb == "report") {
            expectEnd(words);
            inet1_.report();
        } else {
            throw LineError("unknown verb " + quote(verb));
        }
        if (exit_.quits > 0) {
            out_ << stamp << " exit\n";
            ended_ = true;
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
        if (words >> rest) throw LineError("unexpected " + quote(rest));
    }
    // A pixel coordinate: any 32-bit signed whole number; outside the client
    // area it reaches nothing.
    static int coordinate(const std::string& w) {
        const bool negative = !w.empty() && w[0] == '-';
        const std::int64_t magnitude =
            wholeNumber(negative ? w.substr(1) : w, "number", negative ? -std::int64_t{INT_MIN} : INT_MAX);
        return static_cast<int>(negative ? -magnitude : magnitude);
    }

    Element& element(const std::string& ref, const std::string& verb) {
        std::string name = ref;
        int index = -1;
        if (const auto open = ref.find('('); open != std::string::npos) {
            if (ref.back() != ')') throw LineError("bad element " + quote(ref));
            name = ref.substr(0, open);
            const std::string digits = ref.substr(open + 1, ref.size() - open - 2);
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
                throw LineError("bad index " + quote(digits));
            // An index past any element array is an unknown element.
            index = digits.size() > 9 ? INT_MAX : std::stoi(digits);
        }
        Element* e = index == INT_MAX ? nullptr : form_.find(name, index);
        if (!e) throw LineError("unknown element " + quote(ref) + " for " + verb);
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
        } else if (auto* inet = dynamic_cast<const Inet*>(&e)) {
            std::string value;
            if (inet->property(property, value)) return value;
            throw LineError(e.fullName() + " has no " + quote(property));
        } else if (property == "Picture") {
            if (auto* i = dynamic_cast<const Image*>(&e)) return i->Picture();
            if (auto* c = dynamic_cast<const Container*>(&e)) return c->background;
        } else {
            throw LineError("unknown property " + quote(property));
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
        if (!box ||
            !(box->kind() == Kind::TextBox || box->kind() == Kind::RichTextBox || box->kind() == Kind::ComboBox))
            throw LineError(ref + " cannot be typed into");
        std::string rest;
        std::getline(words, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        std::string text = sim::unescapeTyped(rest);
        if (auto* rich = dynamic_cast<RichTextBox*>(box); rich && !rich->acceptsLineBreaks)
            std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
        if (box->maxLength > 0 && characterCount(text) > box->maxLength)
            throw LineError(ref + " holds at most " + std::to_string(box->maxLength) + " characters");
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
        } else if (op == "close") {
            expectEnd(words);
            program_->close();
        } else if (op == "LoadFile" || op == "SaveFile") {
            const std::string ref = word(words);
            auto* box = dynamic_cast<RichTextBox*>(&element(ref, op));
            if (!box) throw LineError(ref + " is not a rich-text box");
            // The file name is the rest of the line after one blank (score
            // file names hold blanks), with the same escapes as typed text.
            std::string rest;
            std::getline(words, rest);
            if (rest.size() < 2 || rest[0] != ' ') throw LineError("missing argument");
            const std::string file = sim::unescapeTyped(rest.substr(1));
            const bool ok = op == "LoadFile" ? box->LoadFile("C:/" + file) : box->SaveFile("C:/" + file);
            if (!ok) out_ << stamp << ' ' << op << ' ' << box->fullName() << " failed\n";
        } else {
            throw LineError("unknown operation " + quote(op));
        }
    }

    std::ostream& out_;
    Form1 form_;
    VirtualClock clock_;
    CueLog cues_;
    ActionLog actions_;
    DiskDocumentFiles files_;
    RecordingMessageBox messages_;
    RecordingExit exit_;
    RecordingChannel inet1_, inet3_;
    RecordingWebView wbx_;
    std::unique_ptr<Program> program_;
    std::int64_t lastTime_ = 0;
    bool ended_ = false;
};

}  // namespace

int runScenario(std::istream& in, std::ostream& out, std::ostream& err, const SimulatorOptions& options) {
    Simulator sim(out, options);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        if (sim.ended()) break;
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
