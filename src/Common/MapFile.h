// MapFile.h - one named block of shared memory backed by the paging file.
// Every process that creates or opens the same name sees the same bytes.
#pragma once

#include <windows.h>

#include <cstdint>

class MapFile {
public:
    MapFile();
    virtual ~MapFile();  // closes the mapping when still open
    MapFile(const MapFile&) = delete;
    MapFile& operator=(const MapFile&) = delete;

    // Creates the block name of size bytes (read and write) or joins it when
    // another holder has it. A block this call made is zero-filled; a joined
    // one keeps its content. 1 mapped; 0 when this object already holds a
    // handle, the name does not fit in 260 characters, size is not positive
    // (last error ERROR_INVALID_PARAMETER), or a platform call
    // failed (last error as that call left it; a refused view keeps the
    // handle until Close).
    int32_t Create(const char* name, int32_t size);

    // Opens an existing block read-only. 1 mapped, 0 as for Create.
    int32_t Open(const char* name);

    // Unmaps the view and closes the handle; harmless when closed.
    void Close();

    // First byte of the view; null when not mapped.
    void* GetPointer() const;

    // 1 when the last Create that got a handle made the block, 0 when it
    // joined one (and after Open).
    int32_t IsCreated() const;

protected:
    HANDLE handle;
    char name[MAX_PATH];
    void* view;
    int32_t size;
    int32_t created;
};
