// Processes and orderly termination.
//
// Minimal form for the foundation: termination procedures and the exit status. The
// commands, signals, run files and forks of the module arrive with the files and
// processes layer.
#pragma once

void Processe_Init();

using Processe_TerminationProcedure = void (*)();

// Procedures run at termination, the most recently installed first.
void Processe_InstallTerminationProcedure(Processe_TerminationProcedure proc);
void Processe_SetExitStatus(int status);
int Processe_ExitStatus();
// Runs the termination procedures and ends the process with the kept exit status.
[[noreturn]] void Processe_Exit();
