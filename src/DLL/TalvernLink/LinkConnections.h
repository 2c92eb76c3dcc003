// LinkConnections.h - the library's table of board connections.
#pragma once

#include "Talvern.h"
#include "TalvernLink.h"

// One entry per board index: null, or the connection the entry owns. Filled
// by TVN_Connect, emptied by TVN_DisConnect and a failed TVN_Connect, and
// emptied at unload (DllMain.cpp). Defined in TalvernLinkExports.cpp.
extern Talvern* g_connections[MAX_BOARDS];

// Empties the entry of board (0..MAX_BOARDS-1): closes the connection's
// socket and releases its Winsock start-up when it is connected, deletes it
// and sets the entry to null. Sends nothing to the board. Does nothing on an
// empty entry.
void CloseConnection(BoardIndex board);
