// TestSupport.h - small helpers shared by the test programs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// A fresh, empty folder under the temporary directory, made the current
// directory for the object's lifetime; the previous current directory comes
// back afterwards. The folder and its files are removed at the end.
class ScopedTempDir {
public:
    explicit ScopedTempDir(const char* tag = "t")
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        GetCurrentDirectoryA(MAX_PATH, previous_);
        static LONG counter = 0;
        char name[MAX_PATH];
        wsprintfA(name, "%s%s%s_%lu_%ld_%lu", temp, PREFIX, tag, GetCurrentProcessId(),
                  InterlockedIncrement(&counter), GetTickCount());
        path_ = name;
        own_ = std::string(temp) + PREFIX;
        CreateDirectoryA(path_.c_str(), nullptr);
        SetCurrentDirectoryA(path_.c_str());
    }
    ~ScopedTempDir()
    {
        SetCurrentDirectoryA(previous_);
        // Only a folder of this class's own: never a tree that a test which
        // overran its memory left in path_.
        if (path_.size() > own_.size() && path_.compare(0, own_.size(), own_) == 0)
            RemoveTree(path_);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "\\" + name; }

private:
    static void RemoveTree(const std::string& dir)
    {
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                std::string name = found.cFileName;
                if (name == "." || name == "..")
                    continue;
                std::string full = dir + "\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveTree(full);
                else
                    DeleteFileA(full.c_str());
            } while (FindNextFileA(h, &found));
            FindClose(h);
        }
        RemoveDirectoryA(dir.c_str());
    }

    static constexpr const char* PREFIX = "talvern_";

    char previous_[MAX_PATH];
    std::string path_;
    std::string own_;  // the temporary directory and PREFIX
};

// Whole content of a file as bytes; empty when it cannot be read.
inline std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void WriteFileText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Lines of a text split at "\r\n" (the last, unterminated piece included
// only when it is not empty).
inline std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            if (start < text.size())
                lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

// Full path of the running test program's folder, with a trailing backslash.
inline std::string ProgramDir()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

// A child process started with the given command line; Wait() returns its
// exit code (or -1 on time-out or failure to start). With output_path, the
// child's standard output and error go to that file, created anew. A child
// still running at the end is terminated.
class ChildProcess {
public:
    explicit ChildProcess(const std::string& command_line, const std::string& output_path = "")
    {
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        HANDLE output = INVALID_HANDLE_VALUE;
        if (!output_path.empty()) {
            SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
            output = CreateFileA(output_path.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            if (output == INVALID_HANDLE_VALUE)
                return;
            si.dwFlags = STARTF_USESTDHANDLES;
            si.hStdOutput = output;
            si.hStdError = output;
        }
        std::vector<char> cmd(command_line.begin(), command_line.end());
        cmd.push_back('\0');
        started_ = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr,
                                  output != INVALID_HANDLE_VALUE, 0, nullptr, nullptr, &si,
                                  &pi_) != 0;
        if (output != INVALID_HANDLE_VALUE)
            CloseHandle(output);
    }
    ~ChildProcess()
    {
        if (started_) {
            if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(pi_.hProcess, 1);
            CloseHandle(pi_.hThread);
            CloseHandle(pi_.hProcess);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return started_; }
    int Wait(DWORD timeout_ms = 600000)
    {
        if (!started_ || WaitForSingleObject(pi_.hProcess, timeout_ms) != WAIT_OBJECT_0)
            return -1;
        DWORD code = 0;
        GetExitCodeProcess(pi_.hProcess, &code);
        return static_cast<int>(code);
    }

private:
    PROCESS_INFORMATION pi_ = {};
    bool started_ = false;
};

}  // namespace testsupport
