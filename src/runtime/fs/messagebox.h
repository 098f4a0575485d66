// Text shown to the user of the windowed build, which has no console: one
// message box with an OK button, as its failures are shown.
#pragma once
#include <string_view>

// Shows text (lines ended by CR LF) under caption and returns once the box
// is closed. Builds with a console never show one: there the text goes to
// standard output.
void showMessageBox(std::string_view text, std::string_view caption);
