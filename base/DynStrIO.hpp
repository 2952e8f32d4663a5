// Dynamic strings on C streams: whole strings and lines in and out, the logical lines of
// configuration files (quotes, comments, continuation lines), and the output of shell
// commands.
//
// Strings read here are texts: a NUL byte in the input ends the text stored. Results go
// to the default heap when the output variable holds dsNil.
//
// Errors: DSIOError tells the outcome of the last call (0 success, 1 reading failed,
// 2 writing failed, 3 a quoted part left open at the end of a line, 4 a command could not
// be started), DSIOErrno the system's error number that went with it. Only the open quote
// of DSXReadLine is reported, as ("DynStrIO", 3) with the additional information
// "line <n>" (catalogue "LBASEmsg"): fatal outside an ignore bracket.
#pragma once

#include <cstdio>

#include "DynStr.hpp"

void DynStrIO_Init();

// Writes the text (nothing for dsNil) and, with newline, a line end. False when not all
// of it could be written.
bool DSWriteString(FILE* stream, DS ds, bool newline);
// The text and a line end.
bool DSWriteLine(FILE* stream, DS ds);
// line := the next line without its line end; false at the end of the stream when nothing
// was left to read (line then becomes empty unless it is dsNil) or on a read error.
bool DSReadLine(FILE* stream, DS* line);
// ds := the rest of the stream; false on a read error.
bool DSReadString(FILE* stream, DS* ds);
// ds := up to max bytes of the stream (everything with a negative max); the number of
// bytes read, -1 on a read error.
long DSRead(FILE* stream, DS* ds, long max);

// Reads the next logical line of a configuration file. Physical lines are counted in
// *lineNo (the number of the last one read; start at 0). Leading white space is skipped;
// an empty line or one whose first character is commentChar is a comment line: it goes,
// with a line end, to the end of *comment (when comment is not nullptr) and reading goes
// on. Otherwise a double or single quote opens a part that the same quote closes, a
// backslash outside single quotes keeps the next character from being special,
// commentChar outside quotes ends the line, and a backslash as the last character of a
// physical line continues the logical line on the next one, joined with one blank
// (directly, inside a quoted part). Trailing white space is removed; quotes and
// backslashes stay. *firstLine (when not nullptr) gets the number of the logical line's
// first physical line.
// True when a line was read; false at the end of the stream, and false with the error
// ("DynStrIO", 3) when a physical line ends inside a quoted part.
bool DSXReadLine(FILE* stream, DS* line, long* lineNo, long* firstLine, char commentChar,
                 DS* comment);

// Runs command through the shell and collects up to max bytes of its standard output in
// output (everything when max is negative; the rest is read and thrown away). An empty
// command gives 0 and leaves output alone; a command that cannot be started gives -1;
// otherwise output is emptied first (created with 4096 bytes reserved when dsNil) and
// the result is the command's status as pclose reports it.
int DSRunCmd(DS command, DS* output, long max);

int DSIOError();
int DSIOErrno();
// The text of an error code ("unknown error" beyond the table).
const char* DSIOStrError(int code);
