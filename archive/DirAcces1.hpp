// The file-tree walk that file lists are built from.
//
// Within a directory the walk visits the directory itself first, then its
// non-directory entries in the order the system delivers them, then its subdirectories
// one after the other, each completely, and finally the directory again (post-visit).
// A directory is closed before its subdirectories are walked, so at most one directory
// handle is open at a time however deep the tree is.
#pragma once

#include "DirAcces.hpp"
#include "Strings.hpp"

void DirAcces1_Init();

// walkError values of a visit.
inline constexpr int DirAcces1_ok = 0;
inline constexpr int DirAcces1_cannotExamine = 1;  // also for a path beyond the limits
inline constexpr int DirAcces1_cannotOpen = 2;     // a directory that cannot be opened

// Limits of the paths and names the walk examines; a longer one is visited with
// DirAcces1_cannotExamine and never examined under a shortened name.
inline constexpr std::size_t DirAcces1_maxPath = 1023;
inline constexpr std::size_t DirAcces1_maxName = 255;

// One visit. dirPath is the directory the file lies in (empty for a start path without
// "/"); info.name is the file's last component, so the full path is dirPath joined with
// it (DirAcces_IncludePath). dirPath may be longer than DirAcces1_maxPath when the file
// itself was too long to examine. With walkError other than 0 only info.name is filled.
// Returns true to go on.
using DirAcces1_Visit = bool (*)(StrIn dirPath, const DirAcces_DirEntry& info, bool isDirectory,
                                 bool isPreVisit, int walkError, void* clientData);

// Walks the tree at startPath, examining files through symbolic links when
// followSymlinks is set and the links themselves otherwise. Failures to examine or open
// are visits with walkError, never reported errors; the walk goes on past them. True
// when the walk went to its end, false when a visit returned false.
bool DirAcces1_FTW(StrIn startPath, bool followSymlinks, DirAcces1_Visit visit, void* clientData);
