#pragma once
// The profile panel: "OK!" warns about blanks, saves the three fields to
// their files and returns to the menu.
namespace korvala {
class Form1;
void profileOkClick(Form1& f);  // Label7
}  // namespace korvala
