// The program's command line and environment, recorded by main before the modules start.
#pragma once

#include <cstddef>

// Records argc, argv and envp for UArgs; main calls it before any initialisation.
void M2C_INIT(int argc, char** argv, char** envp);

void UArgs_Init();

// Number of arguments after the program name.
std::size_t UArgs_NumParams();

// Argument n (0 is the program's invocation path) into param, cut to HIGH(param)
// characters so that the result is always terminated. A missing argument gives the
// empty string and false. (A plain character array: the module starts before the
// bounded strings.)
bool UArgs_GetParam(std::size_t n, char* param, std::size_t high);
template <std::size_t N>
bool UArgs_GetParam(std::size_t n, char (&param)[N]) {
  static_assert(N > 0);
  return UArgs_GetParam(n, param, N - 1);
}

// The last component of the invocation path, "???" when unknown.
const char* UArgs_ProgramName();
