// PathText.h - bounded handling of the path and name texts that the file
// classes keep in their 260-character buffers.
#pragma once

#include <windows.h>

// Copies text into out when it fits with its NUL. Returns true when copied;
// false (out left empty, last error ERROR_FILENAME_EXCED_RANGE) when text is
// null or too long.
bool CopyPathText(char (&out)[MAX_PATH], const char* text);

// Writes the full path of name, resolved against the current directory, into
// out. When the platform cannot resolve it for another reason than its
// length, name itself is used. Returns true when a path is in out; false (out
// left empty) when the full path or the name does not fit, or name is null.
// The file need not exist.
bool ResolveFullPath(char (&out)[MAX_PATH], const char* name);
