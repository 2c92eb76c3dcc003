// Talvern.h - one TCP connection to one board and the request/reply
// exchange of the board protocol on it (wire records in BoardProtocol.h).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "TalvernLink.h"

class Talvern {
public:
    // Longest shared-memory name that fits the fixed 256-byte request.
    static constexpr int MAX_SMEM_NAME = 242;
    // How long Connect waits for the board to accept, in milliseconds.
    static constexpr DWORD CONNECT_TIMEOUT_MS = 5000;

    Talvern();
    virtual ~Talvern();  // Close()
    Talvern(const Talvern&) = delete;
    Talvern& operator=(const Talvern&) = delete;

    // Opens the TCP stream to ip:port (dotted-decimal IPv4, low 16 bits of
    // port). 0, TVN_ERR_ALREADY_CONNECTED or TVN_ERR_COMM; on failure prints
    // "socket : %d\n" or "connect : %d\n" and holds nothing afterwards.
    TvnResult Connect(const char* ip, int32_t port);

    // Closes the socket and releases the Winsock start-up when connected;
    // sends nothing to the board.
    void Close();

    // The nine commands. Each returns 0 (or the handle / size), a TVN_ERR_
    // code, or the board's status word sign-extended.
    TvnResult SmemOpen(const char* name);
    TvnResult SmemClose(SmemHandle handle);
    TvnResult SmemIsMemSize(SmemHandle handle);
    TvnResult ShutdownNotify();
    TvnResult SetDateTime(const SYSTEMTIME* time);
    TvnResult Reset();
    TvnResult GetBoardInfo(uint16_t* hardware_version, uint16_t* software_version,
                           uint16_t* board_number);
    TvnResult SmemRead(SmemHandle handle, int32_t offset, void* dest, uint32_t size);
    TvnResult SmemWrite(SmemHandle handle, int32_t offset, const void* src, uint32_t size);

    bool IsConnected() const { return connected != 0; }
    bool IsSmemOpen() const { return smem_open != 0; }
    const char* SmemName() const { return smem_name; }

private:
    // The tests set the request counter near its wrap: 65,536 round trips
    // take half a minute under Wine.
    friend class TalvernCounterAccess;

    // Sends the whole request, receives the whole reply of reply_length
    // bytes, and returns 0 or the reply's status / TVN_ERR_COMM.
    TvnResult Exchange(const void* request, uint32_t request_length, void* reply,
                       uint32_t reply_length);
    // Fills the request header and takes the next sequence number.
    void BuildHeader(void* request, uint16_t command, uint32_t payload_length);

    char smem_name[260];
    uint32_t sequence;
    uint8_t mac_address[6];
    SOCKET tcp_socket;
    int32_t connected;
    int32_t smem_open;
};

// Copies the hardware address of the first local adapter whose first IP
// address text equals ip into mac; leaves mac as it is when none matches.
void FindAdapterMacAddress(const char* ip, uint8_t mac[6]);

// The matching rule of FindAdapterMacAddress over a given adapter list
// (kept apart from GetAdaptersInfo so a test can hand it a list).
struct _IP_ADAPTER_INFO;
void MatchAdapterMacAddress(const struct _IP_ADAPTER_INFO* adapters, const char* ip,
                            uint8_t mac[6]);
