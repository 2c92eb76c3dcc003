// TalvernTest.cpp - the board connection against the simulated board on
// 127.0.0.1, and the adapter matching rule.
#include <winsock2.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "BoardProtocol.h"
#include "BoardSimulator.h"
#include "Talvern.h"

using namespace board;
using Bytes = std::vector<uint8_t>;

namespace {

const char* const LOOPBACK = "127.0.0.1";

}  // namespace

// Reaches the request counter of a connection (a friend of Talvern).
class TalvernCounterAccess {
public:
    static void SetSequence(Talvern& connection, uint32_t value) { connection.sequence = value; }
};

namespace {

template <typename T>
T At(const Bytes& bytes, size_t offset)
{
    T value{};
    EXPECT_LE(offset + sizeof(T), bytes.size());
    if (offset + sizeof(T) <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

Bytes Pattern(size_t size, uint8_t seed)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

// A port on 127.0.0.1 where nothing listens: bound, then closed again.
uint16_t ClosedPort()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}

class WinsockUser {
public:
    WinsockUser()
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
    ~WinsockUser() { WSACleanup(); }
};

class TalvernTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(board.Start());
        board.SetBoardInfo(0x0102, 0x0304, 7);
    }

    // Connects and opens the board memory "M"; returns its handle.
    SmemHandle ConnectAndOpen(uint32_t memory_size = 4096)
    {
        EXPECT_EQ(0, link.Connect(LOOPBACK, board.Port()));
        board.SetNewMemorySize(memory_size);
        SmemHandle handle = link.SmemOpen("M");
        EXPECT_GT(handle, 0);
        return handle;
    }

    Bytes Request(size_t index) const
    {
        auto all = board.Requests();
        EXPECT_LT(index, all.size());
        return index < all.size() ? all[index] : Bytes();
    }

    BoardSimulator board;
    Talvern link;
};

// ---- bytes on the wire ----------------------------------------------------

TEST_F(TalvernTest, EveryCommandSendsItsRequestLayoutAndReadsItsReply)
{
    ASSERT_EQ(0, link.Connect(LOOPBACK, board.Port()));
    EXPECT_TRUE(link.IsConnected());
    board.SetNewMemorySize(300);

    SmemHandle handle = link.SmemOpen("Motion");
    EXPECT_EQ(board.MemoryHandle("Motion"), handle);
    EXPECT_TRUE(link.IsSmemOpen());
    EXPECT_STREQ("Motion", link.SmemName());
    EXPECT_EQ(300, link.SmemIsMemSize(handle));
    const uint8_t data[5] = {0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(0, link.SmemWrite(handle, 200, data, sizeof(data)));
    uint8_t back[5] = {};
    EXPECT_EQ(0, link.SmemRead(handle, 200, back, sizeof(back)));
    EXPECT_EQ(0, std::memcmp(data, back, sizeof(data)));
    EXPECT_EQ(0, link.ShutdownNotify());
    SYSTEMTIME time = {};
    time.wYear = 2021;
    time.wMonth = 3;
    time.wDay = 4;
    EXPECT_EQ(0, link.SetDateTime(&time));
    EXPECT_EQ(0, link.Reset());
    uint16_t hardware = 0, software = 0, number = 0;
    EXPECT_EQ(0, link.GetBoardInfo(&hardware, &software, &number));
    EXPECT_EQ(0x0102, hardware);
    EXPECT_EQ(0x0304, software);
    EXPECT_EQ(7, number);
    EXPECT_EQ(0, link.SmemClose(handle));
    EXPECT_FALSE(link.IsSmemOpen());
    EXPECT_STREQ("", link.SmemName());

    struct Expected {
        uint16_t command;
        uint32_t total_length;
    };
    const Expected expected[] = {
        {CMD_SMEM_OPEN, 14 + 6},   {CMD_SMEM_IS_MEM_SIZE, 18}, {CMD_SMEM_WRITE, 22 + 5},
        {CMD_SMEM_READ, 26},       {CMD_SHUTDOWN_NOTIFY, 15},  {CMD_SET_DATE_TIME, 21},
        {CMD_RESET, 15},           {CMD_GET_BOARD_INFO, 14},   {CMD_SMEM_CLOSE, 18},
    };
    auto requests = board.Requests();
    ASSERT_EQ(9u, requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes& r = requests[i];
        ASSERT_EQ(expected[i].total_length, r.size());
        // No local adapter carries 127.0.0.1: the address bytes are zeros.
        EXPECT_EQ(Bytes(6, 0), Bytes(r.begin(), r.begin() + 6));
        EXPECT_EQ(i + 1, At<uint16_t>(r, 6));
        EXPECT_EQ(expected[i].command, At<uint16_t>(r, 8));
        EXPECT_EQ(expected[i].total_length - 14, At<uint32_t>(r, 10));
    }
    EXPECT_EQ("Motion", std::string(requests[0].begin() + 14, requests[0].end()));
    EXPECT_EQ(handle, At<int32_t>(requests[1], 14));
    EXPECT_EQ(handle, At<int32_t>(requests[2], 14));
    EXPECT_EQ(200, At<int32_t>(requests[2], 18));
    EXPECT_EQ(Bytes(data, data + 5), Bytes(requests[2].begin() + 22, requests[2].end()));
    EXPECT_EQ(handle, At<int32_t>(requests[3], 14));
    EXPECT_EQ(200, At<int32_t>(requests[3], 18));
    EXPECT_EQ(5u, At<uint32_t>(requests[3], 22));
    EXPECT_EQ(1, requests[4][14]);
    EXPECT_EQ(1, requests[6][14]);
    EXPECT_EQ(handle, At<int32_t>(requests[8], 14));
}

TEST_F(TalvernTest, HandlesAndOffsetsTravelBitForBit)
{
    ConnectAndOpen();
    uint8_t byte = 0;
    // The board refuses these; what matters is what was sent.
    EXPECT_EQ(BoardSimulator::STATUS_BAD_HANDLE, link.SmemRead(-2, -5, &byte, 1));
    EXPECT_EQ(BoardSimulator::STATUS_BAD_HANDLE, link.SmemWrite(0x7FFFFFFF, INT32_MIN, &byte, 1));
    EXPECT_EQ(BoardSimulator::STATUS_BAD_HANDLE, link.SmemClose(-1));
    EXPECT_TRUE(link.IsSmemOpen());  // a refused close keeps the memory open

    EXPECT_EQ(-2, At<int32_t>(Request(1), 14));
    EXPECT_EQ(-5, At<int32_t>(Request(1), 18));
    EXPECT_EQ(0x7FFFFFFF, At<int32_t>(Request(2), 14));
    EXPECT_EQ(INT32_MIN, At<int32_t>(Request(2), 18));
    EXPECT_EQ(-1, At<int32_t>(Request(3), 14));
}

TEST_F(TalvernTest, DateAndTimeSendYearAndLowBytesOnly)
{
    ASSERT_EQ(0, link.Connect(LOOPBACK, board.Port()));
    SYSTEMTIME time = {};
    time.wYear = 2020;
    time.wMonth = 12;
    time.wDayOfWeek = 2;
    time.wDay = 8;
    time.wHour = 8;
    time.wMinute = 5;
    time.wSecond = 2;
    time.wMilliseconds = 345;
    EXPECT_EQ(0, link.SetDateTime(&time));
    const Bytes first = Request(0);
    EXPECT_EQ((Bytes{0xE4, 0x07, 0x0C, 0x08, 0x08, 0x05, 0x02}),
              Bytes(first.begin() + 14, first.end()));

    time.wMonth = 0x0105;  // only the low byte of each field goes out
    time.wSecond = 0xFF3B;
    EXPECT_EQ(0, link.SetDateTime(&time));
    const Bytes second = Request(1);
    ASSERT_EQ(21u, second.size());
    EXPECT_EQ(0x05, second[16]);
    EXPECT_EQ(0x3B, second[20]);
}

TEST_F(TalvernTest, ZeroSizedAndBoundaryRequests)
{
    SmemHandle handle = ConnectAndOpen();
    uint8_t dest = 0x5A;
    EXPECT_EQ(0, link.SmemRead(handle, 0, &dest, 0));
    EXPECT_EQ(0x5A, dest);
    EXPECT_EQ(0, link.SmemWrite(handle, 0, &dest, 0));
    // Sizes whose request or reply length would not fit a signed count are
    // refused before anything is sent or allocated.
    EXPECT_EQ(TVN_ERR_COMM, link.SmemRead(handle, 0, &dest, 0xFFFFFFF0u));
    EXPECT_EQ(TVN_ERR_COMM, link.SmemWrite(handle, 0, &dest, 0x80000000u));
    EXPECT_EQ(26u, Request(1).size());
    EXPECT_EQ(0u, At<uint32_t>(Request(1), 22));
    EXPECT_EQ(22u, Request(2).size());
    EXPECT_EQ(8u, At<uint32_t>(Request(2), 10));

    // Names: empty, the longest that fits the request, one more.
    Talvern other;
    ASSERT_EQ(0, other.Connect(LOOPBACK, board.Port()));
    EXPECT_GT(other.SmemOpen(""), 0);
    EXPECT_EQ(14u, Request(3).size());
    EXPECT_EQ(0u, At<uint32_t>(Request(3), 10));
    EXPECT_EQ(0, other.SmemClose(board.MemoryHandle("")));

    const std::string longest(Talvern::MAX_SMEM_NAME, 'n');
    EXPECT_GT(other.SmemOpen(longest.c_str()), 0);
    EXPECT_EQ(256u, Request(5).size());
    EXPECT_EQ(longest, other.SmemName());
    EXPECT_EQ(0, other.SmemClose(board.MemoryHandle(longest)));

    const std::string too_long(Talvern::MAX_SMEM_NAME + 1, 'n');
    EXPECT_EQ(TVN_ERR_COMM, other.SmemOpen(too_long.c_str()));
    EXPECT_FALSE(other.IsSmemOpen());
    EXPECT_EQ(7u, board.RequestCount());
    EXPECT_EQ(0, other.Reset());
    EXPECT_EQ(5, At<uint16_t>(Request(7), 6));  // the refused open used no number
}

TEST_F(TalvernTest, TheConnectPortIsTheLowSixteenBits)
{
    EXPECT_EQ(0, link.Connect(LOOPBACK, board.Port() + 65536));
    EXPECT_TRUE(board.WaitForOpenConnections(1, 5000));
    Talvern other;
    EXPECT_EQ(0, other.Connect(LOOPBACK, static_cast<int32_t>(0xFFFF0000u | board.Port())));
    EXPECT_TRUE(board.WaitForOpenConnections(2, 5000));
}

// ---- sequence counter and refused calls -----------------------------------

TEST_F(TalvernTest, RefusedCallsSendNothingAndKeepTheCounter)
{
    uint8_t byte = 0;
    SYSTEMTIME time = {};
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.SmemOpen("M"));
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.SmemClose(1));
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.SmemIsMemSize(1));
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.SmemRead(1, 0, &byte, 1));
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.SmemWrite(1, 0, &byte, 1));
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.ShutdownNotify());
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.SetDateTime(&time));
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.Reset());
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.GetBoardInfo(nullptr, nullptr, nullptr));

    ASSERT_EQ(0, link.Connect(LOOPBACK, board.Port()));
    EXPECT_EQ(TVN_ERR_ALREADY_CONNECTED, link.Connect(LOOPBACK, board.Port()));
    EXPECT_EQ(TVN_ERR_NOT_OPEN, link.SmemClose(1));
    EXPECT_EQ(TVN_ERR_NOT_OPEN, link.SmemIsMemSize(1));
    EXPECT_EQ(TVN_ERR_NOT_OPEN, link.SmemRead(1, 0, &byte, 1));
    EXPECT_EQ(TVN_ERR_NOT_OPEN, link.SmemWrite(1, 0, &byte, 1));
    EXPECT_EQ(0, link.Reset());
    SmemHandle handle = link.SmemOpen("M");
    EXPECT_GT(handle, 0);
    EXPECT_EQ(TVN_ERR_SMEM_ALREADY_OPEN, link.SmemOpen("Other"));
    EXPECT_EQ(0, link.Reset());

    auto requests = board.Requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(1, At<uint16_t>(requests[0], 6));
    EXPECT_EQ(2, At<uint16_t>(requests[1], 6));
    EXPECT_EQ(3, At<uint16_t>(requests[2], 6));
    EXPECT_EQ(1, board.ConnectionCount());  // the refused connect made none
    EXPECT_STREQ("M", link.SmemName());
}

TEST_F(TalvernTest, TheSequenceFieldWrapsAtSixtyFiveThousandFiveHundredThirtySix)
{
    ASSERT_EQ(0, link.Connect(LOOPBACK, board.Port()));
    // Round trips up to the 65,536th request, the last 16 of them sent.
    TalvernCounterAccess::SetSequence(link, 65536 - 15);
    for (int i = 0; i < 17; ++i)
        ASSERT_EQ(0, link.GetBoardInfo(nullptr, nullptr, nullptr)) << i;
    // The counter itself is 32 bits wide: past 0xFFFFFFFF it starts over.
    TalvernCounterAccess::SetSequence(link, 0xFFFFFFFFu);
    EXPECT_EQ(0, link.Reset());
    EXPECT_EQ(0, link.Reset());

    auto requests = board.Requests();
    ASSERT_EQ(19u, requests.size());
    EXPECT_EQ(65521, At<uint16_t>(requests[0], 6));
    EXPECT_EQ(65535, At<uint16_t>(requests[14], 6));
    EXPECT_EQ(0, At<uint16_t>(requests[15], 6));  // request 65,536
    EXPECT_EQ(1, At<uint16_t>(requests[16], 6));
    EXPECT_EQ(0xFFFF, At<uint16_t>(requests[17], 6));
    EXPECT_EQ(0, At<uint16_t>(requests[18], 6));
}

// ---- board status and broken replies --------------------------------------

TEST_F(TalvernTest, BoardStatusIsSignExtendedAndChangesNothing)
{
    SmemHandle handle = ConnectAndOpen();
    const struct {
        uint16_t word;
        TvnResult result;
    } cases[] = {{0x0001, 1}, {0x7FFF, 32767}, {0x8000, -32768}, {0xFFF0, -16}};
    for (const auto& c : cases) {
        board.FailNextWith(static_cast<int16_t>(c.word));
        EXPECT_EQ(c.result, link.Reset()) << c.word;
    }

    board.FailNextWith(9);
    uint8_t dest[8];
    std::memset(dest, 0x5A, sizeof(dest));
    EXPECT_EQ(9, link.SmemRead(handle, 0, dest, sizeof(dest)));
    EXPECT_EQ(Bytes(8, 0x5A), Bytes(dest, dest + 8));

    board.FailNextWith(-7);
    uint16_t hardware = 1, software = 2, number = 3;
    EXPECT_EQ(-7, link.GetBoardInfo(&hardware, &software, &number));
    EXPECT_EQ(1, hardware);
    EXPECT_EQ(2, software);
    EXPECT_EQ(3, number);

    board.FailNextWith(-8);
    EXPECT_EQ(-8, link.SmemClose(handle));
    EXPECT_TRUE(link.IsSmemOpen());
    EXPECT_EQ(0, link.SmemClose(handle));

    board.FailNextWith(-9);
    EXPECT_EQ(-9, link.SmemOpen("Again"));
    EXPECT_FALSE(link.IsSmemOpen());
    EXPECT_STREQ("", link.SmemName());
    EXPECT_TRUE(link.IsConnected());
}

TEST_F(TalvernTest, TheBoardChecksHandlesAndRanges)
{
    SmemHandle handle = ConnectAndOpen(100);
    uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(0, link.SmemWrite(handle, 96, bytes, 4));
    EXPECT_EQ(BoardSimulator::STATUS_BAD_RANGE, link.SmemWrite(handle, 97, bytes, 4));
    EXPECT_EQ(BoardSimulator::STATUS_BAD_RANGE, link.SmemRead(handle, -1, bytes, 1));
    Bytes big(0x10000, 0x5A);
    EXPECT_EQ(BoardSimulator::STATUS_BAD_RANGE, link.SmemRead(handle, 0, big.data(), 0x10000));
    EXPECT_EQ(Bytes(0x10000, 0x5A), big);
    EXPECT_EQ(BoardSimulator::STATUS_BAD_HANDLE, link.SmemIsMemSize(handle + 1));
    const Bytes content = board.MemoryContent("M");
    EXPECT_EQ((Bytes{1, 2, 3, 4}), Bytes(content.begin() + 96, content.end()));

    // A second connection finds the same memory by its name.
    Talvern other;
    ASSERT_EQ(0, other.Connect(LOOPBACK, board.Port()));
    EXPECT_EQ(handle, other.SmemOpen("M"));
    uint8_t back[4] = {};
    EXPECT_EQ(0, other.SmemRead(handle, 96, back, 4));
    EXPECT_EQ(0, std::memcmp(bytes, back, 4));
}

TEST_F(TalvernTest, AReplyCutShortFailsTheCommandButKeepsTheConnection)
{
    SmemHandle handle = ConnectAndOpen();
    board.CloseNextAfter(10);
    EXPECT_EQ(TVN_ERR_COMM, link.SmemIsMemSize(handle));
    EXPECT_TRUE(link.IsConnected());
    EXPECT_TRUE(link.IsSmemOpen());
    // The board has gone: later commands fail the same way.
    EXPECT_EQ(TVN_ERR_COMM, link.Reset());
    EXPECT_TRUE(link.IsConnected());
    link.Close();
    EXPECT_FALSE(link.IsConnected());
}

TEST_F(TalvernTest, ASegmentedReplyIsReceivedWholeAndTheNextCommandGetsItsOwn)
{
    const uint32_t size = 64 * 1024;
    SmemHandle handle = ConnectAndOpen(size);
    const Bytes content = Pattern(size, 3);
    ASSERT_TRUE(board.SetMemoryContent("M", 0, content));

    board.SegmentNext(1460, 1);
    Bytes read(size);
    EXPECT_EQ(0, link.SmemRead(handle, 0, read.data(), size));
    EXPECT_EQ(content, read);
    uint16_t number = 0;
    EXPECT_EQ(0, link.GetBoardInfo(nullptr, nullptr, &number));
    EXPECT_EQ(7, number);

    // A header split in pieces, and a delayed reply on the blocking socket.
    board.SegmentNext(3, 20);
    EXPECT_EQ(static_cast<TvnResult>(size), link.SmemIsMemSize(handle));
    board.DelayNext(300);
    uint8_t two[2] = {};
    EXPECT_EQ(0, link.SmemRead(handle, 100, two, 2));
    EXPECT_EQ(content[100], two[0]);
    EXPECT_EQ(content[101], two[1]);
}

TEST_F(TalvernTest, LargeWritesGoOutWhole)
{
    const uint32_t size = 4 * 1024 * 1024;
    SmemHandle handle = ConnectAndOpen(size);
    const Bytes content = Pattern(size, 11);
    EXPECT_EQ(0, link.SmemWrite(handle, 0, content.data(), size));
    EXPECT_EQ(content, board.MemoryContent("M"));
    EXPECT_EQ(static_cast<TvnResult>(size), link.SmemIsMemSize(handle));
}

// ---- connect and close ----------------------------------------------------

TEST_F(TalvernTest, CloseEndsTheConnectionAndSendsNothing)
{
    ConnectAndOpen();
    ASSERT_TRUE(board.WaitForOpenConnections(1, 5000));
    link.Close();
    EXPECT_FALSE(link.IsConnected());
    EXPECT_FALSE(link.IsSmemOpen());
    EXPECT_TRUE(board.WaitForOpenConnections(0, 5000));
    EXPECT_EQ(1u, board.RequestCount());
    link.Close();  // a second close does nothing

    {
        Talvern scoped;
        ASSERT_EQ(0, scoped.Connect(LOOPBACK, board.Port()));
        EXPECT_TRUE(board.WaitForOpenConnections(1, 5000));
    }
    EXPECT_TRUE(board.WaitForOpenConnections(0, 5000));
    EXPECT_EQ(1u, board.RequestCount());
}

TEST_F(TalvernTest, AFailedConnectPrintsTheErrorAndHoldsNothing)
{
    WinsockUser winsock;
    const uint16_t port = ClosedPort();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(TVN_ERR_COMM, link.Connect(LOOPBACK, port));
    EXPECT_EQ("connect : 10061\n", ::testing::internal::GetCapturedStdout());
    EXPECT_FALSE(link.IsConnected());
    EXPECT_EQ(TVN_ERR_NOT_CONNECTED, link.Reset());

    // The same object connects afterwards, and its first request is still 1.
    ASSERT_EQ(0, link.Connect(LOOPBACK, board.Port()));
    EXPECT_EQ(0, link.Reset());
    EXPECT_EQ(1, At<uint16_t>(Request(0), 6));
}

TEST_F(TalvernTest, AConnectNobodyAcceptsGivesUpAfterTheBound)
{
    // A listener whose accept queue is full: the stack drops further
    // connection requests, as a board that does not answer would.
    WinsockUser winsock;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(listener, 1));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));

    std::vector<SOCKET> fillers;
    for (int i = 0; i < 16; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long non_blocking = 1;
        ioctlsocket(s, FIONBIO, &non_blocking);
        connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fillers.push_back(s);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval wait = {0, 300 * 1000};
        if (select(0, nullptr, &writable, nullptr, &wait) == 0)
            break;  // this one was not taken in: the queue is full
    }

    ::testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TVN_ERR_COMM, link.Connect(LOOPBACK, ntohs(address.sin_port)));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ("connect : 10060\n", ::testing::internal::GetCapturedStdout());
    EXPECT_GE(ms, static_cast<long long>(Talvern::CONNECT_TIMEOUT_MS) - 100);
    EXPECT_LT(ms, static_cast<long long>(Talvern::CONNECT_TIMEOUT_MS) + 3000);
    EXPECT_FALSE(link.IsConnected());

    for (SOCKET s : fillers)
        closesocket(s);
    closesocket(listener);
}

// ---- adapter matching -----------------------------------------------------

class AdapterList {
public:
    // Appends an adapter with the given first (and optional second) address.
    void Add(const char* ip, uint8_t mac_seed, const char* second_ip = nullptr)
    {
        adapters_.emplace_back();
        seconds_.emplace_back();
        IP_ADAPTER_INFO& a = adapters_.back();
        std::memset(&a, 0, sizeof(a));
        a.AddressLength = 6;
        for (int i = 0; i < MAX_ADAPTER_ADDRESS_LENGTH; ++i)
            a.Address[i] = static_cast<uint8_t>(mac_seed + i);
        std::strcpy(a.IpAddressList.IpAddress.String, ip);
        if (second_ip) {
            IP_ADDR_STRING& s = seconds_.back();
            std::memset(&s, 0, sizeof(s));
            std::strcpy(s.IpAddress.String, second_ip);
        }
    }
    const IP_ADAPTER_INFO* Head()
    {
        for (size_t i = 0; i < adapters_.size(); ++i) {
            adapters_[i].Next = i + 1 < adapters_.size() ? &adapters_[i + 1] : nullptr;
            if (seconds_[i].IpAddress.String[0])
                adapters_[i].IpAddressList.Next = &seconds_[i];
        }
        return adapters_.empty() ? nullptr : &adapters_[0];
    }

private:
    std::vector<IP_ADAPTER_INFO> adapters_;
    std::vector<IP_ADDR_STRING> seconds_;
};

TEST(AdapterMatch, TheFirstAdapterWhoseFirstAddressEqualsTheTextGivesItsAddress)
{
    AdapterList list;
    list.Add("192.0.2.10", 0x10);
    list.Add("192.0.2.1", 0x20, "192.0.2.77");
    list.Add("192.0.2.1", 0x30);
    const IP_ADAPTER_INFO* head = list.Head();

    uint8_t mac[8] = {0, 0, 0, 0, 0, 0, 0xCC, 0xCC};
    MatchAdapterMacAddress(head, "192.0.2.1", mac);
    EXPECT_EQ((Bytes{0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0xCC, 0xCC}), Bytes(mac, mac + 8));

    uint8_t kept[6] = {9, 8, 7, 6, 5, 4};
    for (const char* ip : {"192.0.2.77", "192.0.2.", "192.0.2.100", "192.0.2.010", ""}) {
        MatchAdapterMacAddress(head, ip, kept);
        EXPECT_EQ((Bytes{9, 8, 7, 6, 5, 4}), Bytes(kept, kept + 6)) << ip;
    }
    MatchAdapterMacAddress(nullptr, "192.0.2.1", kept);
    EXPECT_EQ((Bytes{9, 8, 7, 6, 5, 4}), Bytes(kept, kept + 6));
}

TEST(AdapterMatch, LoopbackMatchesNoLocalAdapter)
{
    uint8_t mac[6] = {};
    FindAdapterMacAddress(LOOPBACK, mac);
    EXPECT_EQ(Bytes(6, 0), Bytes(mac, mac + 6));
}

}  // namespace
