// The jobs of the jukebox management: an inventory (fast: each medium's identification
// label only) and a verification (slow: each medium's whole header read and parsed). Both
// run our inventory program "VUDAVUZ" as a classic job of this host's job server, so that
// the long walk over the slots outlives the dialog that started it:
//
//   command:    <inherited environment line>; VUDAVUZ
//   arguments:   -C <jukebox> fast|slow allUnknown|allSelected|all <file>; rm -f <file>
//
// The file holds the selected elements (BkJuke_EncodeSelection); the job removes it.
//
// Errors of section "BkJukeI" (code in BkJukeI_error): 1 the selection file could not be
// written, 2 the job record could not be made (the line does not fit), 3 the job server
// refused the job.
#pragma once

#include "BkJuke.hpp"
#include "SJobQues.hpp"
#include "Strings.hpp"

void BkJukeI_Init();

extern int BkJukeI_error;

inline constexpr char BkJukeI_program[] = "VUDAVUZ";

enum class BkJukeI_Speed { Fast, Slow };
enum class BkJukeI_Scope { AllUnknown, AllSelected, All };

// The words of the command line: "fast"/"slow", "allUnknown"/"allSelected"/"all".
const char* BkJukeI_SpeedWord(BkJukeI_Speed speed);
const char* BkJukeI_ScopeWord(BkJukeI_Scope scope);

// Writes the selection to a fresh temporary file and makes the job record around it;
// nullptr (and the error reported) on failure, the file removed again.
SJobQues_Job* BkJukeI_MkJob(StrIn juke, BkJukeI_Speed speed, BkJukeI_Scope scope,
                            const BkJuke_Selection& selection);

// What the management dialog offers for a chosen jukebox: make the job and submit it to
// this host's job server. The error code (0 on success).
int BkJukeI_StartInventory(StrIn juke, BkJukeI_Scope scope, const BkJuke_Selection& selection);
int BkJukeI_StartVerification(StrIn juke, BkJukeI_Scope scope, const BkJuke_Selection& selection);

// The management dialog ("BkJukeI_Manage"): the configured jukeboxes, the slots, ports
// and drives of the chosen one, which elements a job checks (unknown media, the selected
// elements or all), and the two jobs. Runs modally until closed.
void BkJukeI_Manage();
