// TalvernLinkChild.cpp - a second process for TalvernLinkTest: loads
// TalvernLink.dll from its own folder in the inherited current directory,
// makes one call for board <index> (from the command line), and unloads.
// Exit code: 0 done, 2 the library did not load or lacks an entry.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "TalvernLink.h"

int main(int argc, char** argv)
{
    BoardIndex board = argc > 1 ? std::atoi(argv[1]) : 3;
    HMODULE module = LoadLibraryA("TalvernLink.dll");
    if (module == nullptr) {
        std::fprintf(stderr, "TalvernLinkChild: LoadLibrary failed: %lu\n", GetLastError());
        return 2;
    }
    LinkEntryPoints tvn = {};
    TvnBindEntryPoints(module, &tvn);
    if (tvn.get_board_number == nullptr)
        return 2;
    uint16_t number = 0;
    tvn.get_board_number(board, &number);
    FreeLibrary(module);
    return 0;
}
