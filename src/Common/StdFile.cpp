// StdFile.cpp - output file on CreateFileA/WriteFile.
#include "StdFile.h"

#include "PathText.h"

#include <cstring>

StdFile::StdFile() : handle(INVALID_HANDLE_VALUE)
{
    memset(path, 0, sizeof(path));
}

StdFile::~StdFile()
{
    Close();
}

int32_t StdFile::Open(const char* name, uint32_t disposition)
{
    if (handle != INVALID_HANDLE_VALUE)
        return 0;
    if (!ResolveFullPath(path, name))
        return 0;
    handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    SetFilePointer(handle, 0, nullptr, FILE_END);
    return 1;
}

void StdFile::Close()
{
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
}

int32_t StdFile::Read(void* buffer, int32_t length)
{
    if (handle == INVALID_HANDLE_VALUE || length < 0)
        return -1;
    DWORD num = 0;
    if (!ReadFile(handle, buffer, static_cast<DWORD>(length), &num, nullptr))
        return -1;
    return static_cast<int32_t>(num);
}

int32_t StdFile::Write(const void* buffer, int32_t length)
{
    if (handle == INVALID_HANDLE_VALUE || length < 0)
        return -1;
    DWORD num = 0;
    if (!WriteFile(handle, buffer, static_cast<DWORD>(length), &num, nullptr))
        return -1;
    return static_cast<int32_t>(num);
}
