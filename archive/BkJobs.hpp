// Command scripts and archive jobs. The toolkit moves no archive data itself: to write
// archives to a medium or to read them back it writes a bash script that sources the
// function library "bkArchiv.sh" and calls it step by step (position, header, one data
// file per file list, media information, unload), and submits that script to the job
// server with the device reservation. Only labelling a medium runs its script at once.
//
// Scripts live below the script root ($TMP/scripts, "/tmp/scripts" when TMP is empty),
// each named "archivecmds-<n>" after the counter file ".counter" of that root, which
// several tools share: a name already taken makes the counter advance again.
//
// File names in scripts: shell metacharacters get a backslash, a leading "~" too (no
// tilde expansion). A name holding a line feed cannot be carried by a line-per-name
// list; it is left out of the script and written, with the line feed shown as "\n", to
// the file "REFUSED" in the script directory, which the library reports as an error.
//
// Errors of section "BkArchiv" (code in BkArchiv_bkaError): 16 a read script could not
// be made, 17 a write script could not be made, 22 the job server refused the job; 18
// (read) and 19 (write) are left as codes, unreported, when no job record could be made.
#pragma once

#include <string>

#include "BkArchiv.hpp"
#include "BkDevSel.hpp"
#include "DynStr.hpp"
#include "SJobQues.hpp"
#include "Strings.hpp"

void BkJobs_Init();

inline constexpr char BkJobs_cmdScript[] = "archivecmds";
inline constexpr char BkJobs_backupSh[] = "bkArchiv.sh";

// ---- Script writing, one script at a time ----

// Takes the next free name from the counter and creates the script (in its own
// directory when ownDir) with its first lines; scriptDir and scriptName get the network root
// and this host in front when the device is not local. False on failure.
bool BkJobs_CmdScript_BeginCmdScript(StrIn baseName, bool ownDir, bool isLocal);
// Each writes its pieces and a line feed; a failed write clears the status, writing
// goes on.
void BkJobs_CmdScript_Line(StrIn text);
void BkJobs_CmdScript_Line2(StrIn a, StrIn b);
void BkJobs_CmdScript_Line3(StrIn a, StrIn b, StrIn c);
void BkJobs_CmdScript_DLine(DS text);
void BkJobs_CmdScript_DLine2(StrIn text, DS tail);
// Every write so far succeeded.
bool BkJobs_CmdScript_Status();
// Closes the script, makes it executable for all (0777); the status.
bool BkJobs_CmdScript_FinishCmdScript();
void BkJobs_CmdScript_GetScriptDir(StrOut dir);
void BkJobs_CmdScript_GetScriptName(StrOut name);
// Removes the script (its directory with it) when it exists.
void BkJobs_CmdScript_CleanUpCmdScript();
// The script root ($TMP/scripts).
void BkJobs_GetRootScriptDir(StrOut dir);

// ---- Script generation ----

// The head of a script: settings of medium and device, notify texts, the library, the
// mount and label lines. dirFile gets "HEADER", or "" for raw formats. Always true;
// failures show in the script status.
bool BkJobs_EmitScriptHead(Header* hdr, const DevListEntry& device, StrIn notifyOK,
                           StrIn notifyError, bool forWrite, StrOut dirFile);
// The file-mark directory file "FMDIR" of disk and file-system media (a default
// directory is made in the header when it has none) and its script line.
bool BkJobs_EmitFMDIR(Header* hdr);
// Writes the script that puts the header's new archives on the medium; scriptPath is
// empty and error 17 is reported on failure. headerCopyDest: where a header copy for the
// local archive directory goes (empty: none).
void BkJobs_MkWriteScript(const DevListEntry& device, Header* hdr, StrIn headerCopyDest,
                          StrIn finalCommand, StrIn notifyOK, StrIn notifyError, StrOut scriptPath);
// Writes the script that restores the selected files of the header's archives, into
// restoreDir when given; error 16 on failure.
void BkJobs_MkReadScript(const DevListEntry& device, Header* hdr, StrIn restoreDir,
                         StrIn finalCommand, StrIn notifyOK, StrIn notifyError, StrOut scriptPath);

// ---- Jobs ----

// A job record for the script (nullptr on failure): its directory as work directory, its
// name as command, the precondition script, the reservation handed over to the job.
SJobQues_Job* BkJobs_MkWriteJob(const DevListEntry& device, Header* hdr, StrIn headerCopyDest,
                                StrIn readableCommand, StrIn preconditionScript, StrIn finalCommand,
                                StrIn notifyOK, StrIn notifyError);
SJobQues_Job* BkJobs_MkReadJob(const DevListEntry& device, Header* hdr, StrIn restoreDir,
                               StrIn readableCommand, StrIn preconditionScript, StrIn finalCommand,
                               StrIn notifyOK, StrIn notifyError);
// Makes the job and submits it on the device's host; the error code (0 on success).
int BkJobs_StartWriteArchives(const DevListEntry& device, Header* hdr, StrIn headerCopyDest,
                              StrIn readableCommand, StrIn preconditionScript, StrIn notifyOK,
                              StrIn notifyError);
int BkJobs_StartReadArchives(const DevListEntry& device, Header* hdr, StrIn restoreDir,
                             StrIn readableCommand, StrIn preconditionScript, StrIn notifyOK,
                             StrIn notifyError);
// Writes the header of a fresh medium at once (the script runs in this process's
// shell); true when the script ended with status 0.
bool BkJobs_WriteLabel(const DevListEntry& device, Header* hdr);
// What a header takes from the device: its base type, capacities, block sizes and media
// identifier.
BkArchiv_DevInfo BkJobs_DevInfo(const DevListEntry& device);
