// SmemCtrl.h - the bridge's one shared memory: its settings, the open
// sequence over the three backends, reachability, PLC address translation
// and the typed accesses that the HMI_Smem exports forward to.
#pragma once

#include <windows.h>

#include <cstdint>

#include "HmiBridge.h"
#include "INtimeShMemNTX.h"
#include "MapFile.h"
#include "TalvernBrdMng.h"

class SmemCtrl {
public:
    // Pause after each failed INtime attempt with OPENSEQ_RETRY.
    static constexpr DWORD RETRY_PAUSE_MS = 1000;
    // Appended to the memory name to name the Windows file mapping.
    static constexpr const char* WINDOWS_NAME_SUFFIX = "_Win";
    // The board the bridge uses.
    static constexpr BoardIndex BOARD = 0;

    // Keeps the eight settings (texts cut to 259 characters). For
    // MEMTYPE_BOARD it creates the board backend, which loads TalvernLink
    // and connects board 0 now; a failed connect shows later as IsExist 0.
    SmemCtrl(const char* name, int32_t type, int32_t size, int32_t open_seq_type,
             int32_t open_timeout, int32_t pcos_offset, const char* ip_address, int32_t port);
    virtual ~SmemCtrl();  // Close()
    SmemCtrl(const SmemCtrl&) = delete;
    SmemCtrl& operator=(const SmemCtrl&) = delete;

    // Opens the configured memory. 0; SMEM_ERR_ALREADY_OPEN;
    // SMEM_ERR_BAD_TYPE (the type becomes MEMTYPE_NONE for good); an INtime
    // open error (-65536 + the NTX code); or a Windows open error.
    int32_t Open();
    // Releases the backend of the current type; harmless at any time. The
    // board backend is gone for good afterwards.
    void Close();
    // 1 when the memory can be reached now (opened or not), else 0. On the
    // INtime type this probes the segment and forgets it when it is gone.
    int32_t IsExist();
    // INtime only: 1 when the first word of the segment can be read, or
    // when the read faults but the segment still checks out.
    int32_t ProbeMemory();
    // Byte offset of address - pcos_offset when size bytes from there lie
    // inside mem_size (no 32-bit wrap-around), else -1.
    int32_t ToOffset(int32_t address, uint32_t size) const;

    int32_t IsOpened() const;
    // Opened and reachable: mem_size (board: the board's answer), mem_type,
    // pcos_offset; otherwise 0.
    int32_t IsMemSize();
    int32_t IsMemType();
    int32_t IsPCosOffset();

    // Typed accesses at a PLC address: 0 or an SMEM_ERR_ code. Typed reads
    // and GetStringLength leave 0 in the destination on every failure; block
    // and string reads leave the buffer alone on failure, but for one case:
    // on the INtime type a copy that runs into the segment's end (a segment
    // smaller than mem_size) or into a segment that has gone fails with
    // SMEM_ERR_NOT_EXIST after the bytes before that point were stored, from
    // the start of the buffer; the rest stays as it was. Reals travel as
    // their raw bits (a Real's 32, an LReal's 64), never as floating-point
    // values, so that every bit pattern, signalling NaNs among them, stays.
    int32_t ReadByte(int32_t address, uint8_t* value);
    int32_t ReadWord(int32_t address, uint16_t* value);
    int32_t ReadDWord(int32_t address, uint32_t* value);
    int32_t ReadReal(int32_t address, float* value);
    int32_t ReadLReal(int32_t address, double* value);
    int32_t ReadBytes(int32_t address, void* buffer, uint32_t length);
    int32_t ReadString(int32_t address, char* buffer, uint32_t length);
    int32_t WriteByte(int32_t address, uint8_t value);
    int32_t WriteWord(int32_t address, uint16_t value);
    int32_t WriteDWord(int32_t address, uint32_t value);
    int32_t WriteReal(int32_t address, uint32_t bits);
    int32_t WriteLReal(int32_t address, uint64_t bits);
    int32_t WriteBytes(int32_t address, const void* buffer, uint32_t length);
    int32_t WriteString(int32_t address, const char* chars, uint32_t length);
    int32_t GetStringLength(int32_t address, int32_t* length);
    // base + offset of a mapped memory that is opened and reachable; null
    // on the board type and otherwise. Not bounded, no ProConOS offset.
    uint8_t* GetPointer(int32_t offset);

private:
    // One INtime attempt: 0 with base set, else the INtime open error.
    int32_t AttemptINtime();
    // Maps the Windows file mapping: 0, or the Windows open error.
    int32_t OpenWindows();
    // Sets opened and gives 0.
    int32_t Opened();
    // The checks every access makes first: opened, reachable, inside the
    // memory (and, on the Windows type, inside the view actually mapped).
    // 0 with the byte offset, or the SMEM_ERR_ code.
    int32_t Locate(int32_t address, uint64_t size, int32_t* offset);
    // Copies between a mapped memory and the caller. On the INtime type the
    // copy is guarded: a fault on the segment's side forgets base and gives
    // SMEM_ERR_NOT_EXIST; one on the caller's side is the caller's.
    int32_t CopyFromMemory(uint32_t offset, void* dest, uint32_t size);
    int32_t CopyToMemory(uint32_t offset, const void* src, uint32_t size);
    // A typed access on the INtime type: the checks of Locate and the copy
    // (into to_caller, or from from_caller), with the segment's probe and
    // the copy under one guard.
    int32_t TransferINtime(int32_t address, uint32_t size, void* to_caller,
                           const void* from_caller);
    // A board request's result as the accessors report it.
    static int32_t BoardResult(TvnResult result);

    // A typed access of one integer of Raw's width: the direct copy on a
    // mapped memory, board_read or board_write on the board.
    template <typename Raw>
    int32_t ReadValue(int32_t address, Raw* value,
                      TvnResult (TalvernBrdMng::*board_read)(BoardIndex, int32_t, Raw*));
    template <typename Raw>
    int32_t WriteValue(int32_t address, Raw value,
                       TvnResult (TalvernBrdMng::*board_write)(BoardIndex, int32_t, Raw));

    char mem_name[MAX_PATH];
    int32_t mem_type;
    uint32_t mem_size;
    int32_t open_seq_type;
    uint32_t open_timeout;
    int32_t pcos_offset;
    char open_ip_address[MAX_PATH];
    int32_t open_port;
    uint8_t* base;
    INtimeShMemNTX* ntx_shmem;
    MapFile* win_map;
    TalvernBrdMng* brd_mng;
    int32_t opened;
    // Bytes of the Windows view as the system mapped it: a mapping that
    // another program created smaller than mem_size is used at its own size.
    uint64_t view_size;
};
