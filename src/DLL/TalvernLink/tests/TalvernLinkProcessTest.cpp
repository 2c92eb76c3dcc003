// TalvernLinkProcessTest.cpp - TalvernLink.dll, bound by name as a program
// binds it, against BoardSim.exe running as a process of its own.
//
// The test process itself stays single-threaded, so it also runs where
// 32-bit Wine runs under qemu-user (which does not survive a second thread
// in a 32-bit process): there it uses the 64-bit BoardSim.exe from the
// x86_64 build beside this one. It is the 32-bit build's check that every
// typed value crosses the __stdcall interface intact, the 64-bit ones
// included.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "BoardSimProcess.h"
#include "TalvernLink.h"
#include "TestSupport.h"

namespace {

using testsupport::BoardSimPath;
using testsupport::BoardSimProcess;
using testsupport::ReadFileText;
using testsupport::ScopedTempDir;

TEST(TalvernLinkProcess, TypedValuesCrossTheInterfaceIntact)
{
    ScopedTempDir dir("linkproc");
    testsupport::WriteFileText(dir.File("TalvernLog.ini"), "[LOG]\r\nLOGLEVEL=10007H\r\n");
    BoardSimProcess board;
    const int port = board.WaitForPort(60000);
    ASSERT_NE(port, 0) << "BoardSim.exe did not start: " << BoardSimPath();

    HMODULE module = LoadLibraryA("TalvernLink.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    LinkEntryPoints tvn = {};
    TvnBindEntryPoints(module, &tvn);
    ASSERT_NE(tvn.smem_write_bytes, nullptr);

    ASSERT_EQ(tvn.connect(0, "127.0.0.1", port), 0);
    uint16_t hardware = 0xAAAA, software = 0xAAAA, number = 0xAAAA;
    EXPECT_EQ(tvn.get_version(0, &hardware, &software), 0);
    EXPECT_EQ(tvn.get_board_number(0, &number), 0);
    unsigned board_hardware = 0, board_software = 0, board_number = 0;
    ASSERT_TRUE(board.BoardInfo(&board_hardware, &board_software, &board_number));
    EXPECT_EQ(hardware, board_hardware);
    EXPECT_EQ(software, board_software);
    EXPECT_EQ(number, board_number);
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_EQ(tvn.set_date_time(0, &now), 0);

    const SmemHandle handle = tvn.smem_open(0, "ProcessCheck");
    ASSERT_GE(handle, 0);
    EXPECT_GT(tvn.smem_is_mem_size(0, handle), 0);

    const uint64_t lword = 0x0123456789ABCDEFull;
    const uint8_t block[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(tvn.smem_write_byte(0, handle, 1, 0xA5), 0);
    EXPECT_EQ(tvn.smem_write_word(0, handle, 2, 0xBEEF), 0);
    EXPECT_EQ(tvn.smem_write_dword(0, handle, 4, 0xDEADBEEFu), 0);
    EXPECT_EQ(tvn.smem_write_lword(0, handle, 8, lword), 0);
    EXPECT_EQ(tvn.smem_write_bytes(0, handle, 16, block, sizeof(block)), 0);

    uint8_t b = 0;
    uint16_t w = 0;
    uint32_t d = 0;
    uint64_t l = 0;
    uint8_t back[5] = {};
    uint8_t raw[21] = {};
    EXPECT_EQ(tvn.smem_read_byte(0, handle, 1, &b), 0);
    EXPECT_EQ(tvn.smem_read_word(0, handle, 2, &w), 0);
    EXPECT_EQ(tvn.smem_read_dword(0, handle, 4, &d), 0);
    EXPECT_EQ(tvn.smem_read_lword(0, handle, 8, &l), 0);
    EXPECT_EQ(tvn.smem_read_bytes(0, handle, 16, back, sizeof(back)), 0);
    EXPECT_EQ(tvn.smem_read_bytes(0, handle, 0, raw, sizeof(raw)), 0);
    EXPECT_EQ(b, 0xA5);
    EXPECT_EQ(w, 0xBEEF);
    EXPECT_EQ(d, 0xDEADBEEFu);
    EXPECT_EQ(l, lword);
    EXPECT_EQ(0, memcmp(back, block, sizeof(block)));
    // The board holds every value little-endian at its offset.
    const uint8_t expected[21] = {0,    0xA5, 0xEF, 0xBE, 0xEF, 0xBE, 0xAD, 0xDE, 0xEF, 0xCD, 0xAB,
                                  0x89, 0x67, 0x45, 0x23, 0x01, 1,    2,    3,    4,    5};
    EXPECT_EQ(0, memcmp(raw, expected, sizeof(raw)));

    EXPECT_EQ(tvn.smem_close(0, handle), 0);
    EXPECT_EQ(tvn.smem_read_byte(0, handle, 1, &b), TVN_ERR_NOT_OPEN);
    EXPECT_EQ(tvn.dis_connect(0), 0);
    EXPECT_EQ(tvn.dis_connect(0), TVN_ERR_NOT_OPEN);
    EXPECT_EQ(tvn.connect(4, "127.0.0.1", port), TVN_ERR_BAD_INDEX);
    FreeLibrary(module);

    // The calls reached the log with their arguments.
    std::string log = ReadFileText(dir.File("TalvernLog_0000.log"));
    EXPECT_NE(log.find("Talvern(0) TVN_Connect IP(127.0.0.1) Port(" + std::to_string(port) + ")"),
              std::string::npos);
    EXPECT_NE(log.find("Talvern(0) TVN_SmemOpen: ShmemName(ProcessCheck)"), std::string::npos);
    EXPECT_NE(log.find("Talvern(4) TVN_Connect NG: Ret(fffffffdh)"), std::string::npos);
}

}  // namespace
