// TalvernLinkTest.cpp - TalvernLink.dll as a program sees it: loaded by name
// from a fresh current directory, bound through TvnBindEntryPoints, talking
// to the simulated board on 127.0.0.1; the log lines checked byte for byte.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "BoardSimulator.h"
#include "TalvernLink.h"
#include "TestSupport.h"

using testsupport::ReadFileText;
using testsupport::SplitLines;

namespace {

// Severity markers of the library's three line types.
const std::string FAILURE = "@@   ";     // 0x10001
const std::string CALL = "**   ";        // 0x10002
const std::string CONNECTION = "##    ";  // 0x10004
const std::string START = CALL + "------------------- TalvernLink.dll Service Start -------------------";
const std::string STOP = CALL + "------------------- TalvernLink.dll Service Stop -------------------";

const char* const ALL_LINES = "10007H";

// A 127.0.0.1 port on which nothing listens: bound, then closed again.
int UnusedPort()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}

std::string Board(BoardIndex board)
{
    return "Talvern(" + std::to_string(board) + ") ";
}

std::vector<uint8_t> DataOf(const std::vector<uint8_t>& write_request)
{
    return std::vector<uint8_t>(write_request.begin() + 22, write_request.end());
}

class TalvernLinkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(board.Start()); }
    void TearDown() override
    {
        Unload();
        board.Stop();
    }

    void WriteSettings(const std::string& lines)
    {
        testsupport::WriteFileText(dir.File("TalvernLog.ini"), "[LOG]\r\n" + lines);
    }
    void SetLevel(const char* level) { WriteSettings(std::string("LOGLEVEL=") + level + "\r\n"); }

    bool Load()
    {
        module = LoadLibraryA("TalvernLink.dll");
        if (module == nullptr)
            return false;
        TvnBindEntryPoints(module, &tvn);
        return true;
    }
    void Unload()
    {
        if (module != nullptr)
            FreeLibrary(module);
        module = nullptr;
    }

    std::string LogName(int slot = 0) const
    {
        char name[32];
        wsprintfA(name, "TalvernLog_%02d00.log", slot);
        return dir.File(name);
    }
    // Raw lines of a slot's first log file.
    std::vector<std::string> RawLog(int slot = 0) const
    {
        return SplitLines(ReadFileText(LogName(slot)));
    }
    // The lines without their date, time and tick: marker and text.
    std::vector<std::string> Log(int slot = 0) const
    {
        static const std::regex stamp(R"(^\d\d/\d\d/\d\d \d\d:\d\d:\d\d (\[\d+\] )?)");
        std::vector<std::string> bodies;
        for (const std::string& line : RawLog(slot)) {
            std::smatch m;
            EXPECT_TRUE(std::regex_search(line, m, stamp)) << line;
            bodies.push_back(m.suffix());
        }
        return bodies;
    }
    std::string ConnectEntry(BoardIndex index, int port) const
    {
        return CALL + Board(index) + "TVN_Connect IP(127.0.0.1) Port(" + std::to_string(port) + ")";
    }
    std::vector<std::string> ConnectLines(BoardIndex index) const
    {
        return {ConnectEntry(index, board.Port()), CONNECTION + Board(index) + "TVN_Connect: OK: Ret(0h)"};
    }
    TvnResult Connect(BoardIndex index) { return tvn.connect(index, "127.0.0.1", board.Port()); }

    testsupport::ScopedTempDir dir{"link"};
    BoardSimulator board;
    HMODULE module = nullptr;
    LinkEntryPoints tvn = {};
};

template <typename T>
void Append(std::vector<T>& to, const std::vector<T>& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

TEST_F(TalvernLinkTest, RefusesBadIndexesAndEmptyEntriesWithoutReachingTheBoard)
{
    SetLevel(ALL_LINES);
    ASSERT_TRUE(Load());
    SYSTEMTIME time = {};
    time.wYear = 2020, time.wMonth = 12, time.wDay = 8, time.wDayOfWeek = 2;
    time.wHour = 9, time.wMinute = 5, time.wSecond = 3, time.wMilliseconds = 345;
    uint16_t first = 0xAAAA, second = 0xAAAA;
    uint8_t byte = 0xAA;
    uint32_t dword = 0xAAAAAAAA;
    uint64_t lword = 0xAAAAAAAAAAAAAAAAull;
    uint8_t bytes[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    const int port = board.Port();

    // Per function in LinkEntryPoints order: its entry line (if any) and its
    // failure line up to "Ret(", after "Talvern(<index>) ".
    struct Call {
        std::string entry;
        std::string failure;
        std::function<TvnResult(BoardIndex)> run;
    };
    const std::vector<Call> calls = {
        {"TVN_Connect IP(127.0.0.1) Port(" + std::to_string(port) + ")", "TVN_Connect NG: ",
         [&](BoardIndex i) { return tvn.connect(i, "127.0.0.1", port); }},
        {"TVN_DisConnect", "TVN_DisConnect: NG: ", [&](BoardIndex i) { return tvn.dis_connect(i); }},
        {"TVN_SmemOpen: ShmemName(Plc)", "TVN_SmemOpen: NG: ",
         [&](BoardIndex i) { return tvn.smem_open(i, "Plc"); }},
        {"TVN_SmemClose: Handle(7)", "TVN_SmemClose: NG: ",
         [&](BoardIndex i) { return tvn.smem_close(i, 7); }},
        {"TVN_SmemIsMemSize: Handle(7)", "TVN_SmemIsMemSize:  NG: ",
         [&](BoardIndex i) { return tvn.smem_is_mem_size(i, 7); }},
        {"", "TVN_ShutdownNotify: NG: ", [&](BoardIndex i) { return tvn.shutdown_notify(i); }},
        {"TVN_SetDateTime: SystemTime(2020/12/8 9:5:3)", "TVN_SetDateTime: NG: ",
         [&](BoardIndex i) { return tvn.set_date_time(i, &time); }},
        {"", "TVN_Reset: NG: ", [&](BoardIndex i) { return tvn.reset(i); }},
        {"", "TVN_GetVersion: NG: ", [&](BoardIndex i) { return tvn.get_version(i, &first, &second); }},
        {"", "TVN_GetBoardNumber: NG: ", [&](BoardIndex i) { return tvn.get_board_number(i, &first); }},
        {"", "TVN_SmemReadByte: NG: ", [&](BoardIndex i) { return tvn.smem_read_byte(i, 7, 0, &byte); }},
        {"", "TVN_SmemReadWord: NG: ", [&](BoardIndex i) { return tvn.smem_read_word(i, 7, 0, &first); }},
        {"", "TVN_SmemReadDWord: NG: ", [&](BoardIndex i) { return tvn.smem_read_dword(i, 7, 0, &dword); }},
        {"", "TVN_SmemReadLWord: NG: ", [&](BoardIndex i) { return tvn.smem_read_lword(i, 7, 0, &lword); }},
        {"", "TVN_SmemReadBytes: NG: ",
         [&](BoardIndex i) { return tvn.smem_read_bytes(i, 7, 0, bytes, sizeof(bytes)); }},
        {"", "TVN_SmemWriteByte: NG: ", [&](BoardIndex i) { return tvn.smem_write_byte(i, 7, 0, 1); }},
        {"", "TVN_SmemWriteWord: NG: ", [&](BoardIndex i) { return tvn.smem_write_word(i, 7, 0, 1); }},
        {"", "TVN_SmemWriteDWord: NG: ", [&](BoardIndex i) { return tvn.smem_write_dword(i, 7, 0, 1); }},
        {"", "TVN_SmemWriteLWord: NG: ", [&](BoardIndex i) { return tvn.smem_write_lword(i, 7, 0, 1); }},
        {"", "TVN_SmemWriteBytes: NG: ",
         [&](BoardIndex i) { return tvn.smem_write_bytes(i, 7, 0, bytes, sizeof(bytes)); }},
    };
    ASSERT_EQ(static_cast<size_t>(TVN_ENTRY_COUNT), calls.size());

    std::vector<std::string> expected = {START};
    for (BoardIndex index : {4, 7, -1, 1}) {
        const bool empty_entry = index == 1;
        for (size_t c = empty_entry ? 1 : 0; c < calls.size(); ++c) {
            EXPECT_EQ(empty_entry ? TVN_ERR_NOT_OPEN : TVN_ERR_BAD_INDEX, calls[c].run(index))
                << TvnEntryName(static_cast<int>(c)) << " for board " << index;
            if (!calls[c].entry.empty())
                expected.push_back(CALL + Board(index) + calls[c].entry);
            expected.push_back(FAILURE + Board(index) + calls[c].failure +
                               (empty_entry ? "Ret(fffffffah)" : "Ret(fffffffdh)"));
        }
    }
    EXPECT_EQ(expected, Log());
    EXPECT_EQ(0, board.ConnectionCount());
    EXPECT_EQ(0u, board.RequestCount());
    EXPECT_EQ(0xAAAA, first);
    EXPECT_EQ(0xAAAA, second);
    EXPECT_EQ(0xAA, byte);
    EXPECT_EQ(0xAAAAAAAAu, dword);
    EXPECT_EQ(0xAAAAAAAAAAAAAAAAull, lword);
}

TEST_F(TalvernLinkTest, ConnectKeepsTheFirstConnectionAndFreesTheIndexAfterAFailure)
{
    SetLevel(ALL_LINES);
    ASSERT_TRUE(Load());
    board.SetBoardInfo(0x12, 0x34, 2);
    const int dead_port = UnusedPort();
    uint16_t number = 0;

    EXPECT_EQ(TVN_ERR_COMM, tvn.connect(0, "127.0.0.1", dead_port));
    EXPECT_EQ(TVN_ERR_NOT_OPEN, tvn.get_board_number(0, &number));  // empty again
    EXPECT_EQ(0, Connect(0));
    EXPECT_EQ(TVN_ERR_ALREADY_CONNECTED, Connect(0));
    EXPECT_EQ(0, tvn.get_board_number(0, &number));  // the first connection still works
    EXPECT_EQ(2, number);
    EXPECT_EQ(1, board.ConnectionCount());

    std::vector<std::string> expected = {
        START, ConnectEntry(0, dead_port), FAILURE + "Talvern(0) TVN_Connect NG: Ret(fffffffch)",
        FAILURE + "Talvern(0) TVN_GetBoardNumber: NG: Ret(fffffffah)"};
    Append(expected, ConnectLines(0));
    Append(expected, {ConnectEntry(0, board.Port()), FAILURE + "Talvern(0) TVN_Connect NG: Ret(ffffffffh)",
                      CALL + "Talvern(0) TVN_GetBoardNumber: OK Bnumber(2h)"});
    EXPECT_EQ(expected, Log());
}

TEST_F(TalvernLinkTest, DisConnectSendsNothingAndAFreshConnectionStartsOver)
{
    SetLevel(ALL_LINES);
    ASSERT_TRUE(Load());
    ASSERT_EQ(0, Connect(0));
    ASSERT_GE(tvn.smem_open(0, "Plc"), 0);
    const size_t sent = board.RequestCount();

    EXPECT_EQ(0, tvn.dis_connect(0));
    EXPECT_TRUE(board.WaitForOpenConnections(0, 5000));
    EXPECT_EQ(sent, board.RequestCount());  // no close of the memory, no notice
    EXPECT_EQ(TVN_ERR_NOT_OPEN, tvn.dis_connect(0));

    ASSERT_EQ(0, Connect(0));
    EXPECT_GE(tvn.smem_open(0, "Plc"), 0);  // the new connection has nothing open
    ASSERT_EQ(sent + 1, board.RequestCount());
    EXPECT_EQ(1, BoardSimulator::HeaderOf(board.Requests(sent)[0]).sequence);

    const std::vector<std::string> log = Log();
    const std::vector<std::string> disconnects(log.begin() + 5, log.begin() + 9);
    EXPECT_EQ((std::vector<std::string>{CALL + "Talvern(0) TVN_DisConnect",
                                        CONNECTION + "Talvern(0) TVN_DisConnect: OK",
                                        CALL + "Talvern(0) TVN_DisConnect",
                                        FAILURE + "Talvern(0) TVN_DisConnect: NG: Ret(fffffffah)"}),
              disconnects);
}

TEST_F(TalvernLinkTest, SharedMemoryCallsCarryLittleEndianValuesBothWays)
{
    SetLevel(ALL_LINES);
    board.SetNewMemorySize(256);
    ASSERT_TRUE(Load());
    ASSERT_EQ(0, Connect(3));
    EXPECT_EQ(TVN_ERR_NOT_OPEN, tvn.smem_is_mem_size(3, 0));  // nothing open yet
    EXPECT_EQ(0u, board.RequestCount());
    const SmemHandle handle = tvn.smem_open(3, "Plc");
    ASSERT_GE(handle, 0);
    EXPECT_EQ(board.MemoryHandle("Plc"), handle);
    EXPECT_EQ(TVN_ERR_SMEM_ALREADY_OPEN, tvn.smem_open(3, "Other"));
    EXPECT_EQ(256, tvn.smem_is_mem_size(3, handle));

    const size_t first_write = board.RequestCount();
    const uint8_t block[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(0, tvn.smem_write_byte(3, handle, 0, 0x5A));
    EXPECT_EQ(0, tvn.smem_write_word(3, handle, 2, 0x1234));
    EXPECT_EQ(0, tvn.smem_write_dword(3, handle, 4, 0x89ABCDEF));
    EXPECT_EQ(0, tvn.smem_write_lword(3, handle, 8, 0x0102030405060708ull));
    EXPECT_EQ(0, tvn.smem_write_bytes(3, handle, 16, block, sizeof(block)));
    EXPECT_EQ(0, tvn.smem_write_bytes(3, handle, 21, block, 0));
    const auto writes = board.Requests(first_write);
    ASSERT_EQ(6u, writes.size());
    EXPECT_EQ((std::vector<uint8_t>{0x5A}), DataOf(writes[0]));
    EXPECT_EQ((std::vector<uint8_t>{0x34, 0x12}), DataOf(writes[1]));
    EXPECT_EQ((std::vector<uint8_t>{0xEF, 0xCD, 0xAB, 0x89}), DataOf(writes[2]));
    EXPECT_EQ((std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}), DataOf(writes[3]));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5}), DataOf(writes[4]));
    EXPECT_TRUE(DataOf(writes[5]).empty());

    uint8_t byte = 0;
    uint16_t word = 0;
    uint32_t dword = 0;
    uint64_t lword = 0;
    uint8_t read_block[5] = {};
    uint8_t untouched[2] = {0xAA, 0xAA};
    EXPECT_EQ(0, tvn.smem_read_byte(3, handle, 0, &byte));
    EXPECT_EQ(0, tvn.smem_read_word(3, handle, 2, &word));
    EXPECT_EQ(0, tvn.smem_read_dword(3, handle, 4, &dword));
    EXPECT_EQ(0, tvn.smem_read_lword(3, handle, 8, &lword));
    EXPECT_EQ(0, tvn.smem_read_bytes(3, handle, 16, read_block, sizeof(read_block)));
    EXPECT_EQ(0, tvn.smem_read_bytes(3, handle, 16, untouched, 0));
    EXPECT_EQ(0x5A, byte);
    EXPECT_EQ(0x1234, word);
    EXPECT_EQ(0x89ABCDEFu, dword);
    EXPECT_EQ(0x0102030405060708ull, lword);
    EXPECT_EQ(0, memcmp(block, read_block, sizeof(block)));
    EXPECT_EQ(0xAA, untouched[0]);
    // The board refuses a read past its memory: a failure, nothing stored.
    dword = 0xAAAAAAAA;
    EXPECT_EQ(BoardSimulator::STATUS_BAD_RANGE, tvn.smem_read_dword(3, handle, 254, &dword));
    EXPECT_EQ(0xAAAAAAAAu, dword);

    EXPECT_EQ(0, tvn.smem_close(3, handle));
    const size_t sent = board.RequestCount();
    EXPECT_EQ(TVN_ERR_NOT_OPEN, tvn.smem_read_word(3, handle, 0, &word));
    EXPECT_EQ(sent, board.RequestCount());

    const std::string b = CALL + Board(3);
    const std::string h = std::to_string(handle);
    char hex[16];
    wsprintfA(hex, "%x", handle);
    std::vector<std::string> expected = {START};
    Append(expected, ConnectLines(3));
    Append(expected,
           {b + "TVN_SmemIsMemSize: Handle(0)", FAILURE + "Talvern(3) TVN_SmemIsMemSize:  NG: Ret(fffffffah)",
            b + "TVN_SmemOpen: ShmemName(Plc)", b + "TVN_SmemOpen: OK Ret(" + hex + "h)",
            b + "TVN_SmemOpen: ShmemName(Other)", FAILURE + "Talvern(3) TVN_SmemOpen: NG: Ret(fffffffbh)",
            b + "TVN_SmemIsMemSize: Handle(" + h + ")", b + "TVN_SmemIsMemSize: OK: Size(256)",
            b + "TVN_SmemWriteByte: OK", b + "TVN_SmemWriteWord: OK", b + "TVN_SmemWriteDWord: OK",
            b + "TVN_SmemWriteLWord: OK", b + "TVN_SmemWriteBytes: OK", b + "TVN_SmemWriteBytes: OK",
            b + "TVN_SmemReadByte: OK", b + "TVN_SmemReadWord: OK", b + "TVN_SmemReadDWord: OK",
            b + "TVN_SmemReadLWord: OK", b + "TVN_SmemReadBytes: OK", b + "TVN_SmemReadBytes: OK",
            FAILURE + "Talvern(3) TVN_SmemReadDWord: NG: Ret(ffff8002h)",
            b + "TVN_SmemClose: Handle(" + h + ")", b + "TVN_SmemClose: OK",
            FAILURE + "Talvern(3) TVN_SmemReadWord: NG: Ret(fffffffah)"});
    EXPECT_EQ(expected, Log());
}

TEST_F(TalvernLinkTest, BoardStatusSignDecidesSuccessOrFailure)
{
    SetLevel(ALL_LINES);
    ASSERT_TRUE(Load());
    ASSERT_EQ(0, Connect(0));

    board.FailNextWith(0x0005);
    EXPECT_EQ(5, tvn.reset(0));
    uint16_t hardware = 0xAAAA, software = 0xAAAA, number = 0;
    board.FailNextWith(INT16_MIN);  // status word 0x8000
    EXPECT_EQ(-32768, tvn.get_version(0, &hardware, &software));
    EXPECT_EQ(0xAAAA, hardware);
    EXPECT_EQ(0xAAAA, software);

    board.SetBoardInfo(0x12, 0xAB, 3);
    EXPECT_EQ(0, tvn.get_version(0, &hardware, &software));
    EXPECT_EQ(0x12, hardware);
    EXPECT_EQ(0xAB, software);
    EXPECT_EQ(0, tvn.get_board_number(0, &number));
    EXPECT_EQ(3, number);
    EXPECT_EQ(0, tvn.shutdown_notify(0));
    SYSTEMTIME time = {};
    time.wYear = 2020, time.wMonth = 12, time.wDay = 8, time.wHour = 9, time.wMinute = 5,
    time.wSecond = 3;
    EXPECT_EQ(0, tvn.set_date_time(0, &time));
    board::DateTimePayload set = {};
    ASSERT_TRUE(board.LastDateTime(&set));
    EXPECT_EQ(2020, set.year);
    EXPECT_EQ(5, set.minute);
    board.FailNextWith(-7);  // below every TVN_ERR_ code
    EXPECT_EQ(-7, tvn.shutdown_notify(0));

    std::vector<std::string> expected = {START};
    Append(expected, ConnectLines(0));
    Append(expected, {CALL + "Talvern(0) TVN_Reset: OK",
                      FAILURE + "Talvern(0) TVN_GetVersion: NG: Ret(ffff8000h)",
                      CALL + "Talvern(0) TVN_GetVersion: OK Hver(12h) Sver(abh)",
                      CALL + "Talvern(0) TVN_GetBoardNumber: OK Bnumber(3h)",
                      CALL + "Talvern(0) TVN_ShutdownNotify: OK",
                      CALL + "Talvern(0) TVN_SetDateTime: SystemTime(2020/12/8 9:5:3)",
                      CALL + "Talvern(0) TVN_SetDateTime: OK",
                      FAILURE + "Talvern(0) TVN_ShutdownNotify: NG: Ret(fffffff9h)"});
    EXPECT_EQ(expected, Log());
}

TEST_F(TalvernLinkTest, DefaultLevelWritesNoLineButEveryCallStillWorks)
{
    ASSERT_TRUE(Load());  // no TalvernLog.ini
    EXPECT_EQ(TVN_ERR_BAD_INDEX, tvn.reset(-1));
    ASSERT_EQ(0, Connect(1));
    EXPECT_GE(tvn.smem_open(1, "Plc"), 0);
    EXPECT_EQ(0, tvn.dis_connect(1));
    Unload();
    EXPECT_TRUE(testsupport::FileExists(LogName()));
    EXPECT_EQ("", ReadFileText(LogName()));
}

TEST_F(TalvernLinkTest, LoadAndUnloadWriteTheBanners)
{
    SetLevel("10002H");
    ASSERT_TRUE(Load());
    Unload();
    EXPECT_EQ((std::vector<std::string>{START, STOP}), Log());
}

TEST_F(TalvernLinkTest, UnloadClosesEveryConnectionAndSendsNothing)
{
    SetLevel(ALL_LINES);
    ASSERT_TRUE(Load());
    ASSERT_EQ(0, Connect(0));
    ASSERT_EQ(0, Connect(2));
    ASSERT_GE(tvn.smem_open(2, "Plc"), 0);
    ASSERT_EQ(2, board.OpenConnectionCount());
    const size_t sent = board.RequestCount();

    Unload();
    EXPECT_TRUE(board.WaitForOpenConnections(0, 5000));
    EXPECT_EQ(sent, board.RequestCount());
    EXPECT_EQ(STOP, Log().back());
    // Two connects, two clean-ups: this process's own Winsock use goes on.
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(INVALID_SOCKET, s) << WSAGetLastError();
    closesocket(s);
}

TEST_F(TalvernLinkTest, RefusesToLoadWhereTheLogFileCannotBeCreated)
{
    // A folder in the place of the log file: the file cannot be opened.
    ASSERT_TRUE(CreateDirectoryA(LogName().c_str(), nullptr));
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA("TalvernLink.dll"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DLL_INIT_FAILED), GetLastError());

    // The refused load gave its process slot back: the next load gets slot 0.
    ASSERT_TRUE(RemoveDirectoryA(LogName().c_str()));
    ASSERT_TRUE(Load());
    EXPECT_TRUE(testsupport::FileExists(LogName()));
}

TEST_F(TalvernLinkTest, TwoProcessesLogIntoTheirOwnSlotFiles)
{
    SetLevel(ALL_LINES);
    ASSERT_TRUE(Load());  // slot 0, held while the child runs
    uint16_t number = 0;
    EXPECT_EQ(TVN_ERR_NOT_OPEN, tvn.get_board_number(1, &number));

    testsupport::ChildProcess child("\"" + testsupport::ProgramDir() + "TalvernLinkChild.exe\" 3");
    ASSERT_TRUE(child.Started());
    ASSERT_EQ(0, child.Wait());

    EXPECT_EQ((std::vector<std::string>{START, FAILURE + "Talvern(3) TVN_GetBoardNumber: NG: Ret(fffffffah)",
                                        STOP}),
              Log(1));
    EXPECT_EQ((std::vector<std::string>{START, FAILURE + "Talvern(1) TVN_GetBoardNumber: NG: Ret(fffffffah)"}),
              Log(0));
}

TEST_F(TalvernLinkTest, OverlongTextsShortenTheLineNotTheCall)
{
    WriteSettings("LOGLEVEL=10007H\r\nLOGTICKCOUNT=1\r\n");
    ASSERT_TRUE(Load());
    ASSERT_EQ(0, Connect(0));
    // Texts at the documented limits keep the whole line, tick included.
    const std::string longest_address(TVN_MAX_ADDRESS_LENGTH, '7');
    EXPECT_EQ(TVN_ERR_COMM, tvn.connect(1, longest_address.c_str(), 65535));
    const std::string longest_name(TVN_MAX_SMEM_NAME_LENGTH, 'n');
    const SmemHandle handle = tvn.smem_open(0, longest_name.c_str());
    EXPECT_GE(handle, 0);
    EXPECT_EQ(0, tvn.smem_close(0, handle));
    // Longer texts: the entry line is cut, the call goes on, the name reaches
    // the board whole.
    const std::string long_address(300, '7');
    EXPECT_EQ(TVN_ERR_COMM, tvn.connect(1, long_address.c_str(), board.Port()));
    const std::string long_name(240, 'm');  // still fits the board request
    const SmemHandle long_handle = tvn.smem_open(0, long_name.c_str());
    EXPECT_GE(long_handle, 0);
    EXPECT_EQ(board.MemoryHandle(long_name), long_handle);

    for (const std::string& line : RawLog())
        EXPECT_LE(line.size() + 2, 255u) << line;
    const std::vector<std::string> log = Log();
    ASSERT_EQ(13u, log.size());
    EXPECT_EQ(CALL + "Talvern(1) TVN_Connect IP(" + longest_address + ") Port(65535)", log[3]);
    EXPECT_EQ(FAILURE + "Talvern(1) TVN_Connect NG: Ret(fffffffch)", log[4]);
    EXPECT_EQ(CALL + "Talvern(0) TVN_SmemOpen: ShmemName(" + longest_name + ")", log[5]);
    EXPECT_EQ(0u, log[9].find(CALL + "Talvern(1) TVN_Connect IP(777"));
    EXPECT_EQ(FAILURE + "Talvern(1) TVN_Connect NG: Ret(fffffffch)", log[10]);
    EXPECT_EQ(0u, log[11].find(CALL + "Talvern(0) TVN_SmemOpen: ShmemName(mmm"));
    EXPECT_EQ(0u, log[12].find(CALL + "Talvern(0) TVN_SmemOpen: OK Ret("));
}

}  // namespace
