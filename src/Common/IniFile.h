// IniFile.h - access to one settings file in the Windows private-profile
// format, with 32-bit values stored in hexadecimal with a trailing "H".
#pragma once

#include <windows.h>

#include <cstdint>

class IniFile {
public:
    static constexpr int NUMBER_SIZE = 32;  // a formatted number or a read hex value, with NUL

    IniFile();
    virtual ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    // Stores the full path of name, resolved against the current directory
    // now; touches no file. A name whose path does not fit in 260 characters
    // leaves no path: reads then give their defaults and writes fail.
    virtual void Open(const char* name);

    // Does nothing; the object stays usable.
    virtual void Close();

    // Integer value of section/key by the platform's rules; def when the
    // file, section or key is missing.
    virtual int32_t GetInt(const char* section, const char* key, int32_t def);

    // Copies the value (or def) into out, cut to out_size - 1 characters and
    // NUL-terminated. Returns the characters copied.
    virtual int32_t GetString(const char* section, const char* key, const char* def, char* out,
                              int32_t out_size);

    // Value stored as hexadecimal followed by "H" or "h" (only the first 31
    // characters of the value are seen). def when the key is missing or the
    // value is not of that form.
    virtual int32_t GetHex(const char* section, const char* key, int32_t def);

    // Writes value in signed decimal. Nonzero on success, 0 on failure.
    virtual int32_t WriteInt(const char* section, const char* key, int32_t value);

    // Writes text as the value. Nonzero on success, 0 on failure.
    virtual int32_t WriteString(const char* section, const char* key, const char* text);

    // Writes value as lower-case hexadecimal followed by "H". Nonzero on
    // success, 0 on failure.
    virtual int32_t WriteHex(const char* section, const char* key, int32_t value);

private:
    // The platform calls on the stored path; without a path, the default
    // (reads) or a failure (writes) and no file is touched.
    int32_t ReadText(const char* section, const char* key, const char* def, char* out,
                     int32_t out_size);
    int32_t WriteText(const char* section, const char* key, const char* text);

    char path[MAX_PATH];
};
