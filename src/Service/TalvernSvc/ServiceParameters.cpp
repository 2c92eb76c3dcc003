// ServiceParameters.cpp - board 0's address and port from the registry.
#include <cwchar>

#include "TalvernSvc.h"

wchar_t g_ip_address[TEXT_BUFFER_CHARS] = {};
int32_t g_port = 0;

namespace {

// IpAddress is read into a buffer of TEXT_BUFFER_CHARS characters of which
// the last always stays zero: a text of 259 characters fills the data size
// without a terminator and is not taken.
constexpr DWORD IP_ADDRESS_DATA_BYTES = (TEXT_BUFFER_CHARS - 1) * sizeof(wchar_t);  // 518
constexpr size_t IP_ADDRESS_MAX_CHARS = TEXT_BUFFER_CHARS - 2;                        // 258

}  // namespace

void ReadServiceParameters()
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TALVERN_PARAMETERS_KEY, 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;

    // The registry type is not examined: the bytes are read as UTF-16 text.
    wchar_t address[TEXT_BUFFER_CHARS] = {};
    DWORD size = IP_ADDRESS_DATA_BYTES;
    if (RegQueryValueExW(key, L"IpAddress", nullptr, nullptr, reinterpret_cast<BYTE*>(address),
                         &size) == ERROR_SUCCESS &&
        wcslen(address) <= IP_ADDRESS_MAX_CHARS) {
        wmemset(g_ip_address, L'\0', TEXT_BUFFER_CHARS);
        wcscpy(g_ip_address, address);
    }

    // The first 4 bytes, whatever the type; a shorter value sets the low
    // bytes and leaves the others zero.
    DWORD port = 0;
    size = sizeof(port);
    if (RegQueryValueExW(key, L"Port", nullptr, nullptr, reinterpret_cast<BYTE*>(&port),
                         &size) == ERROR_SUCCESS)
        g_port = static_cast<int32_t>(port);

    RegCloseKey(key);
}

bool NarrowAddress(const wchar_t* address, char* buffer, int size)
{
    ZeroMemory(buffer, size);
    if (WideCharToMultiByte(CP_ACP, 0, address, -1, buffer, size, nullptr, nullptr) != 0)
        return true;
    // The conversion failed, typically for want of room: the part written
    // may lack its terminator, and a cut address could name another board.
    ZeroMemory(buffer, size);
    return false;
}
