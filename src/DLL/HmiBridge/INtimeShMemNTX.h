// INtimeShMemNTX.h - one INtime real-time memory segment, found by name in a
// real-time process and mapped into this process through the NTX library
// (NtxBinding.h).
#pragma once

#include <cstdint>

#include "NtxBinding.h"

// Codes kept in INtimeShMemNTX's last error; 0 until the first failure.
constexpr uint16_t NTX_ERR_NAME_TOO_LONG = 0x302;  // a name has more than 12 characters
constexpr uint16_t NTX_ERR_RT_STATUS = 0x307;      // the real-time kernel is not ready
constexpr uint16_t NTX_ERR_NO_ROOT = 0x308;        // no root real-time process
constexpr uint16_t NTX_ERR_NO_PROCESS = 0x309;     // the named process is not found
constexpr uint16_t NTX_ERR_BAD_TYPE = 0x30A;       // an object of the wrong type
constexpr uint16_t NTX_ERR_NO_SEGMENT = 0x30C;     // the segment is not found
constexpr uint16_t NTX_ERR_UNMAP = 0x30E;          // the unmap was refused

class INtimeShMemNTX {
public:
    static constexpr int MAX_NAME_LENGTH = 12;

    INtimeShMemNTX();
    virtual ~INtimeShMemNTX();  // Close(), result ignored
    INtimeShMemNTX(const INtimeShMemNTX&) = delete;
    INtimeShMemNTX& operator=(const INtimeShMemNTX&) = delete;

    // Finds segment in process (null or empty: the root real-time process)
    // and maps it. 1 when mapped. 0 at once, last error untouched, when the
    // NTX library is not loaded; otherwise 0 with the failing step's code in
    // the last error (a failed map sets none) and nothing left mapped.
    int32_t Open(const char* process, const char* segment);

    // Runs the whole status chain (kernel, root, process, segment and their
    // types); a failing step stores its code and gives 0. The storing form
    // (storing != 0) keeps the handles found and gives 1; the checking form
    // gives 1 only when the segment is mapped.
    int32_t CheckStatus(int32_t storing);

    // Storing status check, then maps the segment. 1 when mapped.
    int32_t Map();

    // mapped + offset when the checking status check passes, else null. The
    // offset is not bounded.
    uint8_t* GetPointer(int32_t offset);

    // Unmap(): 1 when nothing is mapped any more, 0 when the unmap was
    // refused (the segment stays mapped, so a later close tries again).
    int32_t Close();
    int32_t Unmap();

    // The code of the last failure; a later success does not clear it.
    uint16_t GetLastError() const;

private:
    // Stores code as the last failure and gives 0.
    int32_t Fail(uint16_t code);

    char process_name[MAX_NAME_LENGTH + 1];
    char segment_name[MAX_NAME_LENGTH + 1];
    uint16_t last_error;
    uint8_t* mapped;
    NtxHandle root_handle;
    NtxHandle process_handle;
    NtxHandle segment_handle;
};
