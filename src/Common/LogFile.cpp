// LogFile.cpp - per-process, two-file rotating text log.
#include "LogFile.h"

#include "IniFile.h"
#include "PathText.h"
#include "ProcMapFile.h"
#include "StdFile.h"

#include <mmsystem.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

const char SECTION[] = "LOG";
const char KEY_LEVEL[] = "LOGLEVEL";
const char KEY_MAX_LINE[] = "LOGMAXLINE";
const char KEY_TICK_COUNT[] = "LOGTICKCOUNT";
const char KEY_FILE_NO[] = "FILENO_%02d";
const char KEY_LINE_COUNT[] = "LOGLINE_%02d";
const char FILE_NAME_FORMAT[] = "%s_%02d%02d.log";
const char LINE_END[] = "\r\n";
const int LINE_END_LENGTH = 2;

struct SeverityMarker {
    uint32_t severity;
    const char* marker;
};

const SeverityMarker MARKERS[] = {
    {0x01, "@@   "},     {0x02, "**   "},      {0x04, "##    "},
    {0x08, "++     "},   {0x10, "--      "},   {0x20, "==       "},
};

// Marker of a severity byte; "" for a byte that is none of the six values.
const char* MarkerOf(uint32_t severity)
{
    for (const SeverityMarker& entry : MARKERS) {
        if (entry.severity == severity)
            return entry.marker;
    }
    return "";
}

// Appends as much of text as fits before limit; returns the new length.
int AppendBounded(char* line, int length, int limit, const char* text)
{
    if (text == nullptr || length >= limit)
        return length;
    size_t n = strnlen(text, static_cast<size_t>(limit - length));
    memcpy(line + length, text, n);
    return length + static_cast<int>(n);
}

}  // namespace

LogFile::LogFile()
    : file_no(0),
      line_count(0),
      max_line(0),
      tick_count(0),
      level(0),
      out_file(nullptr),
      log_ini(nullptr),
      proc_map(nullptr)
{
    memset(base_path, 0, sizeof(base_path));
    InitializeCriticalSection(&lock);
}

LogFile::~LogFile()
{
    Close();
    DeleteCriticalSection(&lock);
}

int32_t LogFile::Open(const char* base_name, const char* ini_name, const char* map_name,
                      uint32_t default_level)
{
    // A log still holding its objects must be closed first.
    if (out_file != nullptr || log_ini != nullptr || proc_map != nullptr)
        return 0;

    // A base path that does not fit stays empty; no file name is then built.
    ResolveFullPath(base_path, base_name);

    out_file = new (std::nothrow) StdFile;
    log_ini = new (std::nothrow) IniFile;
    proc_map = new (std::nothrow) ProcMapFile;
    if (out_file == nullptr || log_ini == nullptr || proc_map == nullptr)
        return 0;
    log_ini->Open(ini_name);
    if (!proc_map->Create(map_name))
        return 0;

    int32_t slot = proc_map->GetSlot();
    char key[KEY_SIZE];
    level = static_cast<uint32_t>(
        log_ini->GetHex(SECTION, KEY_LEVEL, static_cast<int32_t>(default_level)));
    max_line = log_ini->GetInt(SECTION, KEY_MAX_LINE, DEFAULT_MAX_LINE);
    tick_count = log_ini->GetInt(SECTION, KEY_TICK_COUNT, 0);
    snprintf(key, sizeof(key), KEY_FILE_NO, static_cast<int>(slot));
    file_no = log_ini->GetInt(SECTION, key, 0);
    snprintf(key, sizeof(key), KEY_LINE_COUNT, static_cast<int>(slot));
    line_count = log_ini->GetInt(SECTION, key, 0);

    char sz_f[MAX_PATH];
    if (!FormatFileName(sz_f))
        return 0;
    return out_file->Open(sz_f, OPEN_ALWAYS);
}

void LogFile::Write(LogType type, const char* text)
{
    if ((type & level & CATEGORY_MASK) == 0)
        return;
    if ((type & level & SEVERITY_MASK) == 0)
        return;

    // The lock covers the full-file check, the rotation and the write, so
    // that two threads finding the file full rotate once, not twice.
    EnterCriticalSection(&lock);
    if (out_file != nullptr && (line_count < max_line || Rotate())) {
        char compl_msg[LINE_SIZE];
        int length = ComposeLine(type, text, compl_msg);
        out_file->Write(compl_msg, length);
        line_count = line_count + 1;  // counted even when the write failed
    }
    LeaveCriticalSection(&lock);
}

int32_t LogFile::Rotate()
{
    if (out_file == nullptr)
        return 0;
    out_file->Close();
    file_no = (file_no + 1) % 2;
    line_count = 0;
    char sz_f[MAX_PATH];
    if (!FormatFileName(sz_f))
        return 0;
    return out_file->Open(sz_f, CREATE_ALWAYS);
}

int32_t LogFile::GetProcCount()
{
    return proc_map != nullptr ? proc_map->GetCount() : 0;
}

int32_t LogFile::IsMapCreator()
{
    return proc_map != nullptr ? proc_map->IsCreated() : 0;
}

void LogFile::Close()
{
    if (proc_map != nullptr) {
        // Without a slot there are no keys of this process to save.
        int32_t slot = proc_map->GetSlot();
        if (slot >= 0 && log_ini != nullptr) {
            char key[KEY_SIZE];
            snprintf(key, sizeof(key), KEY_FILE_NO, static_cast<int>(slot));
            log_ini->WriteInt(SECTION, key, file_no);
            snprintf(key, sizeof(key), KEY_LINE_COUNT, static_cast<int>(slot));
            log_ini->WriteInt(SECTION, key, line_count);
        }
        delete proc_map;
        proc_map = nullptr;
    }
    if (log_ini != nullptr) {
        log_ini->Close();
        delete log_ini;
        log_ini = nullptr;
    }
    if (out_file != nullptr) {
        out_file->Close();
        delete out_file;
        out_file = nullptr;
    }
}

int32_t LogFile::Slot() const
{
    return proc_map != nullptr ? proc_map->GetSlot() : -1;
}

bool LogFile::FormatFileName(char (&sz_f)[MAX_PATH]) const
{
    sz_f[0] = '\0';
    int32_t slot = Slot();
    if (slot < 0 || base_path[0] == '\0')
        return false;
    int length = snprintf(sz_f, sizeof(sz_f), FILE_NAME_FORMAT, base_path,
                          static_cast<int>(slot), static_cast<int>(file_no));
    if (length < 0 || length >= static_cast<int>(sizeof(sz_f))) {
        sz_f[0] = '\0';
        return false;
    }
    return true;
}

int LogFile::ComposeLine(LogType type, const char* text, char (&compl_msg)[LINE_SIZE]) const
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    // Date, time and tick take at most 31 characters: they always fit.
    int length = snprintf(compl_msg, sizeof(compl_msg), "%02d/%02d/%02d %02d:%02d:%02d ",
                          now.wMonth, now.wDay, now.wYear % 100, now.wHour, now.wMinute,
                          now.wSecond);
    if (tick_count != 0)
        length += snprintf(compl_msg + length, sizeof(compl_msg) - length, "[%u] ",
                           static_cast<unsigned int>(timeGetTime()));

    // Marker and text are cut where the "\r\n" and the NUL still fit.
    const int limit = LINE_SIZE - 1 - LINE_END_LENGTH;
    length = AppendBounded(compl_msg, length, limit, MarkerOf(type & SEVERITY_MASK));
    length = AppendBounded(compl_msg, length, limit, text);
    memcpy(compl_msg + length, LINE_END, sizeof(LINE_END));
    return length + LINE_END_LENGTH;
}
