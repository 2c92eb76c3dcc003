// LogFile.h - a per-process, two-file rotating text log configured from a
// settings file, with category and severity filtering.
#pragma once

#include <windows.h>

#include <cstdint>

class StdFile;
class IniFile;
class ProcMapFile;

// Type word of a log line: category mask in bits 8..31, one severity bit in
// bits 0..7. A line is written only when it shares a category bit and a
// severity bit with the log's level.
typedef uint32_t LogType;

class LogFile {
public:
    static constexpr int LINE_SIZE = 256;  // a composed line, "\r\n" and NUL included
    static constexpr int32_t DEFAULT_MAX_LINE = 4000;

    LogFile();
    virtual ~LogFile();  // Close(), then deletes the lock
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Resolves base_name against the current directory, takes a slot in the
    // shared slot table map_name, reads section "LOG" of ini_name and opens
    // the current log file to append. 1 opened, 0 failed.
    int32_t Open(const char* base_name, const char* ini_name, const char* map_name,
                 uint32_t default_level);

    // Filters by level, rotates when the current file is full, and writes
    // one line: date, time, optional tick, severity marker, text, "\r\n".
    void Write(LogType type, const char* text);

    // Number of processes holding a slot of the table; 0 without a table.
    int32_t GetProcCount();
    // Nonzero when this process created the shared slot table.
    int32_t IsMapCreator();

    // Saves file number and line count under the slot, frees the slot and
    // deletes the owned objects. Harmless on a closed log.
    void Close();

private:
    static constexpr uint32_t CATEGORY_MASK = 0xFFFFFF00;
    static constexpr uint32_t SEVERITY_MASK = 0xFF;
    static constexpr int KEY_SIZE = 32;  // a formatted settings key, with NUL

    // Closes the current file, turns to the other file number and opens
    // that file emptied. 1 the new file is open, 0 failed.
    int32_t Rotate();

    // This process's slot in the table, or -1 when it holds none.
    int32_t Slot() const;

    // The log file name of the slot and file_no. false when there is no slot
    // or the name does not fit in 260 characters.
    bool FormatFileName(char (&sz_f)[MAX_PATH]) const;

    // Composes one line into compl_msg: date, time, optional tick, marker,
    // text and "\r\n", the text cut so that the line keeps its "\r\n" within
    // the buffer. Returns the line's length without the NUL.
    int ComposeLine(LogType type, const char* text, char (&compl_msg)[LINE_SIZE]) const;

    char base_path[MAX_PATH];
    int32_t file_no;
    int32_t line_count;
    int32_t max_line;
    int32_t tick_count;
    uint32_t level;
    StdFile* out_file;
    IniFile* log_ini;
    ProcMapFile* proc_map;
    CRITICAL_SECTION lock;
};
