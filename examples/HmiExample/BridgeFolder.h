/*
 * BridgeFolder.h - a folder that holds HmiBridge.dll, as an HMI program's
 * installation does: writing the HmiBridge.ini that the library reads from
 * its own folder when it is loaded, and loading the library from there by
 * path. Used by the HMI example and the bridge benchmark.
 */
#ifndef BRIDGEFOLDER_H
#define BRIDGEFOLDER_H

#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#include "HmiBridge.h"

#define BRIDGE_LIBRARY_FILE "HmiBridge.dll"
#define BRIDGE_SETTINGS_FILE "HmiBridge.ini"

/* The settings of section "Config" that the example and the benchmark set;
   the open sequence keeps its defaults. */
typedef struct BridgeSettings {
    const char* mem_name;   /* UsedMemName */
    int32_t mem_type;       /* UsedMemType: a MEMTYPE_ value */
    int32_t mem_size;       /* UsedMemSize, bytes */
    int32_t pcos_offset;    /* ProConOS_Offset */
    const char* ip_address; /* OpenIpAddress (board type) */
    int32_t port;           /* OpenPort (board type) */
} BridgeSettings;

/* Writes folder\HmiBridge.ini with settings, replacing any earlier file.
   1 when written, else 0. */
static inline int WriteBridgeSettings(const char* folder, const BridgeSettings* settings)
{
    char path[MAX_PATH];
    FILE* file;
    int written;
    written = snprintf(path, sizeof(path), "%s\\%s", folder, BRIDGE_SETTINGS_FILE);
    if (written < 0 || written >= (int)sizeof(path))
        return 0;
    file = fopen(path, "wb");
    if (file == NULL)
        return 0;
    written = fprintf(file,
                      "[Config]\r\n"
                      "UsedMemName=%s\r\n"
                      "UsedMemType=%ld\r\n"
                      "UsedMemSize=%ld\r\n"
                      "ProConOS_Offset=%ld\r\n"
                      "OpenIpAddress=%s\r\n"
                      "OpenPort=%ld\r\n",
                      settings->mem_name, (long)settings->mem_type, (long)settings->mem_size,
                      (long)settings->pcos_offset, settings->ip_address, (long)settings->port);
    return (fclose(file) == 0 && written > 0) ? 1 : 0;
}

/* Loads folder\HmiBridge.dll by path and binds its 22 functions into
   entries. The module, or NULL (with a message on stderr) when it did not
   load or lacks a name. */
static inline HMODULE LoadBridgeFrom(const char* folder, HmiEntryPoints* entries)
{
    char path[MAX_PATH];
    HMODULE module;
    int written = snprintf(path, sizeof(path), "%s\\%s", folder, BRIDGE_LIBRARY_FILE);
    if (written < 0 || written >= (int)sizeof(path)) {
        fprintf(stderr, "the folder %s is too long\n", folder);
        return NULL;
    }
    module = LoadLibraryA(path);
    if (module == NULL) {
        fprintf(stderr, "%s did not load (error %lu)\n", path, GetLastError());
        return NULL;
    }
    if (!HmiBindEntryPoints(module, entries)) {
        fprintf(stderr, "%s lacks an HMI_Smem function\n", path);
        FreeLibrary(module);
        return NULL;
    }
    return module;
}

/* The full path of folder in full (MAX_PATH characters); 1 when it fits. */
static inline int FullFolderPath(const char* folder, char* full)
{
    DWORD length = GetFullPathNameA(folder, MAX_PATH, full, NULL);
    return (length > 0 && length < MAX_PATH) ? 1 : 0;
}

#endif /* BRIDGEFOLDER_H */
