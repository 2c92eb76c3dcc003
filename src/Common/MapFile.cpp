// MapFile.cpp - named paging-file mapping.
#include "MapFile.h"

#include "PathText.h"

#include <cstring>

MapFile::MapFile() : handle(nullptr), view(nullptr), size(0), created(0)
{
    memset(name, 0, sizeof(name));
}

MapFile::~MapFile()
{
    Close();
}

int32_t MapFile::Create(const char* map_name, int32_t map_size)
{
    if (handle != nullptr)
        return 0;
    if (!CopyPathText(name, map_name))
        return 0;
    if (map_size <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // nothing to map, nothing to zero-fill
        return 0;
    }
    size = map_size;
    handle = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                static_cast<DWORD>(size), name);
    if (handle == nullptr)
        return 0;
    created = (GetLastError() != ERROR_ALREADY_EXISTS) ? 1 : 0;
    view = MapViewOfFile(handle, FILE_MAP_WRITE, 0, 0, 0);
    if (view == nullptr)
        return 0;
    if (created)
        memset(view, 0, static_cast<size_t>(size));
    return 1;
}

int32_t MapFile::Open(const char* map_name)
{
    if (handle != nullptr)
        return 0;
    if (!CopyPathText(name, map_name))
        return 0;
    handle = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (handle == nullptr)
        return 0;
    created = 0;
    view = MapViewOfFile(handle, FILE_MAP_READ, 0, 0, 0);
    return view != nullptr ? 1 : 0;
}

void MapFile::Close()
{
    if (view != nullptr) {
        UnmapViewOfFile(view);
        view = nullptr;
    }
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

void* MapFile::GetPointer() const
{
    return view;
}

int32_t MapFile::IsCreated() const
{
    return created;
}
