// File operations on dynamic strings: each turns its dynamic-string arguments into
// bounded strings of up to 1023 characters and calls the file, directory or file-name
// operation of the runtime library that has the same name, which reports its failures as
// it always does. Results that are names are written through a handle variable (dsNil
// there creates a new string). dsNil arguments count as the empty text; temporaries are
// not released.
//
// DSCopy(from, to) copies a file; with four arguments it is the substring operation of
// the dynamic strings.
#pragma once

#include "BFileIO.hpp"
#include "DirAcces.hpp"
#include "DynStr.hpp"

void DSFUtils_Init();

// Binary (stream) files: mode as BFileIO_Create and BFileIO_Open.
BFileIO_File DSBCreate(DS name, unsigned mode);
BFileIO_File DSBOpen(DS name, unsigned mode);
void DSAtomicRename(DS oldPath, DS newPath);
void DSRemove(DS path);
void DSSymlink(DS target, DS linkPath);
void DSReadLink(DS path, DS* target);
void DSCopy(DS from, DS to);
// mode as DirAcces_Access.
bool DSAccess(DS path, unsigned mode);
// Like DSAccess, but every component of path that is not there as written is looked up
// in its directory without regard to case; the name found goes to found (unchanged when
// the lookup fails).
bool DSAccessICASE(DS path, unsigned mode, DS* found);
void DSFileStatN(DS path, DirAcces_DirEntry& entry);
void DSChDir(DS path);
// Creates the directory and its missing parents; true when it exists afterwards.
bool DSAssertDir(DS path, unsigned mode);
// mode is octal text.
void DSChMod(DS path, DS mode);
// A fresh temporary name: bare, in the temporary directory, or in the installation's
// variable-data "tmp" directory. A suffix that is not dsNil or empty ends the name
// exactly as given.
void DSCreateLongTmpNameWD(DS* name, DS suffix);
void DSCreateLongTmpName(DS* path, DS suffix);
void DSCreateLongUniqueVarName(DS* path, DS suffix);
