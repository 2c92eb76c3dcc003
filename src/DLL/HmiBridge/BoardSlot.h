// BoardSlot.h - what the board backend knows of one board index.
#pragma once

#include "TalvernLink.h"

struct BoardSlot {
    HMODULE lib_module = nullptr;  // TalvernLink loaded for this slot, or null
    int32_t loaded = 0;            // 1 once all 16 entry points were bound
    int32_t connected = 0;         // 1 after TVN_Connect gave 0
    int32_t smem_open = 0;         // 1 while a board shared memory is open
    SmemHandle smem_handle = -1;   // what TVN_SmemOpen last gave; -1 before any open
    LinkEntryPoints entry_points = {};  // the bound functions; 6 to 9 stay null
};
