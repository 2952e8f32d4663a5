// Everyday operations on bounded strings (see Strings.hpp for the convention):
// stripping, case, words, tokens and lines, replacing, character classes and escaping.
// Like Strings, every operation truncates silently and reports nothing; inputs behave as
// private copies, so the same array may be input and output.
#pragma once

#include <cstddef>

#include "Strings.hpp"

void StringOp_Init();

// The empty string.
inline constexpr char StringOp_Null[1] = "";

// Strip characters 32 (blank), 8, 10, 12 and 13 from the left, the right or both ends.
void StringOp_LStrip(StrOut s);
void StringOp_RStrip(StrOut s);
void StringOp_LRStrip(StrOut s);

// Same results as the Strings operations of the same name.
void StringOp_Assign(StrIn src, StrOut dst);
std::size_t StringOp_Length(StrIn s);
int StringOp_CompareStr(StrIn a, StrIn b);
bool StringOp_Equal(StrIn a, StrIn b);

// Case mapping of ASCII and Latin-1: A..Z and 192..222 except 215 are upper case,
// a..z and 224..254 except 247 lower case; the two differ by 32.
void StringOp_LowShift(StrOut s);
void StringOp_UpShift(StrOut s);
char StringOp_Lower(char ch);
char StringOp_Upper(char ch);

// Takes the first word off s: leading white space is stripped, a word ends at a blank
// or at 8, 10, 12, 13 (a tab does not end it); a word that begins with a double quote
// runs to the closing quote, and the quotes are dropped. The blank after a word stays
// in s.
void StringOp_NextWord(StrOut s, StrOut word);
// The mirror image: takes the last word off s.
void StringOp_LastWord(StrOut s, StrOut word);
// Takes the text up to the first separator off s (the separator is removed too; without
// one the whole of s is the token).
void StringOp_NextToken(StrOut s, char separator, StrOut token);
// Number of tokens NextToken would take off s until s is empty (0 for an empty s).
std::size_t StringOp_NumTokens(StrIn s, char separator);
// Takes the first line off s: the text before the first 10 (a 13 before it is dropped
// too); the line end is removed from s.
void StringOp_NextLine(StrOut s, StrOut line);

// Character classes. Alpha: a..z, A..Z and 192..254 except 215 and 247. Decimal: 0..9.
// White: 32, 8 and 12 (not the tab). WhiteOrLn adds 10 and 13.
bool StringOp_IsAlpha(char ch);
bool StringOp_IsDecimalNum(char ch);
bool StringOp_IsWhite(char ch);
bool StringOp_IsWhiteOrLn(char ch);
// Blank, tab, ` ' " \ and ! # $ & | ; ( ) { } [ ] < > * ?
bool StringOp_IsShellMetaChar(char ch);

// Replace the first / every occurrence of old by new_ (each by a delete and an insert
// that happens only when the result fits). The text inserted is not searched again.
// Return true when something was replaced.
bool StringOp_ReplaceFirst(StrOut s, StrIn old, StrIn new_);
bool StringOp_ReplaceAll(StrOut s, StrIn old, StrIn new_);
// Replaces every occurrence of the string old by new_.
bool StringOp_ReplaceStr(StrOut s, StrIn old, StrIn new_);
// Replaces every occurrence of the character old by new_.
void StringOp_ReplaceChar(StrOut s, char old, char new_);

// Appends ch when s has room for it.
void StringOp_ConcatChar(StrOut s, char ch);
// Inserts ch before index when the result still has room for its terminator.
void StringOp_InsertChar(StrOut s, char ch, std::size_t index);
bool StringOp_ContainsChar(StrIn s, char ch);
// Deletes from s every character contained in set.
void StringOp_DeleteChars(StrOut s, StrIn set);
// Puts ch in front of s when the result still has room for its terminator.
void StringOp_PrefixChar(StrOut s, char ch);

// Position of ch in s from start; with honourBackslash a ch preceded by an odd number
// of backslashes is skipped. HIGH(s) + 1 when absent.
std::size_t StringOp_CharPos(StrIn s, bool honourBackslash, char ch, std::size_t start);
// Strings_Pos starting at start; HIGH(s) + 1 when absent.
std::size_t StringOp_StringPos(StrIn s, StrIn pattern, std::size_t start);
// Prefixes half of the width missing from s as blanks.
void StringOp_CenterStr(StrOut s, std::size_t width);

// Backslash escaping: backslash and double quote get a backslash in front, the control
// characters 8, 9, 10, 12, 13 become \b \t \n \f \r and every other character below 32
// and 127 becomes \ooo (three octal digits). Unescape reverses it; an unknown escape
// keeps the character after the backslash.
void StringOp_Escape(StrIn src, StrOut dst);
void StringOp_Unescape(StrIn src, StrOut dst);
