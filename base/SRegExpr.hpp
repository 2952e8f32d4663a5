// Regular expressions on bounded strings: compiled once, matched many times.
//
// Patterns use the POSIX extended syntax; a match is a search anywhere in the text unless
// the pattern is anchored with "^" and "$". Unlike RegComp, a pattern that does not compile
// reports nothing: the caller just gets SRegExpr_Nil.
#pragma once

#include "Strings.hpp"

struct SRegExpr_Rec;
using SRegExpr = SRegExpr_Rec*;
inline constexpr SRegExpr SRegExpr_Nil = nullptr;

void SRegExpr_Init();

// SRegExpr_Nil when pattern does not compile.
SRegExpr SRegExpr_Create(StrIn pattern);
// True when the pattern is found in text; always true for the match-all handle, false for
// SRegExpr_Nil.
bool SRegExpr_Match(SRegExpr handle, StrIn text);
// A handle that matches every text. It is shared and never freed.
SRegExpr SRegExpr_MatchAll();
// Frees the handle and sets it to SRegExpr_Nil; the match-all handle itself stays.
void SRegExpr_Destroy(SRegExpr& handle);
// True for each of the characters . * [ ] ^ $ \ + ? | ( )
bool SRegExpr_IsMetachar(char ch);
