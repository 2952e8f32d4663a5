// Paths, directories, file status, environment variables and flags.
//
// Paths are bounded strings; results that do not fit are cut like every bounded string.
// Every operation sets DirAcces_dirError and reports a failure as ("DirAcces", value)
// with the additional information "DirAcces.Error : code = " and the system error number
// (100 plus the value for the module's own errors).
//
// DirAcces_dirError values:
//   0 success           1 no such file (ENOENT)          2 exists (EEXIST)
//   3 not a directory   4 directory already exists (DirAcces_MkDir)
//   6 not permitted (EPERM, EACCES, EROFS)
//   7 not found along a path, or bad argument (ENXIO, E2BIG, EBADF)
//   8 environment could not be changed               9 any other system error
//   11 across file systems (EXDEV)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "BFileIO.hpp"
#include "FileIO.hpp"
#include "Strings.hpp"

extern std::uint8_t DirAcces_dirError;

void DirAcces_Init();

// The status of one file.
struct DirAcces_DirEntry {
  char name[257];
  double size;  // bytes
  // Modification date and time, local time; millisecond is always 0.
  unsigned day, month, year;  // month 1..12, four-digit year
  unsigned hour, minute, second, millisecond;
  std::int64_t accessTime, changeTime, modifyTime;  // seconds since 1970
  bool isDirectory, isSymlink;
  std::uint32_t mode;  // type and permission bits
  std::uint32_t uid, gid;
  std::uint32_t links;
  std::uint64_t inode;
  std::uint32_t reserved;   // always 0
  std::uint32_t device[2];  // device number: high and low 32-bit halves
};

// Access modes of DirAcces_Access.
inline constexpr unsigned DirAcces_readable = 0;
inline constexpr unsigned DirAcces_writable = 1;
inline constexpr unsigned DirAcces_searchable = 2;  // executable or searchable
inline constexpr unsigned DirAcces_exists = 3;

// Special paths: each is the value of an environment variable, maybe a colon-separated
// list. Other numbers stand for "/".
enum DirAcces_SpecialPath : unsigned {
  DirAcces_projectsPath = 0,  // VM_PROJECTS
  DirAcces_customerPath = 1,  // VM_CUSTOMER
  DirAcces_nodePath = 2,      // VM_NODE
  DirAcces_envPath = 3,       // ZOLTENV
  DirAcces_libPath = 4,       // ZOLTLIB
  DirAcces_datPath = 5,       // ZOLTDAT
  DirAcces_tmpPath = 6,       // TMP
};

// ---- Paths (text only, no file-system access) ----

// Joins with exactly one "/": an empty dir gives name; "a/" + "/b" gives "a/b";
// otherwise "/" goes between unless one side already has it.
void DirAcces_IncludePath(StrIn dir, StrIn name, StrOut path);
// Splits at the last "/": dir is the part before it ("/" when empty), name the part
// after it; without "/" dir is empty and name is path.
void DirAcces_ExcludePath(StrIn path, StrOut dir, StrOut name);
// The first component: "/" for an absolute path, empty for an empty one.
void DirAcces_GetPathHead(StrIn path, StrOut head);
// As GetPathHead, and removes the head and the slashes after it from path.
void DirAcces_CutPathHead(StrOut path, StrOut head);
// True when path is prefix or lies below it (whole components; trailing "/" ignored).
bool DirAcces_PathStartsWith(StrIn path, StrIn prefix);
// When path starts with oldHead (as PathStartsWith), result is newHead joined with the
// rest and the result is true; otherwise result is path and the result is false.
bool DirAcces_ReplacePathHead(StrIn path, StrIn oldHead, StrIn newHead, StrOut result);
// True when the colon-separated list holds path as one of its elements (a trailing "/"
// of either side is ignored).
bool DirAcces_ContainsPath(StrIn pathList, StrIn path);

// ---- File status ----

// Mode 0 readable, 1 writable, 2 executable or searchable, 3 exists.
bool DirAcces_Access(StrIn path, unsigned mode);
// Following symbolic links / not following them / of an open descriptor. The name field
// gets the last component of path (empty for FileStatF).
void DirAcces_FileStatN(StrIn path, DirAcces_DirEntry& entry);
void DirAcces_LFileStatN(StrIn path, DirAcces_DirEntry& entry);
void DirAcces_FileStatF(FileIO_File file, DirAcces_DirEntry& entry);

bool DirAcces_IsRegularFile(const DirAcces_DirEntry& entry);
bool DirAcces_IsDirectory(const DirAcces_DirEntry& entry);
bool DirAcces_IsFifo(const DirAcces_DirEntry& entry);
bool DirAcces_IsSymlink(const DirAcces_DirEntry& entry);
bool DirAcces_IsBlockSpecial(const DirAcces_DirEntry& entry);
bool DirAcces_IsCharacterSpecial(const DirAcces_DirEntry& entry);
bool DirAcces_IsSocket(const DirAcces_DirEntry& entry);

// ---- Directory listings ----

// Lists the current directory in the order the system delivers the names ("." and ".."
// included). The first call opens "." (closing a listing still open); each call fills
// the next entry that can be examined and returns true; false at the end, when the
// listing is closed. The L variants do not follow symbolic links.
bool DirAcces_GetFirstEntry(DirAcces_DirEntry& entry);
bool DirAcces_GetNextEntry(DirAcces_DirEntry& entry);
bool DirAcces_LGetFirstEntry(DirAcces_DirEntry& entry);
bool DirAcces_LGetNextEntry(DirAcces_DirEntry& entry);

// The same for any directory through an explicit handle.
struct DirAcces_DirStream;
using DirAcces_Dir = DirAcces_DirStream*;
inline constexpr DirAcces_Dir DirAcces_NilDir = nullptr;
// DirAcces_NilDir (and dirError) when the directory cannot be opened.
DirAcces_Dir DirAcces_OpenDir(StrIn path);
// The next entry that can be examined (following symbolic links unless followLinks is
// false); false at the end.
bool DirAcces_GetDirEntry(DirAcces_Dir dir, DirAcces_DirEntry& entry, bool followLinks = true);
// Only the next name, without examining the file; false at the end.
bool DirAcces_GetSmallDirEntry(DirAcces_Dir dir, StrOut name);
// Examines the entry name of an open listing, as FileStatN (followLinks) or LFileStatN
// would examine the directory's path joined with name, but with one name to look up
// instead of the whole path: walks over large trees examine every file this way.
// False (and dirError) when the file cannot be examined.
bool DirAcces_StatInDir(DirAcces_Dir dir, StrIn name, bool followLinks, DirAcces_DirEntry& entry);
// Closes and sets dir to DirAcces_NilDir.
void DirAcces_CloseDir(DirAcces_Dir& dir);

// ---- Changing the file system ----

// Permissions 0777 before the umask; an existing path is error 4.
void DirAcces_MkDir(StrIn path);
// Creates missing parents first; with mode > 0 each created directory gets that mode.
bool DirAcces_RecursiveMkDir(StrIn path, unsigned mode);
void DirAcces_RmDir(StrIn path);
void DirAcces_Remove(StrIn path);
// Hard link then unlink: fails when newPath exists or lies on another file system.
void DirAcces_Rename(StrIn oldPath, StrIn newPath);
// The system's rename: replaces newPath.
void DirAcces_AtomicRename(StrIn oldPath, StrIn newPath);
void DirAcces_Link(StrIn existing, StrIn newPath);
void DirAcces_Symlink(StrIn target, StrIn linkPath);
void DirAcces_ReadLink(StrIn path, StrOut target);
void DirAcces_RealPath(StrIn path, StrOut real);
// Copy and move of files and whole trees (symbolic links are copied as links, other
// special files are skipped). A move tries a rename first and copies across file systems.
void DirAcces_Copy(StrIn from, StrIn to);
void DirAcces_Move(StrIn from, StrIn to);
// The same for a single regular file.
void DirAcces_CopyFile(StrIn from, StrIn to);
void DirAcces_MoveFile(StrIn from, StrIn to);
void DirAcces_ChMod(StrIn path, unsigned mode);
// Creates an empty file, or sets the times of an existing one to now.
void DirAcces_Touch(StrIn path);
void DirAcces_ChTimes(StrIn path, std::int64_t accessTime, std::int64_t modifyTime);
// Modification time in seconds since 1970 (0 on failure).
std::int64_t DirAcces_LastModified(StrIn path);
// True when both files exist and have the same contents.
bool DirAcces_FilesEqual(StrIn a, StrIn b);
bool DirAcces_OnSameFilesystem(StrIn a, StrIn b);

// ---- Current directory ----

// Changes the directory and keeps a logical current directory: "." and ".." are resolved
// textually against the previous logical directory, as a shell does; on failure the
// logical directory stays as it was.
void DirAcces_ChDir(StrIn path);
// The logical current directory once DirAcces_ChDir has been used, else the canonical.
void DirAcces_CurrentDir(StrOut path);

// ---- Environment ----

// The value of name. VM_PROJECTS, VM_CUSTOMER, VM_NODE, ZOLTENV, ZOLTLIB, ZOLTDAT,
// VELMAR_INSTANCE, VELSC, HOST, ICONS and TMP get their computed default when unset,
// which is exported to the process environment. A ZOLTDAT directory that is not
// writable ends the program. False (value empty) when the variable is unset and has no
// default.
bool DirAcces_EnvVar(StrIn name, StrOut value);
// Sets the variable for this process and its children (error 8 on failure).
void DirAcces_PutEnvVar(StrIn name, StrIn value);
// The n-th variable of the environment (from 0); false when there are fewer.
bool DirAcces_GetNthEnvVar(std::size_t n, StrOut name, StrOut value);

// The first element of the special path n ("/" when empty or for other numbers).
void DirAcces_GetSpecialPath(unsigned n, StrOut path);
// The special path n joined with name.
void DirAcces_IncludeSpecialPath(unsigned n, StrIn name, StrOut path);
// Tries every element of the special path n joined with name; the first path that passes
// DirAcces_Access(mode) goes to path and the result is true.
bool DirAcces_AccessSpecial(unsigned n, StrIn name, unsigned mode, StrOut path);

// Flag X: the variable VM_X set to anything but "false", "no", "off" (any case); when
// unset, a file X in the first directory of VM_CUSTOMER.
bool DirAcces_CheckFlag(StrIn name);
// Sets VM_X to "on"/"off" when it exists, otherwise creates or removes the file.
void DirAcces_SetFlag(StrIn name, bool on);
// The value of VM_X as a number or text; false (value unchanged) when unset or not a
// number.
bool DirAcces_CheckIntFlag(StrIn name, std::int64_t& value);
bool DirAcces_CheckRealFlag(StrIn name, double& value);
bool DirAcces_CheckStringFlag(StrIn name, StrOut value);

// The value of HOST.
void DirAcces_GetMachineName(StrOut name);
// The operating system's node name, cached ("NONAME" when it cannot be determined).
void DirAcces_GetNodeName(StrOut name);

// Where the file systems of other hosts are mounted, one directory per host: VM_NETROOT,
// "/nfs" when unset or empty.
void DirAcces_GetNetRoot(StrOut root);
// The path by which this host reaches path on host: the network root, the host, then
// path (a "/" between them when path is relative).
void DirAcces_NetPath(StrIn host, StrIn path, StrOut result);

// VELMAR_INSTANCE_HOME (default "/etc/opt/velmar") joined with "instance." followed by
// VELMAR_INSTANCE.
void DirAcces_GetInstanceFilename(StrOut path);

// ---- Finding files along a path variable ----

// Opens file as given, otherwise the first element of the colon-separated list in the
// environment variable named variable that holds it. Not found: error 7 and FileIO_Nil.
FileIO_File DirAcces_PathLookup(StrIn variable, StrIn file, unsigned mode);
BFileIO_File DirAcces_BPathLookup(StrIn variable, StrIn file, unsigned mode);
// Finds without opening: the first of file itself and the elements of the variable's
// list joined with file that passes DirAcces_Access(accessMode). Not found: error 7.
bool DirAcces_PathLookup1(StrIn variable, StrIn file, unsigned accessMode, StrOut path);
// The same along an explicit colon-separated list (file itself is not tried first).
bool DirAcces_Lookup(StrIn pathList, StrIn file, unsigned accessMode, StrOut path);
// The path of the last file found by a lookup (empty after a failed one).
void DirAcces_LastFilePath(StrOut path);

// ---- Seams for tests ----

// The fixed installation directories of the defaults ("/etc/opt/velmar", "/opt/velmar",
// "/var/opt/velmar", "/projects") are taken below root; empty (the default) is "/".
void DirAcces_SetInstallRoot(StrIn root);
// A fixed installation path (such as "/projects/orders") as the defaults take it: the
// path itself, or the path below the root set above.
void DirAcces_InstalledPath(StrIn path, StrOut result);
// Where the node name comes from; nullptr restores uname. Clears the cached name.
using DirAcces_NodeNameSource = bool (*)(std::string& name);
void DirAcces_SetNodeNameSource(DirAcces_NodeNameSource source);
