#pragma once
// The elements of the window model: every label, image, box, button, timer
// and panel of the main window, with the properties the game reads and
// writes. Plain C++: the Qt view draws these, the simulator only reads them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "window/limits.h"
#include "window/ports.h"

namespace korvala {

class Container;

enum class Kind {
    Form,
    Panel,
    Label,
    Image,
    Shape,
    TextBox,
    Button,
    ListBox,
    ComboBox,
    RichTextBox,
    SoundDevice,
    Inet,
    WebBrowser,
    Timer,
};

// A place in twips relative to the container's interior; 15 twips make a pixel.
struct Rect {
    int left = 0, top = 0, width = 0, height = 0;
    int right() const { return left + width; }
    int bottom() const { return top + height; }
    bool contains(int x, int y) const { return x >= left && x < right() && y >= top && y < bottom(); }
};
constexpr int kTwipsPerPixel = 15;

struct Font {
    std::string face = "MS Sans Serif";
    double points = 8.25;
    bool bold = false;
    bool italic = false;
};

using Rgb = std::uint32_t;  // 0xRRGGBB
enum class Align { Left, Center };
enum class Fit { Natural, Stretch };

// Told of every property change that can alter the screen; the view repaints
// only what it hears about, so writing an unchanged value costs nothing.
class ChangeObserver {
public:
    virtual ~ChangeObserver() = default;
    virtual void changed(const class Element& e) = 0;
};

// What every element of one window shares: the observer of its changes and
// the ports it reaches the platform through. The window owns it; an element
// reaches it through its containers each time it needs it, so an element
// added to a panel before the panel joins the window finds it all the same.
struct WindowContext {
    ChangeObserver* observer = nullptr;
    Ports ports;
};

class Element {
public:
    Element(Kind kind, std::string name, int index = -1) : kind_(kind), name_(std::move(name)), index_(index) {}
    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;
    virtual ~Element() = default;

    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    int index() const { return index_; }  // -1 outside an element array
    std::string fullName() const;         // "lobang(3)", "Nilai"
    bool windowed() const;                // has a window of its own

    Rect place;                   // twips
    Container* parent = nullptr;  // nullptr for Form1 itself

    bool Visible() const { return visible_; }
    void setVisible(bool v);
    const std::string& Tag() const { return tag_; }
    void setTag(std::string t) { tag_ = std::move(t); }  // never shown

    // Pixel rectangle in the container's interior.
    Rect pixelRect() const {
        return {place.left / kTwipsPerPixel, place.top / kTwipsPerPixel, place.width / kTwipsPerPixel,
                place.height / kTwipsPerPixel};
    }

protected:
    void notify();
    // The ports of the window this element stands in (all empty while it
    // stands in no window).
    const Ports& ports() const;
    // The context of the window this element stands in, found through its
    // containers; nullptr while it stands in no window.
    const WindowContext* context() const;
    // Only the window itself has a context of its own.
    virtual const WindowContext* ownContext() const { return nullptr; }
    // Stores a text property and tells the observer, only when it changes.
    void assign(std::string& slot, std::string value);
    bool visible_ = true;
    std::string tag_;

private:
    Kind kind_;
    std::string name_;
    int index_;
};

// Text look shared by labels and controls.
struct TextLook {
    Font font;
    Rgb foreColor = 0x000000;
    bool hasForeColor = false;  // false: the system's colour
    Align align = Align::Left;
};

class Label : public Element {
public:
    Label(std::string name, int index = -1) : Element(Kind::Label, std::move(name), index) {}
    const std::string& Caption() const { return caption_; }
    void setCaption(std::string c);
    TextLook look;

private:
    std::string caption_;
};

class Image : public Element {
public:
    Image(std::string name, int index = -1) : Element(Kind::Image, std::move(name), index) {}
    // The name of the picture shown ("Kosong", "MNU(3)", "board"...), empty for none.
    const std::string& Picture() const { return picture_; }
    void setPicture(const std::string& p);
    Fit fit = Fit::Natural;

private:
    std::string picture_;
};

class Shape : public Element {
public:
    Shape(std::string name) : Element(Kind::Shape, std::move(name)) {}
    Rgb fillColor = 0xFF0000;
};

// Controls whose text the player may edit: text box, combo box, rich-text box.
class TextElement : public Element {
public:
    using Element::Element;
    const std::string& Text() const { return text_; }
    // Text beyond `maxLength` characters is cut there, as a length-limited
    // field refuses further input.
    void setText(std::string t);
    TextLook look;
    std::size_t maxLength = 0;  // in characters (code points); 0: no limit
private:
    std::string text_;
};

class TextBox : public TextElement {
public:
    TextBox(std::string name, int index = -1) : TextElement(Kind::TextBox, std::move(name), index) {}
};

class ComboBox : public TextElement {
public:
    // Its text is saved through the country store, so it holds no more.
    ComboBox(std::string name) : TextElement(Kind::ComboBox, std::move(name)) { maxLength = kMaxRichTextChars; }
    // The drop-down list, in the order the items were added.
    const std::vector<std::string>& List() const { return items_; }
    void AddItem(std::string item);

private:
    std::vector<std::string> items_;
};

class RichTextBox : public TextElement {
public:
    RichTextBox(std::string name) : TextElement(Kind::RichTextBox, std::move(name)) { maxLength = kMaxRichTextChars; }
    // Replace the content with the document in the file / write the content
    // as a document. False when the file cannot be read or written; a failed
    // load (or a document longer than the box holds) leaves the content as it
    // was.
    bool LoadFile(const std::string& path);
    bool SaveFile(const std::string& path);
    // Name and e-mail fields refuse line breaks when the player types.
    bool acceptsLineBreaks = false;
};

class Button : public Element {
public:
    Button(std::string name) : Element(Kind::Button, std::move(name)) {}
    const std::string& Caption() const { return caption_; }
    void setCaption(std::string c);
    TextLook look;

private:
    std::string caption_;
};

class ListBox : public Element {
public:
    ListBox(std::string name) : Element(Kind::ListBox, std::move(name)) {}
    bool sorted = false;
    const std::vector<std::string>& List() const { return items_; }
    std::size_t ListCount() const { return items_.size(); }
    void Clear();
    // Adds items, each at its sorted place in a sorted list, else at the
    // end; all at once: one sort, one change for the view.
    void AddItems(std::vector<std::string> items);

private:
    std::vector<std::string> items_;
};

class SoundDevice : public Element {
public:
    SoundDevice(std::string name) : Element(Kind::SoundDevice, std::move(name)) {}
    const std::string& FileName() const { return fileName_; }
    void setFileName(std::string path);
    void Command(const std::string& cmd);  // "open", "prev", "play"
    // Which of the window's sound ports plays this device (0..4).
    std::size_t slot = 0;

private:
    SoundBackend* backend() const;
    std::string fileName_;
};

// An Internet transfer control: six settings, requests, and the response
// read in chunks. Its port is the window's channel of the same name.
class Inet : public Element {
public:
    Inet(std::string name, TransferChannel* Ports::*port) : Element(Kind::Inet, std::move(name)), port_(port) {}
    // One of "AccessType", "RequestTimeout", "Protocol", "URL", "UserName",
    // "Password"; false for any other name.
    bool setProperty(std::string_view name, std::string value);
    bool property(std::string_view name, std::string& value) const;
    // Starts the request in the background; false when no channel is wired.
    bool Execute(TransferRequest request);
    std::string GetChunk(std::size_t size);

private:
    TransferChannel* channel() const;
    TransferChannel* Ports::*port_;
    ChannelSettings settings_;
};

class WebBrowser : public Element {
public:
    WebBrowser(std::string name) : Element(Kind::WebBrowser, std::move(name)) {}
    // Loads the page; returns at once. False when no browser is wired.
    bool Navigate(const std::string& url);
    // Tells the browser that its page may soon be wanted; shows nothing.
    void Prepare();
};

class Timer : public Element {
public:
    Timer(std::string name) : Element(Kind::Timer, std::move(name)) {}
    int Interval() const { return interval_; }
    // A positive interval arms the timer and restarts its count; 0 stops it.
    void setInterval(int ms);

private:
    int interval_ = 0;
};

// An element that holds others: a panel, or the main window itself. Both
// lists run top first; windowless elements are painted beneath windowed ones.
class Container : public Element {
public:
    using Element::Element;
    std::vector<Element*> windowed;
    std::vector<Element*> windowless;
    std::vector<Timer*> timers;
    std::string background;  // picture name, empty for none
    Rgb backColor = 0x000000;
    // The order in which the Tab key moves the focus among its controls.
    std::vector<Element*> tabOrder;
    void add(Element& e);  // appends at the bottom of its list
};

class Panel : public Container {
public:
    Panel(std::string name) : Container(Kind::Panel, std::move(name)) {}
};

}  // namespace korvala
