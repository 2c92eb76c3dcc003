/*
 * HmiExample.c - a small program that uses HmiBridge.dll the way HMI
 * programs do: it loads the library from its folder by path, binds its
 * functions through HmiBridge.h, and works on PLC variables.
 *
 *   HmiExample <bridge folder> <board port>
 *
 * Twice: first with HmiBridge.ini in the bridge folder set for the board on
 * 127.0.0.1:<board port> (reached through TalvernLink.dll), then for the
 * Windows file mapping. Each time it loads the library, opens the memory,
 * writes and reads back a word, a real and a PLC string, closes the memory,
 * unloads the library, and prints every call with its result. Exit code 0
 * when every call succeeded and every value read back matched.
 */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "BridgeFolder.h"
#include "HmiBridge.h"

#define BOARD_ADDRESS "127.0.0.1"
#define MEMORY_NAME "HmiExample"
#define MEMORY_SIZE 65536
#define PCOS_OFFSET 68000

/* The PLC variables: PLC addresses, as the HMI program knows them. */
#define WORD_ADDRESS (PCOS_OFFSET + 0)
#define REAL_ADDRESS (PCOS_OFFSET + 4)
#define STRING_ADDRESS (PCOS_OFFSET + 16)
#define STRING_CAPACITY 32 /* characters the PLC side declared */

#define WORD_VALUE 0x1234
#define REAL_VALUE 3.25f
static const char STRING_TEXT[] = "Talvern HMI";

static int g_failures = 0;

/* Prints one call and its result; counts a result other than 0 as a
   failure. */
static int32_t Report(const char* what, int32_t result)
{
    printf("  %-52s -> %ld%s\n", what, (long)result, result != 0 ? "  (failed)" : "");
    if (result != 0)
        ++g_failures;
    return result;
}

/* Prints what was read back and whether it matches; counts a mismatch as a
   failure. */
static void Compare(const char* read_back, int same)
{
    printf("    read back %s  (%s)\n", read_back, same ? "same" : "DIFFERENT");
    if (!same)
        ++g_failures;
}

/* Declares the PLC string's capacity in its header (max_length), the PLC
   side's part: on the mapping through the memory pointer, as a PLC runtime
   on this machine would; on the board, which runs no PLC program here, with
   a word write. */
static void DeclareString(const HmiEntryPoints* hmi, int32_t mem_type)
{
    const uint16_t capacity = STRING_CAPACITY;
    if (mem_type == MEMTYPE_BOARD) {
        Report("HMI_SmemWriteWord(string max_length, 32)",
               hmi->write_word(STRING_ADDRESS, capacity));
    } else {
        void* header = NULL;
        hmi->get_pointer(&header, STRING_ADDRESS - PCOS_OFFSET);
        printf("  %-52s -> %s\n", "HMI_SmemGetPointer(string offset)",
               header != NULL ? "pointer" : "null  (failed)");
        if (header == NULL) {
            ++g_failures;
            return;
        }
        memcpy(header, &capacity, sizeof(capacity)); /* max_length, the header's first word */
        printf("    max_length %u stored through it\n", (unsigned)capacity);
    }
}

/* Writes and reads back the word, the real and the string on the open
   memory of type mem_type. */
static void WriteAndReadBack(const HmiEntryPoints* hmi, int32_t mem_type)
{
    uint16_t word = 0;
    float real = 0.0f;
    const float real_written = REAL_VALUE;
    uint32_t real_bits = 0;
    int32_t length = 0;
    const uint32_t text_length = (uint32_t)strlen(STRING_TEXT);
    char text[STRING_CAPACITY + 1];
    char shown[96];

    Report("HMI_SmemWriteWord(68000, 0x1234)", hmi->write_word(WORD_ADDRESS, WORD_VALUE));
    if (Report("HMI_SmemReadWord(68000)", hmi->read_word(WORD_ADDRESS, &word)) == 0) {
        snprintf(shown, sizeof(shown), "0x%04x", word);
        Compare(shown, word == WORD_VALUE);
    }

    Report("HMI_SmemWriteReal(68004, 3.25)", hmi->write_real(REAL_ADDRESS, real_written));
    if (Report("HMI_SmemReadReal(68004)", hmi->read_real(REAL_ADDRESS, &real)) == 0) {
        memcpy(&real_bits, &real, sizeof(real_bits));
        snprintf(shown, sizeof(shown), "%g (bits 0x%08lx)", real, (unsigned long)real_bits);
        Compare(shown, memcmp(&real, &real_written, sizeof(real)) == 0);
    }

    DeclareString(hmi, mem_type);
    Report("HMI_SmemWriteString(68016, \"Talvern HMI\", 11)",
           hmi->write_string(STRING_ADDRESS, STRING_TEXT, text_length));
    if (Report("HMI_SmemGetStringLength(68016)",
               hmi->get_string_length(STRING_ADDRESS, &length)) == 0) {
        snprintf(shown, sizeof(shown), "length %ld", (long)length);
        Compare(shown, length == (int32_t)text_length);
    }
    if (length < 0 || length > STRING_CAPACITY)
        length = 0;
    memset(text, 0, sizeof(text));
    if (Report("HMI_SmemReadString(68016, that length)",
               hmi->read_string(STRING_ADDRESS, text, (uint32_t)length)) == 0) {
        snprintf(shown, sizeof(shown), "\"%s\"", text);
        Compare(shown, strcmp(text, STRING_TEXT) == 0);
    }
}

/* One round on the memory that settings configure: writes HmiBridge.ini into
   folder, loads the library, opens, works, closes and unloads. */
static void RunOn(const char* folder, const char* title, const BridgeSettings* settings)
{
    HMODULE module;
    HmiEntryPoints hmi;

    printf("== %s: UsedMemType %ld, UsedMemName %s, UsedMemSize %ld\n", title,
           (long)settings->mem_type, settings->mem_name, (long)settings->mem_size);
    if (!WriteBridgeSettings(folder, settings)) {
        printf("  %s could not be written in %s  (failed)\n", BRIDGE_SETTINGS_FILE, folder);
        ++g_failures;
        return;
    }
    module = LoadBridgeFrom(folder, &hmi);
    if (module == NULL) {
        printf("  %s did not load  (failed)\n", BRIDGE_LIBRARY_FILE);
        ++g_failures;
        return;
    }
    printf("  %s loaded from %s\n", BRIDGE_LIBRARY_FILE, folder);

    if (Report("HMI_SmemOpen", hmi.open()) == 0) {
        printf("    HMI_SmemIsExist %ld, HMI_SmemIsMemType %ld, HMI_SmemIsMemSize %ld, "
               "HMI_SmemIsPCosOffset %ld\n",
               (long)hmi.is_exist(), (long)hmi.is_mem_type(), (long)hmi.is_mem_size(),
               (long)hmi.is_pcos_offset());
        /* The two sizes differ on the board, and a reader should not take
           that for a fault. */
        if (settings->mem_type == MEMTYPE_BOARD)
            printf("    on the board HMI_SmemIsMemSize is the board's own memory size (its answer\n"
                   "    to the size query); the bridge bounds every access by UsedMemSize %ld\n",
                   (long)settings->mem_size);
        WriteAndReadBack(&hmi, settings->mem_type);
        hmi.close();
        printf("  HMI_SmemClose\n");
    }
    FreeLibrary(module);
    printf("  %s unloaded\n", BRIDGE_LIBRARY_FILE);
}

int main(int argc, char** argv)
{
    char folder[MAX_PATH];
    BridgeSettings settings;

    if (argc != 3) {
        fprintf(stderr, "usage: HmiExample <bridge folder> <board port>\n");
        return 2;
    }
    if (!FullFolderPath(argv[1], folder)) {
        fprintf(stderr, "the folder %s is too long\n", argv[1]);
        return 2;
    }

    settings.mem_name = MEMORY_NAME;
    settings.mem_size = MEMORY_SIZE;
    settings.pcos_offset = PCOS_OFFSET;
    settings.ip_address = BOARD_ADDRESS;
    settings.port = (int32_t)atol(argv[2]);

    settings.mem_type = MEMTYPE_BOARD;
    RunOn(folder, "board 0 at " BOARD_ADDRESS " through TalvernLink.dll", &settings);
    printf("\n");
    settings.mem_type = MEMTYPE_WINDOWS;
    RunOn(folder, "Windows file mapping " MEMORY_NAME "_Win", &settings);

    printf("\n%d failure(s)\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
