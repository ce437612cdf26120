// The Win32 shell path and file helpers the module uses, on '/' paths, with the Win32
// results: 1 (TRUE) for success, 0 for failure.
#pragma once

int PathFileExistsA(const char* path);
// Points at the '.' of the last component's extension, or at the terminating NUL.
const char* PathFindExtensionA(const char* path);
// Cuts the last component's extension off in place.
void PathRemoveExtensionA(char* path);
// Cuts the last component (and its separator) off in place; 1 when something was removed.
int PathRemoveFileSpecA(char* path);
int DeleteFileA(const char* path);
// Creates one directory (mode 0777 less the umask). Fails, as on Win32, when it exists.
int CreateDirectoryA(const char* path, void* securityAttributes);
