// Where the order model keeps its data below a job root, and the name lists it works with.
//
// A job root is an "orders" directory with the siblings "forms" and "schemes". Every
// order is an order info file "<order>.aif" in the orders directory; every form of an
// order is a job directory below the forms directory, on this machine or on another
// host. The three directories start as the standard ones below "/projects" (created when
// missing) and are replaced as a whole when the user picks another job root.
//
// Name list: a singly linked list of entries with a text of 128 characters; the name of
// an entry is the first word of its text. Entries come from a free pool of the module and
// go back to it, so lists that are rebuilt often do not allocate.
//
// Directory changes here never report errors: they return false or leave the state as it
// was, and the callers report in their own words.
#pragma once

#include "Strings.hpp"

struct Odirs_NameEntry {
  Odirs_NameEntry* next;
  bool selected;
  char text[128];
};
using Odirs_NameList = Odirs_NameEntry*;

inline constexpr char Odirs_defJobDir[] = "/projects/forms";
inline constexpr char Odirs_defOrderDir[] = "/projects/orders";
inline constexpr char Odirs_defSchemeDir[] = "/projects/schemes";

extern char Odirs_jobDir[128];     // the forms directory: one job directory per form
extern char Odirs_orderDir[128];   // the orders directory: one order info file per order
extern char Odirs_schemeDir[128];  // the schemes directory
extern char Odirs_thisHost[128];   // the machine name
// Remembered working directories, the last change on top.
extern Odirs_NameList Odirs_currDir;
// Entries given back, handed out again by Odirs_NNew.
extern Odirs_NameList Odirs_nfree;

// Sets the standard directories (below DirAcces's installation root, "/" outside tests)
// and creates those that are missing.
void Odirs_Init();

void Odirs_SetDirs(StrIn jobDir, StrIn orderDir, StrIn schemeDir);
// Makes the directory (all blanks removed from path) open to everybody (octal 777); an
// existing directory is left alone. Reports nothing.
void Odirs_MkDir(StrIn path);

// The host of a path below the network root (DirAcces_GetNetRoot), "/nfs/", "/net/" or
// "/tmp_mnt/net/"; Odirs_thisHost otherwise.
void Odirs_GetHost(StrIn path, StrOut host);
// The job directory of a form: Odirs_jobDir joined with name, behind the network root and host when
// the form is on another host and the flag "NFS_PREFIX_BEHAVIOUR" is set.
void Odirs_JobPath(StrIn host, StrIn name, StrOut path);
// The form naming rule: 13 characters, [a-z0-9][a-z0-9_]{7}[0-9]{2}\.[a-z][0-9].
bool Odirs_NameOK(StrIn name);
// Changes into the form's job directory, remembering where it was; false (nothing
// changed) when the name breaks the rule or the directory cannot be entered. Every true
// result is paired with one Odirs_ReturnToCurrent.
bool Odirs_ChangeToJobOnHost(StrIn host, StrIn name);
// Back to the directory remembered last; nothing with an empty stack.
void Odirs_ReturnToCurrent();

// A cleared entry.
Odirs_NameEntry* Odirs_NNew();
// Gives entry back to the pool and sets it to nullptr.
void Odirs_NDispose(Odirs_NameEntry*& entry);
// The first word of text: leading blanks skipped; the word ends at a blank, or, when it
// begins with a double quote, at the next double quote (the quotes are not part of it).
void Odirs_GetName(StrIn text, StrOut name);
// The first entry whose name is name, nullptr when there is none.
Odirs_NameEntry* Odirs_SearchName(Odirs_NameList list, StrIn name);
// Inserts a new entry in ascending order of texts, after the entries of an equal text.
void Odirs_SortedInsert(Odirs_NameList& list, StrIn text, bool selected);
// The first selected entry, nullptr when there is none.
Odirs_NameEntry* Odirs_Selected(Odirs_NameList list);
// Gives every entry back to the pool; list becomes empty.
void Odirs_DestroyNamelist(Odirs_NameList& list);
