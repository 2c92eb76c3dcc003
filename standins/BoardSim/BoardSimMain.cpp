// BoardSimMain.cpp - BoardSim.exe <port> [seconds]: runs the simulated board
// on 127.0.0.1:<port> until it is killed or the seconds have passed. It
// prints "listening on 127.0.0.1:<port>", then the board information it
// answers, then one line per request served, each before its reply.
#include <cstdio>
#include <cstdlib>

#include "BoardSimulator.h"

namespace {

constexpr DWORD POLL_MS = 10;

// The board information answered: three different values whose two bytes
// differ, so that a client that swaps fields or bytes reads something else.
constexpr uint16_t HARDWARE_VERSION = 0x0102;
constexpr uint16_t SOFTWARE_VERSION = 0x0304;
constexpr uint16_t BOARD_NUMBER = 0x0506;

// Prints one request's line. It runs before the request's reply goes out,
// so a client that holds a reply finds its request in the output.
void PrintRequest(const std::vector<uint8_t>& bytes)
{
    board::RequestHeader header = BoardSimulator::HeaderOf(bytes);
    std::printf("request command %u sequence %u length %u\n",
                static_cast<unsigned>(header.command), static_cast<unsigned>(header.sequence),
                static_cast<unsigned>(header.length));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: BoardSim <port> [seconds]\n");
        return 2;
    }
    long port = std::strtol(argv[1], nullptr, 10);
    long seconds = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 0;
    if (port < 0 || port > 65535 || seconds < 0) {
        std::fprintf(stderr, "usage: BoardSim <port> [seconds]\n");
        return 2;
    }

    BoardSimulator simulator;
    simulator.SetBoardInfo(HARDWARE_VERSION, SOFTWARE_VERSION, BOARD_NUMBER);
    simulator.SetRequestObserver(PrintRequest);
    if (!simulator.Start(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "BoardSim: cannot listen on 127.0.0.1:%ld\n", port);
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(simulator.Port()));
    std::printf("board hardware %04x software %04x number %04x\n",
                static_cast<unsigned>(HARDWARE_VERSION), static_cast<unsigned>(SOFTWARE_VERSION),
                static_cast<unsigned>(BOARD_NUMBER));
    std::fflush(stdout);

    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    while (seconds == 0 || GetTickCount64() < end)
        Sleep(POLL_MS);
    simulator.Stop();
    return 0;
}
