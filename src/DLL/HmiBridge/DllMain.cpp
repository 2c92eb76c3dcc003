// DllMain.cpp - what happens when a process loads and unloads HmiBridge: the
// NTX library is loaded, HmiBridge.ini beside this library is read once and
// the one controller is created with its settings (for the board type that
// loads TalvernLink and connects board 0); unloading deletes the controller
// and frees the NTX library.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "BridgeGlobals.h"
#include "GuardedMemory.h"
#include "IniFile.h"
#include "NtxBinding.h"
#include "TalvernLink.h"

SmemCtrl* g_controller = nullptr;
IniFile* g_config_ini = nullptr;

namespace {

const char SETTINGS_FILE_NAME[] = "HmiBridge.ini";
const char SETTINGS_SECTION[] = "Config";

// Defaults of the settings in section "Config".
const char DEFAULT_MEM_NAME[] = "HMIM";
constexpr int32_t DEFAULT_MEM_TYPE = MEMTYPE_INTIME;
constexpr int32_t DEFAULT_MEM_SIZE = 0x20000;
constexpr int32_t DEFAULT_OPEN_SEQ_TYPE = OPENSEQ_ONCE;
constexpr int32_t DEFAULT_OPEN_TIMEOUT = 0;
constexpr int32_t DEFAULT_PCOS_OFFSET = 68000;

// The settings as read at load, handed to the controller.
char settings_path[MAX_PATH];
char module_path[MAX_PATH];
char module_drive[MAX_PATH];
char module_dir[MAX_PATH];
char mem_name[MAX_PATH];
char ip_address[MAX_PATH];
int32_t mem_type;
int32_t mem_size;
int32_t open_seq_type;
int32_t open_timeout;
int32_t pcos_offset;
int32_t open_port;

// The settings file beside this library ("<drive><folder>HmiBridge.ini"),
// or the bare name when the library's path is unknown. false when the path
// does not fit: a cut path would name another file.
bool FindSettingsFile(HMODULE module)
{
    memset(settings_path, 0, sizeof(settings_path));
    memset(module_path, 0, sizeof(module_path));
    memset(module_drive, 0, sizeof(module_drive));
    memset(module_dir, 0, sizeof(module_dir));
    const DWORD length = GetModuleFileNameA(module, module_path, MAX_PATH);
    int written;
    if (length > 0 && length < MAX_PATH &&
        _splitpath_s(module_path, module_drive, MAX_PATH, module_dir, MAX_PATH, nullptr, 0,
                     nullptr, 0) == 0) {
        written = snprintf(settings_path, sizeof(settings_path), "%s%s%s", module_drive,
                           module_dir, SETTINGS_FILE_NAME);
    } else {
        written = snprintf(settings_path, sizeof(settings_path), "%s", SETTINGS_FILE_NAME);
    }
    if (written < 0 || written >= static_cast<int>(sizeof(settings_path))) {
        settings_path[0] = '\0';
        return false;
    }
    return true;
}

// Reads the eight settings; a missing file or key gives its default.
void ReadSettings(IniFile& ini)
{
    memset(mem_name, 0, sizeof(mem_name));
    memset(ip_address, 0, sizeof(ip_address));
    ini.GetString(SETTINGS_SECTION, "UsedMemName", DEFAULT_MEM_NAME, mem_name, MAX_PATH);
    mem_type = ini.GetInt(SETTINGS_SECTION, "UsedMemType", DEFAULT_MEM_TYPE);
    mem_size = ini.GetInt(SETTINGS_SECTION, "UsedMemSize", DEFAULT_MEM_SIZE);
    open_seq_type = ini.GetInt(SETTINGS_SECTION, "OpenSeqType", DEFAULT_OPEN_SEQ_TYPE);
    open_timeout = ini.GetInt(SETTINGS_SECTION, "OpenTimeout", DEFAULT_OPEN_TIMEOUT);
    pcos_offset = ini.GetInt(SETTINGS_SECTION, "ProConOS_Offset", DEFAULT_PCOS_OFFSET);
    ini.GetString(SETTINGS_SECTION, "OpenIpAddress", DEFAULT_BOARD_ADDRESS, ip_address,
                  MAX_PATH);
    open_port = ini.GetInt(SETTINGS_SECTION, "OpenPort", DEFAULT_BOARD_PORT);
}

// The load steps. false when memory for the settings reader or the
// controller cannot be had (every export works on the controller, so the
// library must not stay loaded without one), or when the guard of the
// INtime segment's copies cannot be installed (unguarded, a vanished
// segment would end the process).
bool LoadBridge(HMODULE module)
{
    LoadNtx();  // without it the INtime type cannot open; the others work
    if (!GuardedMemory::Install())
        return false;

    g_config_ini = new (std::nothrow) IniFile();
    if (g_config_ini == nullptr)
        return false;
    if (FindSettingsFile(module))
        g_config_ini->Open(settings_path);
    ReadSettings(*g_config_ini);  // without a path: the defaults
    g_config_ini->Close();
    delete g_config_ini;
    g_config_ini = nullptr;

    g_controller = new (std::nothrow) SmemCtrl(mem_name, mem_type, mem_size, open_seq_type,
                                               open_timeout, pcos_offset, ip_address, open_port);
    return g_controller != nullptr;
}

// The unload steps: the controller (and with it the board connection and
// TalvernLink) first, then the NTX library.
void UnloadBridge()
{
    delete g_controller;
    g_controller = nullptr;
    FreeNtx();
    GuardedMemory::Uninstall();
}

}  // namespace

// The library's entry callback: load on process attach, unload on process
// detach; thread notifications do nothing.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return LoadBridge(instance) ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        UnloadBridge();
        return TRUE;
    default:
        return TRUE;
    }
}
