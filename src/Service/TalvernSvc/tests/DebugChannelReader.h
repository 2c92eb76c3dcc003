// DebugChannelReader.h - reads the texts that programs of this Windows
// session send to the debugger channel (OutputDebugString), as a debug
// monitor does: through the shared buffer "DBWIN_BUFFER" and the events
// "DBWIN_BUFFER_READY" and "DBWIN_DATA_READY". One reader per session.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DebugChannelReader {
public:
    struct Text {
        DWORD pid;
        std::string text;
    };

    // Creates the buffer and the events and starts reading on a thread of
    // its own; Started() tells whether that worked.
    DebugChannelReader();
    ~DebugChannelReader();
    DebugChannelReader(const DebugChannelReader&) = delete;
    DebugChannelReader& operator=(const DebugChannelReader&) = delete;

    bool Started() const { return started_; }

    // Texts read so far, in arrival order.
    std::vector<Text> Texts() const;
    // Texts of one process, in arrival order.
    std::vector<std::string> TextsFrom(DWORD pid) const;
    void Clear();

    // Sends a marker from this process and waits until it has been read.
    // Writers take turns on the one buffer, so every text whose send
    // returned before this call has then been read as well. The marker is
    // not kept. false on time-out.
    bool Settle(DWORD timeout_ms = 15000);

private:
    void Run();

    bool started_ = false;
    HANDLE mapping_ = nullptr;
    HANDLE buffer_ready_ = nullptr;
    HANDLE data_ready_ = nullptr;
    HANDLE stop_ = nullptr;
    const char* view_ = nullptr;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Text> texts_;
    unsigned markers_sent_ = 0;
};
