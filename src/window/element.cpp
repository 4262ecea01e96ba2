#include "window/element.h"

#include "window/form1.h"
#include "window/ports.h"
#include "window/scheduler.h"

namespace korvala {

std::string Element::fullName() const {
    return index_ < 0 ? name_ : name_ + "(" + std::to_string(index_) + ")";
}

bool Element::windowed() const {
    switch (kind_) {
        case Kind::Label: case Kind::Image: case Kind::Shape: case Kind::Timer: case Kind::Inet:
            return false;
        default:
            return true;
    }
}

Form1* Element::form() const {
    const Element* e = this;
    while (e->parent) e = e->parent;
    return dynamic_cast<Form1*>(const_cast<Element*>(e));
}

void Element::notify() {
    if (Form1* f = form(); f && f->observer) f->observer->changed(*this);
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
void TextElement::setText(std::string t) { assign(text_, std::move(t)); }
void Button::setCaption(std::string c) { assign(caption_, std::move(c)); }

bool RichTextBox::LoadFile(const std::string& path) {
    Form1* f = form();
    if (!f || !f->files) return false;
    std::string text = Text();
    if (!f->files->load(path, text)) return false;
    setText(std::move(text));
    return true;
}

bool RichTextBox::SaveFile(const std::string& path) {
    Form1* f = form();
    return f && f->files && f->files->save(path, Text());
}

void SoundDevice::setFileName(std::string path) {
    fileName_ = std::move(path);
    if (backend) backend->setFileName(fileName_);
}

void SoundDevice::Command(const std::string& cmd) {
    if (backend) backend->command(cmd);
}

void Timer::setInterval(int ms) {
    interval_ = ms < 0 ? 0 : ms;
    if (Form1* f = form(); f && f->scheduler) f->scheduler->intervalSet(*this, interval_);
}

void Container::add(Element& e) {
    e.parent = this;
    if (auto* t = dynamic_cast<Timer*>(&e)) timers.push_back(t);
    else if (e.windowed()) windowed.push_back(&e);
    else windowless.push_back(&e);
}

}  // namespace korvala
