#pragma once
namespace korvala {
class Form1;
// Binds every handled (element, event) pair of the main window to its
// handler; every other event stays ignored. The only code that knows every
// handler.
void bindEvents(Form1& f);
}  // namespace korvala
