// IniFile.cpp - settings file access through the private-profile functions.
#include "IniFile.h"

#include "PathText.h"

#include <cstdio>
#include <cstring>

IniFile::IniFile()
{
    memset(path, 0, sizeof(path));
}

IniFile::~IniFile() = default;

void IniFile::Open(const char* name)
{
    ResolveFullPath(path, name);
}

void IniFile::Close()
{
}

int32_t IniFile::GetInt(const char* section, const char* key, int32_t def)
{
    if (path[0] == '\0')
        return def;
    return static_cast<int32_t>(GetPrivateProfileIntA(section, key, def, path));
}

int32_t IniFile::GetString(const char* section, const char* key, const char* def, char* out,
                           int32_t out_size)
{
    return ReadText(section, key, def, out, out_size);
}

int32_t IniFile::ReadText(const char* section, const char* key, const char* def, char* out,
                          int32_t out_size)
{
    if (out == nullptr || out_size <= 0)
        return 0;  // no room, not even for the NUL
    if (path[0] == '\0') {
        // No file to read: the default, cut like the platform would cut it.
        size_t n = def ? strnlen(def, static_cast<size_t>(out_size - 1)) : 0;
        if (n > 0)
            memcpy(out, def, n);
        out[n] = '\0';
        return static_cast<int32_t>(n);
    }
    return static_cast<int32_t>(GetPrivateProfileStringA(section, key, def, out, out_size, path));
}

int32_t IniFile::GetHex(const char* section, const char* key, int32_t def)
{
    char sz_def[NUMBER_SIZE];
    char sz_ret[NUMBER_SIZE];
    snprintf(sz_def, sizeof(sz_def), "%xH", static_cast<unsigned int>(def));
    ReadText(section, key, sz_def, sz_ret, NUMBER_SIZE);

    size_t n = strlen(sz_ret);
    if (n == 0)
        return def;
    char last = sz_ret[n - 1];
    if (last != 'H' && last != 'h')
        return def;
    sz_ret[n - 1] = '\0';

    unsigned int dw_ret = 0;
    if (sscanf(sz_ret, "%x", &dw_ret) != 1)
        return def;
    return static_cast<int32_t>(dw_ret);
}

int32_t IniFile::WriteInt(const char* section, const char* key, int32_t value)
{
    char sz[NUMBER_SIZE];
    snprintf(sz, sizeof(sz), "%d", static_cast<int>(value));
    return WriteText(section, key, sz);
}

int32_t IniFile::WriteString(const char* section, const char* key, const char* text)
{
    return WriteText(section, key, text);
}

int32_t IniFile::WriteText(const char* section, const char* key, const char* text)
{
    if (path[0] == '\0') {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return WritePrivateProfileStringA(section, key, text, path);
}

int32_t IniFile::WriteHex(const char* section, const char* key, int32_t value)
{
    char sz[NUMBER_SIZE];
    snprintf(sz, sizeof(sz), "%xH", static_cast<unsigned int>(value));
    return WriteText(section, key, sz);
}
