// DebugOut.cpp - trace texts on the debugger channel.
#include <cstdarg>
#include <cwchar>

#include "TalvernSvc.h"

namespace {

// Longest trace text; a longer one is cut.
constexpr size_t DEBUG_TEXT_MAX_CHARS = 1024;

}  // namespace

void DebugOut(const wchar_t* format, ...)
{
    // One place more than the text may fill: the zero there terminates a
    // text that the formatter cut without a terminator.
    wchar_t text[DEBUG_TEXT_MAX_CHARS + 1] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, DEBUG_TEXT_MAX_CHARS, format, args);
    va_end(args);
    g_debug_output(text);
}
