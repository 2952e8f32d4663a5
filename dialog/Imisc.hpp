// Standard message boxes: error boxes, yes/no questions, generic confirmations, timed
// notifications and the explanation of collected error reasons. Each box breaks its text
// into lines of at most 60 columns and at most 17 lines, sizes its text field (RObj 2) to
// fit and shows the text in AObj 1; AObj 2 is the button AObj.
//
// Without a display the boxes write their text to standard error: a question is then
// answered no, a confirmation with -1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "I.hpp"
#include "Strings.hpp"

void Imisc_Init();

inline constexpr std::size_t Imisc_columns = 60;
inline constexpr std::size_t Imisc_maxLines = 17;

// The text as the boxes show it: broken at blanks (or inside words longer than a line)
// into lines of at most 60 columns, line breaks kept, at most 17 lines.
std::vector<std::string> Imisc_BreakLines(std::string_view text);
// text with mark appended unless it ends in a blank, "?", "." or "!".
std::string Imisc_Terminate(std::string_view text, char mark);

void Imisc_StrErrMsg(StrIn text);
bool Imisc_StrYes(StrIn text);
// Index of the button pressed: 0 for the first (button values 1..8); -1 when the box
// was closed without a button.
int Imisc_StrGenericConfirm(StrIn text, StrIn contextName);
void Imisc_ErrMsg(StrIn section, std::uint32_t number);
bool Imisc_Yes(StrIn section, std::uint32_t number);
// The same question before something is destroyed ("Imisc_yesDestroys"): "No" has the
// keyboard, and the Return key never answers yes.
bool Imisc_StrYesDestroys(StrIn text);
bool Imisc_YesDestroys(StrIn section, std::uint32_t number);
// Shows the text with "!" without waiting; for seconds > 0 it disappears after twice
// that many 500 ms ticks ("Imisc_timedNotify" for 1 or 2 seconds, otherwise the box
// with an OK button, "Imisc_timedNotifyOK").
void Imisc_StrNotify(StrIn text, unsigned seconds);
void Imisc_Notify(StrIn section, std::uint32_t number, unsigned seconds);
// Shows every collected error reason, one per line, in "Imisc_ErrExpl"; without a
// display writes them to standard error and sets the exit status to 1 when there was any.
void Imisc_ErrorExplain();

// A dialog made on its first use and kept for the process: creates ctx from the dialog
// catalogue when it is still nil; nil when the catalogue lacks the context (nothing is
// reported then, the caller decides).
I_Context Imisc_ContextOnce(I_Context& ctx, StrIn name);
// Shows a filled dialog and runs it until one of its callbacks deactivates it.
void Imisc_RunModal(I_Context ctx);
