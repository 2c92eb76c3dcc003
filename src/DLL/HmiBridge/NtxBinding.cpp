// NtxBinding.cpp - loading INtime's NTX library and binding its six functions.
#include "NtxBinding.h"

#include <cstdio>
#include <cstring>

HMODULE g_ntx_module = nullptr;
NtxEntryPoints g_ntx = {};

namespace {

// Characters, with the terminating NUL, of the INTIME value and of the
// library path formatted from it.
constexpr DWORD NTX_PATH_SIZE = MAX_PATH;

// "<INTIME>\bin\ntx.dll": the library in the bin folder of the installation.
const char NTX_PATH_FORMAT[] = "%s\\bin\\%s";

// Writes into path the library to load: "<INTIME>\bin\ntx.dll" when INTIME
// is set, else the plain name, which the platform's search order finds.
// false when INTIME is set but the path made from it would not fit in path
// with its NUL: a cut path would name another file, so nothing is loaded.
bool NtxLibraryPath(char (&path)[NTX_PATH_SIZE])
{
    char intime_path[NTX_PATH_SIZE];
    const DWORD intime_path_len =
        GetEnvironmentVariableA(NTX_ENV_VARIABLE, intime_path, NTX_PATH_SIZE);
    if (intime_path_len == 0) {
        strcpy(path, NTX_LIBRARY_NAME);
        return true;
    }
    // A value that does not fit gives the size it would need, its NUL
    // included, and leaves the buffer undefined.
    if (intime_path_len >= NTX_PATH_SIZE)
        return false;
    const int written = snprintf(path, NTX_PATH_SIZE, NTX_PATH_FORMAT, intime_path,
                                 NTX_LIBRARY_NAME);
    return written >= 0 && static_cast<DWORD>(written) < NTX_PATH_SIZE;
}

}  // namespace

int32_t LoadNtx()
{
    char ntxdll_path[NTX_PATH_SIZE];
    if (!NtxLibraryPath(ntxdll_path))
        return 0;
    g_ntx_module = LoadLibraryA(ntxdll_path);
    if (g_ntx_module == nullptr)
        return 0;

    static const char* const ENTRY_NAMES[NTX_ENTRY_COUNT] = NTX_ENTRY_NAMES;
    FARPROC entries[NTX_ENTRY_COUNT];
    for (int i = 0; i < NTX_ENTRY_COUNT; ++i) {
        entries[i] = GetProcAddress(g_ntx_module, ENTRY_NAMES[i]);
        if (entries[i] == nullptr) {
            FreeLibrary(g_ntx_module);
            g_ntx_module = nullptr;
            return 0;
        }
    }
    // Copied byte-wise: storing through a FARPROC* into members of other
    // pointer types would break the aliasing rules.
    memcpy(&g_ntx, entries, sizeof(g_ntx));
    return 1;
}

int32_t IsNtxLoaded()
{
    return g_ntx_module != nullptr ? 1 : 0;
}

void FreeNtx()
{
    if (g_ntx_module == nullptr)
        return;
    FreeLibrary(g_ntx_module);
    g_ntx_module = nullptr;
    g_ntx = {};
}
