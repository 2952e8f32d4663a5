// The scripted driver: acts on dialogs exactly as a user would, through the widgets of the
// display in use, following a plain-text script. It is chosen explicitly (never because a
// display is missing); tests and unattended runs use it.
//
// Script lines (blank lines and lines beginning with "#" are ignored; a word with blanks
// is written in double quotes, with \" \\ and \n (line break) inside):
//   wait <context> [ms]            until the context is shown (default 10000 ms)
//   gone <context> [ms]            until it is no longer shown
//   type <context> <aobj> <text>   types the text into the field of the AObj and commits it
//   toggle <context> <aobj>        clicks the check box
//   press <context> <aobj> <value> presses the button of that AObj and value
//   click <context> <aobj> <line>  clicks a line of the list (from 0)
//   doubleclick <context> <aobj> <line>
//   close <context>                closes the window through the window manager
//   answer <context> <index>       presses button index (from 0) of a message box
//   expect <context> <aobj> <text> the field shows exactly that text (a check box "1" or
//                                  "0", a list its lines joined by "|")
//   shot <context> <file>          saves what the window shows now: on a real display a
//                                  picture (PPM when the name ends in ".ppm", else PNG),
//                                  on the virtual display the window as text
// Each step waits until the program asks for input. A step that cannot be done (no such
// context shown, no widget, a widget the user could not use, a wrong value, a time
// limit passed, or the program waiting for input after the last step) ends the process
// with exit status 1 after writing "script <file>:<line>: <what>" to standard error.
#pragma once

#include <string_view>

#include "Strings.hpp"

void IScript_Init();

// Reads the script and attaches the driver to the display in use; false (with the
// reason on standard error) when the file cannot be read, a line is malformed or there
// is no display.
bool IScript_Start(StrIn path);
bool IScript_StartText(std::string_view text, std::string_view name);
// True when every step has been done (a closing "wait" or "gone" counts as done when it
// holds now).
bool IScript_Finished();
