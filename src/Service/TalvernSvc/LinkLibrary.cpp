// LinkLibrary.cpp - loading, binding and unloading TalvernLink.
#include <cstring>

#include "TalvernSvc.h"

HMODULE g_link_module = nullptr;
LinkEntryPoints g_link_entry = {};

int LoadLinkLibrary(const char* file_name)
{
    if (g_link_module != nullptr)
        return 1;
    g_link_module = LoadLibraryA(file_name);
    if (g_link_module == nullptr)
        return 0;
    TvnBindEntryPoints(g_link_module, &g_link_entry);
    return 1;
}

void FreeLinkLibrary()
{
    if (g_link_module == nullptr)
        return;
    FreeLibrary(g_link_module);
    g_link_module = nullptr;
}

bool HasServiceEntries()
{
    return g_link_entry.connect != nullptr && g_link_entry.dis_connect != nullptr &&
           g_link_entry.shutdown_notify != nullptr && g_link_entry.set_date_time != nullptr;
}

bool BuildLinkLibraryPath(char* buffer, size_t size)
{
    if (size < 2)
        return false;
    buffer[0] = '\0';
    // One place short of the buffer, as the directory has always been asked
    // for; a directory that does not fit comes back as its needed size.
    const UINT asked = static_cast<UINT>(size - 1);
    const UINT length = g_get_system_directory(buffer, asked);
    const size_t file_length = std::strlen(TALVERN_LINK_FILE);
    if (length == 0 || length >= asked || length + file_length + 1 > size) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer + length, TALVERN_LINK_FILE, file_length + 1);
    return true;
}
