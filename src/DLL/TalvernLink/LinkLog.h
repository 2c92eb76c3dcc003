// LinkLog.h - the board link library's log: its fixed names, the types of
// its lines, and the one formatter every line goes through.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "LogFile.h"

// The library's only log, opened at load and closed at unload (DllMain.cpp).
extern LogFile g_log;

// Log base name, settings file and process-slot table, all resolved against
// the process's current directory when the library is loaded.
constexpr const char* LINK_LOG_BASE_NAME = "TalvernLog";
constexpr const char* LINK_LOG_INI_NAME = "TalvernLog.ini";
constexpr const char* LINK_LOG_MAP_NAME = "TalvernLog.Map";
// No line is written until LOGLEVEL in the settings file enables one.
constexpr uint32_t LINK_LOG_DEFAULT_LEVEL = 0;

// Category 0x10000 with one severity bit each.
constexpr LogType LINK_LOG_FAILURE = 0x10001;     // every "NG" line
constexpr LogType LINK_LOG_CALL = 0x10002;        // entry lines, "OK" lines, banners
constexpr LogType LINK_LOG_CONNECTION = 0x10004;  // "OK" lines of connect and disconnect

// The text that opens every line of an exported call: "Talvern(<board>)".
constexpr const char* LINK_LOG_PREFIX = "Talvern";

// Composes one line from format into a buffer of LogFile::LINE_SIZE bytes
// and hands it to g_log with type. A text that would not fit is cut at
// LINE_SIZE - 1 characters: the line is shortened, never the call stopped,
// and nothing is written past the buffer.
inline void
#ifdef __MINGW_PRINTF_FORMAT
    __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)))
#endif
    LinkLogLine(LogType type, const char* format, ...)
{
    char line[LogFile::LINE_SIZE];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n < 0)
        line[0] = '\0';
    line[sizeof(line) - 1] = '\0';
    g_log.Write(type, line);
}
