// The X11 display: a widget backend that shows every dialog as a real top-level window on
// an X server, through Xlib alone. It is chosen explicitly with TkX11_Open (never because
// DISPLAY happens to be set).
//
// A shell is one X window; its widgets are drawn into an off-screen pixmap that is then
// copied to the window, so redrawing never flickers. Widgets are laid out from the widget
// tree: the shell and boxes stack their children in a column, where a label whose text
// ends in ":" and the widget after it share a row (captions aligned); a box of buttons
// only is a row of buttons flushed right; a box with the columns attribute is a grid of
// that many columns, and one with rows=1 a row that wraps. A horizontal box sets its
// children side by side without wrapping; a vertical one stacks even buttons. Text and
// number fields, lists and boxes take the width of their column, so their right edges
// line up.
//
// Input: pointer clicks, Tab and Shift+Tab move the keyboard focus, text and number
// fields edit with the usual keys (Shift with the arrows, Home and End selects, Ctrl+A
// selects all, typing replaces the selection) and commit on Return, Space presses the focused
// button or toggle, lists move with Up/Down and select with Space as with a click (toggling
// the line, or in a single-selection list selecting it alone), a double click (or Return)
// selects a line as a double click. Closing the window through the window manager's protocol
// reports close.
#pragma once

#include <string>

#include "Tk.hpp"

void TkX11_Init();

// Opens the display (nullptr: $DISPLAY) and makes it the backend in use; nullptr (with
// the reason on standard error) when the display cannot be opened.
Tk_Backend* TkX11_Open(const char* displayName);
// Closes it again; the backend becomes nullptr.
void TkX11_Close();

// ---- Inspection (tests and the gallery) ----
struct TkX11_Rect {
  int x = 0, y = 0, width = 0, height = 0;  // in root window coordinates
};
// The X window of a shell (0 for other widgets).
unsigned long TkX11_Window(Tk_Widget shell);
// Where the widget is on the screen; zero size when it is not shown.
TkX11_Rect TkX11_Where(Tk_Widget w);
// Where line `line` of a list is on the screen.
TkX11_Rect TkX11_LineWhere(Tk_Widget list, int line);
// Handles every event the server has sent by now and redraws; for tests that act
// through the server.
void TkX11_Sync();
// Shells alive on the display.
int TkX11_ShellCount();
