#pragma once
namespace korvala {
class Form1;
// The window's Load event: binds the five sound devices to their files
// beside the executable, each path the folder and the literal joined as they
// are, first all five file names, then all five "open" commands.
void formLoad(Form1& f);
}  // namespace korvala
