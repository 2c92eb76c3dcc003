// BoardSimulator.h - a stand-in for a board's TCP service, for tests and
// end-to-end runs on a machine without boards.
//
// It listens on 127.0.0.1 (an ephemeral port unless one is given), serves
// every accepted connection on a thread of its own and answers the nine
// board commands. It reads requests and builds replies at byte offsets of
// its own, never through the client's records in BoardProtocol.h, so that a
// field misplaced on one side shows in the tests instead of being agreed on
// by both. The board keeps named memories: open creates a memory by name or
// finds the one that exists; handles stay valid for the simulator's
// lifetime; reads and writes are bounds-checked by the board. All
// connections see the same board.
//
// For tests it records the raw bytes of every request and can spoil the
// next reply on purpose (status, cut-off, segments, delay).
//
// Every public function is safe to call from any thread while the
// simulator runs.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BoardProtocol.h"

class BoardSimulator {
public:
    // Status words the simulated board answers with when it refuses a
    // request: 0x8001, 0x8002, 0x8003, sign-extended by the client to
    // -32767, -32766, -32765. No result the client makes up itself has these
    // values, so a test tells a passed-on status from a local refusal.
    static constexpr int16_t STATUS_BAD_HANDLE = -32767;   // no memory has that handle
    static constexpr int16_t STATUS_BAD_RANGE = -32766;    // offset/size outside the memory
    static constexpr int16_t STATUS_BAD_REQUEST = -32765;  // unknown command or payload length
    // Size of each memory that open creates, until SetNewMemorySize.
    static constexpr uint32_t DEFAULT_MEMORY_SIZE = 0x100000;
    // Largest request payload accepted; a longer one closes the connection.
    static constexpr uint32_t MAX_PAYLOAD = 64u * 1024u * 1024u;

    BoardSimulator();
    ~BoardSimulator();  // Stop()
    BoardSimulator(const BoardSimulator&) = delete;
    BoardSimulator& operator=(const BoardSimulator&) = delete;

    // Starts listening on 127.0.0.1:port (0: an ephemeral port) and accepting
    // on a thread of its own. true on success; false when it runs already or
    // the socket cannot be set up.
    bool Start(uint16_t port = 0);
    // Closes the listener and every connection and joins all threads.
    // Memories, records and settings stay. Safe to call twice.
    void Stop();
    // The port listened on; 0 before Start.
    uint16_t Port() const { return port_; }

    // --- the board's content, set and seen by the test ---

    // Size of the memories that later opens create.
    void SetNewMemorySize(uint32_t size);
    // Creates (or finds) a memory as open would; returns its handle.
    int32_t CreateMemory(const std::string& name, uint32_t size);
    // Handle of the named memory, -1 when none exists.
    int32_t MemoryHandle(const std::string& name) const;
    // Copy of the memory's bytes; empty when there is no such memory.
    std::vector<uint8_t> MemoryContent(const std::string& name) const;
    // Writes bytes into a memory directly; false when the memory does not
    // exist or the range does not fit.
    bool SetMemoryContent(const std::string& name, uint32_t offset,
                          const std::vector<uint8_t>& bytes);
    // Values answered to CMD_GET_BOARD_INFO.
    void SetBoardInfo(uint16_t hardware_version, uint16_t software_version,
                      uint16_t board_number);
    // Last clock set by CMD_SET_DATE_TIME, each field read at the board's
    // own offset; false when none has come.
    bool LastDateTime(board::DateTimePayload* out) const;

    // --- what the board received ---

    // Raw bytes (header and payload) of every request, in arrival order,
    // from index first on.
    std::vector<std::vector<uint8_t>> Requests(size_t first = 0) const;
    size_t RequestCount() const;
    // Number of requests with this command code.
    size_t CountRequests(uint16_t command) const;
    // Waits until at least n requests have arrived; false on time-out.
    bool WaitForRequests(size_t n, DWORD timeout_ms) const;
    // Called with the bytes of each request as it is recorded, on the
    // serving thread and before its reply goes out, one call at a time: once
    // a client holds a reply, the observer has seen its request. Set before
    // Start.
    void SetRequestObserver(std::function<void(const std::vector<uint8_t>&)> observer);
    void ClearRequests();
    // Header of a recorded request, each field read at the board's own
    // offset (zeros when bytes is shorter than one).
    static board::RequestHeader HeaderOf(const std::vector<uint8_t>& bytes);

    // Connections accepted since Start, and those still open (a connection
    // counts as closed once the client closed it or it was cut).
    int ConnectionCount() const;
    int OpenConnectionCount() const;
    // Waits until OpenConnectionCount() == n; false on time-out.
    bool WaitForOpenConnections(int n, DWORD timeout_ms) const;

    // --- faults for the next reply (any connection); each is used once ---

    // The next reply carries this status; the command is not carried out
    // and its reply data bytes are 0xEE.
    void FailNextWith(int16_t status);
    // The connection is closed after the first `bytes` bytes of the next
    // reply (0: before any byte).
    void CloseNextAfter(uint32_t bytes);
    // The next reply goes out in pieces of `segment_bytes`, with a pause of
    // pause_ms after each piece but the last.
    void SegmentNext(uint32_t segment_bytes, DWORD pause_ms);
    // The next reply waits delay_ms before its first byte.
    void DelayNext(DWORD delay_ms);

private:
    struct Memory {
        std::string name;
        std::vector<uint8_t> bytes;
    };
    struct Fault {
        bool force_status = false;
        int16_t status = 0;
        bool close_after = false;
        uint32_t close_bytes = 0;
        uint32_t segment_bytes = 0;
        DWORD pause_ms = 0;
        DWORD delay_ms = 0;
    };
    struct Connection {
        SOCKET socket = INVALID_SOCKET;
        std::thread thread;
        bool finished = false;
    };

    void AcceptLoop(SOCKET listener);
    void Serve(Connection* connection);
    // Carries out one request (unless refuse) and fills reply with its
    // header and data; leaves reply empty for a read too large to answer.
    void Answer(const std::vector<uint8_t>& request, bool refuse, std::vector<uint8_t>& reply);
    // Sends the reply with the fault taken for it; false when the
    // connection is to be closed.
    bool SendReply(SOCKET s, const std::vector<uint8_t>& reply, const Fault& fault);
    void ReapFinished();  // joins connection threads that have ended
    Memory* FindByHandle(int32_t handle);
    int32_t FindOrCreate(const std::string& name, uint32_t size);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    bool running_ = false;
    bool winsock_started_ = false;
    std::thread accept_thread_;
    std::vector<std::unique_ptr<Connection>> connections_;
    int connection_count_ = 0;
    int open_connections_ = 0;

    std::vector<Memory> memories_;  // handle = index + 1
    uint32_t new_memory_size_ = DEFAULT_MEMORY_SIZE;
    uint16_t hardware_version_ = 0;
    uint16_t software_version_ = 0;
    uint16_t board_number_ = 0;
    std::vector<uint8_t> date_time_;  // payload of the last CMD_SET_DATE_TIME; empty when none came
    std::vector<std::vector<uint8_t>> requests_;
    std::function<void(const std::vector<uint8_t>&)> observer_;
    Fault next_fault_;
};
