// DebugChannelReader.cpp - a debug monitor of the tests' own.
#include "DebugChannelReader.h"

#include <chrono>
#include <cstring>

namespace {

constexpr DWORD BUFFER_BYTES = 4096;  // process id, then the text and its zero

DWORD WINAPI SendText(LPVOID text)
{
    OutputDebugStringA(static_cast<const char*>(text));
    return 0;
}

}  // namespace

DebugChannelReader::DebugChannelReader()
{
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, BUFFER_BYTES,
                                  "DBWIN_BUFFER");
    buffer_ready_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    data_ready_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (mapping_ != nullptr)
        view_ = static_cast<const char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
    started_ = view_ != nullptr && buffer_ready_ != nullptr && data_ready_ != nullptr &&
               stop_ != nullptr;
    if (started_)
        thread_ = std::thread([this] { Run(); });
}

DebugChannelReader::~DebugChannelReader()
{
    if (thread_.joinable()) {
        SetEvent(stop_);
        thread_.join();
    }
    if (view_ != nullptr)
        UnmapViewOfFile(view_);
    for (HANDLE h : {mapping_, buffer_ready_, data_ready_, stop_}) {
        if (h != nullptr)
            CloseHandle(h);
    }
}

void DebugChannelReader::Run()
{
    HANDLE waits[2] = {data_ready_, stop_};
    for (;;) {
        SetEvent(buffer_ready_);
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
            return;
        Text text;
        std::memcpy(&text.pid, view_, sizeof(DWORD));
        const char* chars = view_ + sizeof(DWORD);
        text.text.assign(chars, strnlen(chars, BUFFER_BYTES - sizeof(DWORD)));
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(text);
        arrived_.notify_all();
    }
}

std::vector<DebugChannelReader::Text> DebugChannelReader::Texts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

std::vector<std::string> DebugChannelReader::TextsFrom(DWORD pid) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> from;
    for (const Text& t : texts_) {
        if (t.pid == pid)
            from.push_back(t.text);
    }
    return from;
}

void DebugChannelReader::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.clear();
}

bool DebugChannelReader::Settle(DWORD timeout_ms)
{
    std::string marker;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        marker = "~reader marker " + std::to_string(++markers_sent_) + "~";
    }
    // Sent from a thread of its own: where 32-bit Wine runs under qemu, a
    // process whose main thread raises an exception (as OutputDebugString
    // does) while other threads exist is brought down.
    HANDLE sender = CreateThread(nullptr, 0, SendText, const_cast<char*>(marker.c_str()), 0,
                                 nullptr);
    if (sender == nullptr)
        return false;
    WaitForSingleObject(sender, INFINITE);
    CloseHandle(sender);
    const DWORD self = GetCurrentProcessId();
    std::unique_lock<std::mutex> lock(mutex_);
    auto is_marker = [&](const Text& t) { return t.pid == self && t.text == marker; };
    bool seen = arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (const Text& t : texts_) {
            if (is_marker(t))
                return true;
        }
        return false;
    });
    for (auto it = texts_.begin(); it != texts_.end();) {
        it = is_marker(*it) ? texts_.erase(it) : it + 1;
    }
    return seen;
}
