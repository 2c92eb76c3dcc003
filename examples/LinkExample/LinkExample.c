/*
 * LinkExample.c - a small program that uses TalvernLink.dll the way PC
 * programs do: it loads the library by name, binds its functions through
 * TalvernLink.h, and talks to one board.
 *
 *   LinkExample <address> <port>
 *
 * It connects board 0, reads the board's versions and number, opens a board
 * memory, writes and reads back a word, a double word and a block,
 * disconnects, unloads the library, and prints what it did and then the log
 * lines the library wrote in the current directory (as far as LOGLEVEL in
 * TalvernLog.ini there enabled them). Exit code 0 when every call succeeded.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TalvernLink.h"

#define BOARD 0
#define MEMORY_NAME "ExampleMemory"

static int g_failures = 0;

/* Prints one call and its result; counts a negative result as a failure. */
static TvnResult Report(const char* what, TvnResult result)
{
    printf("  %-44s -> %ld%s\n", what, (long)result, result < 0 ? "  (failed)" : "");
    if (result < 0)
        ++g_failures;
    return result;
}

/* Prints every log file the library wrote in the current directory. */
static void PrintLogFiles(void)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("TalvernLog_*.log", &found);
    if (search == INVALID_HANDLE_VALUE) {
        printf("no log file in the current directory\n");
        return;
    }
    do {
        FILE* file = fopen(found.cFileName, "rb");
        char line[512];
        printf("log file %s:\n", found.cFileName);
        if (file == NULL)
            continue;
        while (fgets(line, sizeof(line), file) != NULL) {
            line[strcspn(line, "\r\n")] = '\0';
            printf("  %s\n", line);
        }
        fclose(file);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

int main(int argc, char** argv)
{
    const char* address;
    int32_t port;
    HMODULE module;
    LinkEntryPoints tvn;
    int i;
    uint16_t hardware = 0, software = 0, number = 0, word = 0;
    uint32_t dword = 0;
    const uint8_t block[8] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    uint8_t block_back[8] = {0};
    SmemHandle handle;
    char what[128];

    if (argc != 3) {
        fprintf(stderr, "usage: LinkExample <address> <port>\n");
        return 2;
    }
    address = argv[1];
    port = (int32_t)atol(argv[2]);

    module = LoadLibraryA("TalvernLink.dll");
    if (module == NULL) {
        fprintf(stderr, "TalvernLink.dll did not load (error %lu)\n", GetLastError());
        return 1;
    }
    TvnBindEntryPoints(module, &tvn);
    for (i = 0; i < TVN_ENTRY_COUNT; ++i) {
        FARPROC entry;
        memcpy(&entry, (const char*)&tvn + (size_t)i * sizeof(FARPROC), sizeof(entry));
        if (entry == NULL) {
            fprintf(stderr, "TalvernLink.dll lacks %s\n", TvnEntryName(i));
            FreeLibrary(module);
            return 1;
        }
    }
    printf("TalvernLink.dll loaded; board %d at %s:%ld\n", BOARD, address, (long)port);

    snprintf(what, sizeof(what), "TVN_Connect(%d, %s, %ld)", BOARD, address, (long)port);
    if (Report(what, tvn.connect(BOARD, address, port)) == 0) {
        if (Report("TVN_GetVersion", tvn.get_version(BOARD, &hardware, &software)) == 0)
            printf("    hardware version 0x%04x, software version 0x%04x\n", hardware, software);
        if (Report("TVN_GetBoardNumber", tvn.get_board_number(BOARD, &number)) == 0)
            printf("    board number %u\n", number);

        handle = Report("TVN_SmemOpen(\"" MEMORY_NAME "\")", tvn.smem_open(BOARD, MEMORY_NAME));
        if (handle >= 0) {
            Report("TVN_SmemIsMemSize", tvn.smem_is_mem_size(BOARD, handle));
            Report("TVN_SmemWriteWord(offset 0, 0x1234)",
                   tvn.smem_write_word(BOARD, handle, 0, 0x1234));
            if (Report("TVN_SmemReadWord(offset 0)", tvn.smem_read_word(BOARD, handle, 0, &word)) == 0)
                printf("    read back 0x%04x\n", word);
            Report("TVN_SmemWriteDWord(offset 4, 0x89abcdef)",
                   tvn.smem_write_dword(BOARD, handle, 4, 0x89ABCDEFu));
            if (Report("TVN_SmemReadDWord(offset 4)",
                       tvn.smem_read_dword(BOARD, handle, 4, &dword)) == 0)
                printf("    read back 0x%08lx\n", (unsigned long)dword);
            Report("TVN_SmemWriteBytes(offset 16, 8 bytes)",
                   tvn.smem_write_bytes(BOARD, handle, 16, block, (int32_t)sizeof(block)));
            if (Report("TVN_SmemReadBytes(offset 16, 8 bytes)",
                       tvn.smem_read_bytes(BOARD, handle, 16, block_back,
                                           (int32_t)sizeof(block_back))) == 0) {
                printf("    read back");
                for (i = 0; i < (int)sizeof(block_back); ++i)
                    printf(" %02x", block_back[i]);
                printf("%s\n", memcmp(block, block_back, sizeof(block)) == 0 ? "  (same)"
                                                                              : "  (DIFFERENT)");
                if (memcmp(block, block_back, sizeof(block)) != 0)
                    ++g_failures;
            }
            if (word != 0x1234 || dword != 0x89ABCDEFu)
                ++g_failures;
            Report("TVN_SmemClose", tvn.smem_close(BOARD, handle));
        }
        Report("TVN_DisConnect", tvn.dis_connect(BOARD));
    }

    FreeLibrary(module);
    printf("TalvernLink.dll unloaded; %d failure(s)\n\n", g_failures);
    PrintLogFiles();
    return g_failures == 0 ? 0 : 1;
}
