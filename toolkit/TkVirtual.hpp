// The virtual display: a widget backend that keeps every widget in memory and takes its
// events from a queue that tests and the scripted driver fill. With virtual time on it
// also owns the clock (through the Utility clock seam): waiting advances the clock at
// once instead of sleeping, so timed work runs without delay and reproducibly.
//
// A wait with nothing queued, no event source to ask and no time limit cannot end; the
// virtual display then reports "virtual display: no more events" on standard error and
// ends the process with exit status 1 rather than hang.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Tk.hpp"

void TkVirtual_Init();

// The virtual display as the backend in use (a fresh display each time).
Tk_Backend* TkVirtual_Open(bool virtualTime);
// Removes it again; the backend becomes nullptr and the clock the system's.
void TkVirtual_Close();

// ---- Inspection (tests) ----
struct TkVirtual_Info {
  Tk_Kind kind;
  std::string name;
  std::string label;
  std::int32_t value;  // button value
  std::string text;    // text shown by labels, text and number fields
  bool state;          // toggles
  std::vector<Tk_Line> lines;
  bool sensitive;
  bool visible;  // shells
  int updates;   // how often the shown value was set
  int columns, rows;
  Tk_Select select;  // lists
  Tk_Orient orient;  // boxes
  bool hidden;       // taken out of its window
  bool destructive;  // buttons: never pressed by the Return key
};
TkVirtual_Info TkVirtual_Inspect(Tk_Widget w);
// Shells in creation order (destroyed ones are gone).
std::vector<Tk_Widget> TkVirtual_Shells();
// Widgets of a shell, depth first.
std::vector<Tk_Widget> TkVirtual_Children(Tk_Widget shell);
