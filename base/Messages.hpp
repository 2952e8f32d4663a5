// Messages and error reporting: the reason stack, ignore brackets, fatal errors, and
// message texts looked up by (section, number) in the catalogue pool.
//
// The usual pattern:
//   {
//     Messages_Ignoring quiet;
//     Foo_Do(...);
//   }
//   if (Foo_error != 0) { Messages_SupplyAdditionalInfo("::Bar: ..."); Messages_Error("Bar", 3); }
// Outside any bracket the first error is fatal: the chain of reasons goes to standard
// error and the process ends with exit status 2. With the environment variable DEBUG
// set, the chain is printed at once, followed by "DebugModeExit !", and the process
// sends itself the post-mortem signal (the system's signal 7: SIGSTKFLT on Linux, whose
// default action ends the process) before the normal fatal exit.
//
// The stack holds 48 reasons (more are dropped silently); brackets nest 63 deep.
// Initialisation opens the catalogues "zoltmsg" and "zolterr" (missing ones are not
// fatal); each program adds its own, which is then searched first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Strings.hpp"

void Messages_Init();

// The text of the last lookup (5120 characters).
extern char Messages_message[5120];

// Records (section, number); fatal at ignore level 0.
void Messages_Error(StrIn section, std::uint32_t number);
// true opens an ignore bracket, false closes it (closing at level 0 is the fatal
// ("Messages", 1), a 64th level the fatal ("Messages", 2)).
void Messages_IgnoreErrors(bool on);
// An ignore bracket for a scope: opened when made, closed on every way out of the scope,
// or earlier by Close.
class Messages_Ignoring {
 public:
  Messages_Ignoring() { Messages_IgnoreErrors(true); }
  ~Messages_Ignoring() { Close(); }
  Messages_Ignoring(const Messages_Ignoring&) = delete;
  Messages_Ignoring& operator=(const Messages_Ignoring&) = delete;
  void Close() {
    if (open_) {
      open_ = false;
      Messages_IgnoreErrors(false);
    }
  }

 private:
  bool open_ = true;
};
unsigned Messages_IgnoreLevel();
// sinceLevel: the entries above the current level's depth mark, i.e. those recorded
// inside inner brackets since the last push at this level; otherwise all entries.
unsigned Messages_ErrorCount(bool sinceLevel);
// Drops the entries recorded inside inner brackets since the last push at this level.
void Messages_ForgetErrorReasons();
// Pushes additional information, by convention "::Operation: what happened".
void Messages_SupplyAdditionalInfo(StrIn text);
// Pops the top entry into text; false when the stack is empty.
bool Messages_ErrorReason(StrOut text);
// Prints and empties the whole stack on the descriptor file.
void Messages_ShowError(int file);
// When condition holds: prints every reason to standard error and exits with status 1.
void Messages_TerminateIf(bool condition);

// Adds the catalogue name (without ".srf") to the front of the pool; a name already in
// the pool is ignored. A missing catalogue is reported as ("Catalog", 1).
void Messages_UseMsgCat(StrIn name);
// Reopens every catalogue of the pool in the (newly determined) language; those that
// fail leave the pool.
void Messages_ReloadAllMsgCats();
// The text of (section, number) into Messages_message / into text. A text that no
// catalogue has becomes "*** ERROR (<section>, <number>) : message text not found ***".
void Messages_GetMessage(StrIn section, std::uint32_t number);
void Messages_GetMsg(StrIn section, std::uint32_t number, StrOut text);
// The same in another language (the catalogues of the pool opened in that language);
// GetForeignMsg returns true when the text was found.
void Messages_GetForeignMessage(StrIn language, StrIn section, std::uint32_t number);
bool Messages_GetForeignMsg(StrIn language, StrIn section, std::uint32_t number, StrOut text);
// True when Messages_message holds the not-found text
// "*** ERROR (<section>, <number>) : message text not found ***".
bool Messages_IsUndefMessage();
// The catalogues are in Latin-1. Text for output to the descriptor fd: when fd is a
// terminal whose locale (LC_ALL, else LC_CTYPE, else LANG) names the UTF-8 character
// set, every line that is not UTF-8 already is converted to it; otherwise text stays.
std::string Messages_ForOutput(int fd, std::string_view text);
// The same test on any looked-up text.
bool Messages_IsUndefMessage(StrIn text);
// Enumerates the texts of section in the first catalogue of the pool that has it
// (("Catalog", 6) when none has); NextMessage puts the next text into Messages_message
// and its number into number, an empty text (number 0) at the end.
void Messages_StartSection(StrIn section);
void Messages_NextMessage(std::uint32_t& number);
