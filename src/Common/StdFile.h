// StdFile.h - one output file written through a platform file handle,
// opened at its end (kept or truncated, as the caller chooses).
#pragma once

#include <windows.h>

#include <cstdint>

class StdFile {
public:
    StdFile();
    virtual ~StdFile();  // closes the file when open
    StdFile(const StdFile&) = delete;
    StdFile& operator=(const StdFile&) = delete;

    // Opens or creates name (resolved against the current directory) for
    // writing, with read and write sharing, and moves to its end.
    // disposition is CreateFileA's: OPEN_ALWAYS keeps the content,
    // CREATE_ALWAYS empties the file. 1 opened; 0 when already open, when the
    // full path does not fit in 260 characters, or when the platform refused
    // (last error as CreateFileA left it).
    virtual int32_t Open(const char* name, uint32_t disposition);

    // Closes the file when open; harmless otherwise.
    virtual void Close();

    // Reads up to length bytes at the current position. Bytes read, or -1
    // when closed or on failure (the file is opened for writing only, so a
    // read through this class fails).
    virtual int32_t Read(void* buffer, int32_t length);

    // Writes length bytes at the current position. Bytes written, or -1 when
    // closed, length is negative, or the platform call failed.
    virtual int32_t Write(const void* buffer, int32_t length);

private:
    HANDLE handle;
    char path[MAX_PATH];
};
