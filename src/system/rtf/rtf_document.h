#pragma once
// The rich-text document that the rich-text boxes write and read: the
// profile files and the score files are small RTF documents of one
// paragraph holding a box's plain text.
#include <optional>
#include <string>
#include <string_view>

namespace korvala::rtf {

// The single-paragraph document that a rich-text box writes for its plain
// text (UTF-8): three lines ending in CR LF, text in code page 1252.
//
// How the text is escaped:
//  - '\\', '{' and '}' as "\\\\", "\\{" and "\\}";
//  - characters that code page 1252 has above ASCII as "\\'xx" (lower-case hex);
//  - characters outside code page 1252 as "\\uN?" with N a signed 16-bit
//    value, characters above U+FFFF as a UTF-16 surrogate pair;
//  - TAB as "\\tab ", LF as "\\par" followed by CR LF (a new paragraph),
//    CR and the other control characters as "\\'xx".
// Every valid UTF-8 text reads back unchanged through readDocument.
// Invalid UTF-8 does not stop the write: each maximal ill-formed byte
// sequence is written as U+FFFD (the replacement character), as UTF-8
// decoders do, so the document is always well formed.
std::string writeDocument(std::string_view utf8Text);

// The plain text (UTF-8) of an RTF document, or std::nullopt when the bytes
// are not a readable RTF document (not starting with "{\\rtf", truncated,
// unbalanced or malformed). Paragraph marks and "\\line" read as LF, "\\tab"
// as TAB; the closing paragraph mark of the document is not part of the text.
//
// "\\'xx" is read in the code page of the current font (its \\fcharset) or,
// failing that, of the document (\\ansicpg, \\ansi, \\mac, \\pc, \\pca).
// Code page 1252 is read fully and ISO 8859-1 as itself; in any other code
// page bytes below 0x80 read as ASCII and bytes above as U+FFFD, since such
// documents carry their real characters as "\\uN" anyway.
std::optional<std::string> readDocument(std::string_view bytes);

}  // namespace korvala::rtf
