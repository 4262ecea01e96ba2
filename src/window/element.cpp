#include "window/element.h"

#include <algorithm>

#include "window/case_fold.h"
#include "window/characters.h"

namespace korvala {

namespace {

const Ports kNoPorts{};

// Case-insensitive, character by character, for letters of every script:
// the sorted list's order.
bool listBefore(const std::string& a, const std::string& b) { return compareCaseFolded(a, b) < 0; }

}  // namespace

std::string Element::fullName() const { return index_ < 0 ? name_ : name_ + "(" + std::to_string(index_) + ")"; }

bool Element::windowed() const {
    switch (kind_) {
        case Kind::Label:
        case Kind::Image:
        case Kind::Shape:
        case Kind::Timer:
        case Kind::Inet:
            return false;
        default:
            return true;
    }
}

const WindowContext* Element::context() const {
    const Element* top = this;
    while (top->parent) top = top->parent;
    return top->ownContext();
}

const Ports& Element::ports() const {
    const WindowContext* c = context();
    return c ? c->ports : kNoPorts;
}

void Element::notify() {
    const WindowContext* c = context();
    if (c && c->observer) c->observer->changed(*this);
}

void Element::assign(std::string& slot, std::string value) {
    if (slot == value) return;  // the same value again: nothing to repaint
    slot = std::move(value);
    notify();
}

void Element::setVisible(bool v) {
    if (visible_ == v) return;
    visible_ = v;
    notify();
}

void Label::setCaption(std::string c) { assign(caption_, std::move(c)); }
void Image::setPicture(const std::string& p) { assign(picture_, p); }
void Button::setCaption(std::string c) { assign(caption_, std::move(c)); }

void TextElement::setText(std::string t) {
    if (maxLength > 0) t.resize(characterPrefix(t, maxLength));
    assign(text_, std::move(t));
}

void ComboBox::AddItem(std::string item) {
    items_.push_back(std::move(item));
    notify();
}

bool RichTextBox::LoadFile(const std::string& path) {
    DocumentFiles* files = ports().files;
    if (!files) return false;
    std::string text = Text();
    if (!files->load(path, text)) return false;
    // A document longer than the box holds is not one a box wrote.
    if (maxLength > 0 && characterPrefix(text, maxLength) < text.size()) return false;
    setText(std::move(text));
    return true;
}

bool RichTextBox::SaveFile(const std::string& path) {
    DocumentFiles* files = ports().files;
    return files && files->save(path, Text());
}

void ListBox::Clear() {
    if (items_.empty()) return;
    items_.clear();
    notify();
}

void ListBox::AddItems(std::vector<std::string> items) {
    if (items.empty()) return;
    items_.insert(items_.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    if (sorted) std::sort(items_.begin(), items_.end(), listBefore);  // equal entries: no set order
    notify();
}

SoundBackend* SoundDevice::backend() const { return slot < kSoundDevices ? ports().sounds[slot] : nullptr; }

void SoundDevice::setFileName(std::string path) {
    fileName_ = std::move(path);
    if (SoundBackend* b = backend()) b->setFileName(fileName_);
}

void SoundDevice::Command(const std::string& cmd) {
    if (SoundBackend* b = backend()) b->command(cmd);
}

TransferChannel* Inet::channel() const { return ports().*port_; }

namespace {
template <typename Settings>
auto* settingSlot(Settings& s, std::string_view name) {
    if (name == "AccessType") return &s.AccessType;
    if (name == "RequestTimeout") return &s.RequestTimeout;
    if (name == "Protocol") return &s.Protocol;
    if (name == "URL") return &s.URL;
    if (name == "UserName") return &s.UserName;
    if (name == "Password") return &s.Password;
    return static_cast<decltype(&s.URL)>(nullptr);
}
}  // namespace

bool Inet::setProperty(std::string_view name, std::string value) {
    std::string* slot = settingSlot(settings_, name);
    if (!slot) return false;
    *slot = std::move(value);
    return true;
}

bool Inet::property(std::string_view name, std::string& value) const {
    const std::string* slot = settingSlot(settings_, name);
    if (!slot) return false;
    value = *slot;
    return true;
}

bool Inet::Execute(TransferRequest request) {
    TransferChannel* c = channel();
    if (!c) return false;
    c->execute(settings_, request);
    return true;
}

std::string Inet::GetChunk(std::size_t size) {
    TransferChannel* c = channel();
    return c ? c->getChunk(size) : std::string();
}

bool WebBrowser::Navigate(const std::string& url) {
    WebView* view = ports().WBX;
    if (!view) return false;
    view->navigate(url);
    return true;
}

void WebBrowser::Prepare() {
    if (WebView* view = ports().WBX) view->prepare();
}

void Timer::setInterval(int ms) {
    interval_ = ms < 0 ? 0 : ms;
    if (Scheduler* s = ports().scheduler) s->intervalSet(*this, interval_);
}

void Container::add(Element& e) {
    e.parent = this;
    if (auto* t = dynamic_cast<Timer*>(&e))
        timers.push_back(t);
    else if (e.windowed())
        windowed.push_back(&e);
    else
        windowless.push_back(&e);
}

}  // namespace korvala
