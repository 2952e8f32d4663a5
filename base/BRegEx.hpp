// Regular expressions on NUL-terminated strings, on the platform's POSIX interface.
//
// Patterns are POSIX regular expressions (extended syntax with regExtended: alternation
// with "|", grouping, intervals such as "{8}", bracket expressions). A match is a search
// anywhere in the text unless the pattern is anchored with "^" and "$".
//
// Failures: RegComp reports ("BRegEx", 3) with Messages_Error (fatal outside an ignore
// bracket). RegError tells the outcome of the last call: 0 success, 2 the match array could
// not be allocated, 3 a failed compilation or search (RegMatch and RegMatchPat also give 3
// when the text does not match); RegErrno keeps the platform's own code.
#pragma once

#include <cstddef>

struct RegCompiled;
using Reg = RegCompiled*;
inline constexpr Reg regNil = nullptr;

// Match positions: start and end of the whole match and of each group.
struct RegMatchArray;
using RegMatches = RegMatchArray*;
inline constexpr RegMatches regMatchNil = nullptr;

// Compilation flags (a set).
inline constexpr int regExtended = 1;
inline constexpr int regIgnoreCase = 2;
inline constexpr int regNewline = 4;  // "^", "$" and "." respect line ends
inline constexpr int regNoSub = 8;    // no sub-match positions

// Search flags (a set).
inline constexpr int regNotBol = 1;  // the start of the text is not a line start
inline constexpr int regNotEol = 2;  // the end of the text is not a line end

void BRegEx_Init();

// Compiles pattern; regNil (with the error reported) when it does not compile.
Reg RegComp(const char* pattern, int flags);

// Searches text from text + offset. With nmatch > 0 the positions of the whole match and
// the first nmatch - 1 groups are stored in matches, which is allocated for nmatch pairs
// when it is regMatchNil or too small. Positions count from the start of text (not from
// text + offset); a group that took no part in the match has -1 for both.
bool RegExec(Reg regex, const char* text, std::size_t offset, std::size_t nmatch,
             RegMatches& matches, int flags);
// Compiles pattern with extended syntax, searches text with RegExec and frees the pattern.
bool RegExecPat(const char* pattern, const char* text, std::size_t nmatch, RegMatches& matches);
// True when regex is found anywhere in text.
bool RegMatch(Reg regex, const char* text);
// Compiles pattern with extended syntax and no sub-match positions, searches, frees.
bool RegMatchPat(const char* pattern, const char* text);

// Number of groups plus one (0 for regNil).
std::size_t RegNSubs(Reg regex);
// The positions of group i (0 is the whole match); -1 and -1 when i is beyond the array.
void RegLimits(RegMatches matches, std::size_t i, long& start, long& end);

void RegFree(Reg& regex);
void RegMatchFree(RegMatches& matches);

int RegError();
int RegErrno();
