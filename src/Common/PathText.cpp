// PathText.cpp - bounded handling of path and name texts.
#include "PathText.h"

#include <cstring>

bool CopyPathText(char (&out)[MAX_PATH], const char* text)
{
    out[0] = '\0';
    if (text == nullptr || strnlen(text, MAX_PATH) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    strcpy(out, text);
    return true;
}

bool ResolveFullPath(char (&out)[MAX_PATH], const char* name)
{
    out[0] = '\0';
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    char* file_part = nullptr;
    DWORD length = GetFullPathNameA(name, MAX_PATH, out, &file_part);
    if (length == 0) {
        // A full path beyond the limit is refused; a name that could not be
        // resolved for another reason is used as given.
        if (GetLastError() == ERROR_FILENAME_EXCED_RANGE)
            return false;
        return CopyPathText(out, name);
    }
    if (length >= MAX_PATH) {
        // The result names the buffer size it would need; a cut path would
        // name another file, so none is kept.
        out[0] = '\0';
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}
