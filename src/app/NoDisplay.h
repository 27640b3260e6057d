#pragma once
// Start-up without a display: whether the window can be shown at all, and the message that
// points to the headless front end instead of a toolkit error. Called by main before Qt.
#include <string>

// True when a display (X11 or Wayland) or a Qt platform is given by the environment or by a
// "-platform" argument.
bool HasDisplay(int argc, char** argv);
// Two lines: that there is no display, and the brindle-get command for the given URL (the
// first argument), quoted for the shell.
std::string NoDisplayMessage(int argc, char** argv);
