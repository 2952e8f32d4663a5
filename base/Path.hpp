// Path texts on NUL-terminated strings for the C-style layers. Each writes its result
// into result (size bytes with the terminator) and returns 0, or -1 when the result does
// not fit (result then holds as much as fits) or the path cannot be resolved.
#pragma once

#include <cstddef>

void Path_Init();

// The last component; trailing slashes do not count ("a/b/" gives "b"); "/" stays "/".
int Basename(const char* path, char* result, std::size_t size);
// Everything before the last component, without trailing slashes: "/a/b" gives "/a",
// "/a" gives "/", a path without a directory gives ".".
int Dirname(const char* path, char* result, std::size_t size);
// The first component: "/" for an absolute path, empty for an empty one.
int PathHead(const char* path, char* result, std::size_t size);
// The current directory as the program sees it (the logical one once it has been changed
// through DirAcces_ChDir).
int Cwd(char* result, std::size_t size);
// The absolute path with every symbolic link, "." and ".." resolved; the path must exist.
int TrueName(const char* path, char* result, std::size_t size);
