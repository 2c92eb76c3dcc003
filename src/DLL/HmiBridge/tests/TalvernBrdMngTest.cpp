// TalvernBrdMngTest.cpp - the board memory backend, against recording
// stand-ins of TalvernLink.dll and against the real library with
// BoardSim.exe in a process of its own.
//
// The program stays single-threaded, so it runs in the 32-bit build where
// 32-bit Wine runs under qemu-user. The stand-in tests (BoardStandIn) and
// the real-library tests (BoardReal) run as two processes.
//
// How a test hands the backend a stand-in: this program sits in bin/ beside
// the real TalvernLink.dll, which a load by plain name finds first. A module
// already loaded under the base name TalvernLink.dll is returned for such a
// load instead, so the test loads its stand-in by full path, lets the
// backend bind it, and releases its own reference; the backend then holds
// the only one, and its release shows as the stand-in's "detach" and as no
// module of that name left in the process.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BoardSimProcess.h"
#include "BoardSimulator.h"
#include "TalvernBrdMng.h"
#include "TestSupport.h"

namespace {

// What the stand-in answers unless a test says otherwise: neither 0 nor a
// TvnResult code, so a result handed on unchanged shows as such, and the
// flags that only a 0 sets or clears stay as they were.
constexpr int32_t PLAIN_ANSWER = 4242;
constexpr const char* LOOPBACK = "127.0.0.1";
constexpr int32_t STAND_IN_PORT = 4321;  // the stand-ins connect nothing
constexpr const char* MEMORY_NAME = "BridgeMem";
constexpr DWORD BOARD_START_MS = 60000;
constexpr DWORD BOARD_WAIT_MS = 10000;
// How long a connection that should stay open is watched.
constexpr DWORD CONNECTION_KEPT_MS = 200;

// The stand-in's calls in the order they came: "attach", "detach",
// "TVN_Connect(0,127.0.0.1,4321)", "TVN_SmemClose(0,-1)", ...
std::vector<std::string> g_calls;
// Answers by function name; PLAIN_ANSWER for the others.
std::map<std::string, int32_t> g_answers;

// One recorded call: the name, the board, the text when there is one and the
// number (the port, or the handle of a memory call).
std::string CallText(const std::string& function, BoardIndex board, const char* text,
                     int32_t number)
{
    std::string call = function + "(" + std::to_string(board) + ",";
    if (text != nullptr)
        call += std::string(text) + ",";
    return call + std::to_string(number) + ")";
}

}  // namespace

// Called by the recording stand-in for every call it receives; its load is
// never refused.
extern "C" __declspec(dllexport) int32_t __cdecl RecordingLinkCall(const char* name, int32_t board,
                                                                   const char* text, int32_t number,
                                                                   const SYSTEMTIME*)
{
    const std::string function = name;
    if (function == "attach" || function == "detach") {
        g_calls.push_back(function);
        return 0;
    }
    g_calls.push_back(CallText(function, board, text, number));
    auto answer = g_answers.find(function);
    return answer != g_answers.end() ? answer->second : PLAIN_ANSWER;
}

namespace {

using testsupport::ProgramDir;

// A bare listener on an ephemeral 127.0.0.1 port, standing for a board
// that answers nothing; its waits are select time-outs, so no thread.
class LoopbackListener {
public:
    LoopbackListener()
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr* name = reinterpret_cast<sockaddr*>(&address);
        if (bind(listener_, name, length) == 0 && listen(listener_, 1) == 0 &&
            getsockname(listener_, name, &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener()  // closing an INVALID_SOCKET just fails
    {
        closesocket(accepted_);
        closesocket(listener_);
        WSACleanup();
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    // The port listened on; 0 when the listener could not be set up.
    int Port() const { return port_; }
    // True when a connection came within the time and was accepted.
    bool Accept(DWORD timeout_ms)
    {
        if (Readable(listener_, timeout_ms))
            accepted_ = accept(listener_, nullptr, nullptr);
        return accepted_ != INVALID_SOCKET;
    }
    // True when the other end closed the accepted connection within the
    // time, without a byte sent first.
    bool ClosedByPeer(DWORD timeout_ms)
    {
        char byte;
        return Readable(accepted_, timeout_ms) && recv(accepted_, &byte, sizeof(byte), 0) == 0;
    }

private:
    static bool Readable(SOCKET s, DWORD timeout_ms)
    {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval timeout = {static_cast<long>(timeout_ms / 1000),
                           static_cast<long>(timeout_ms % 1000) * 1000};
        return select(0, &readable, nullptr, nullptr, &timeout) == 1;
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET accepted_ = INVALID_SOCKET;
    int port_ = 0;
};

// No TalvernLink is loaded before or after each test: every module the
// backend loaded was released again.
class BoardBackend : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_calls.clear();
        g_answers.clear();
        ASSERT_EQ(GetModuleHandleA(TalvernBrdMng::LIBRARY_NAME), nullptr)
            << "a TalvernLink was loaded before the test";
    }
    void TearDown() override
    {
        backend_.reset();
        EXPECT_EQ(GetModuleHandleA(TalvernBrdMng::LIBRARY_NAME), nullptr)
            << "TalvernLink stayed loaded";
    }

    std::unique_ptr<TalvernBrdMng> backend_;
};

// The backend bound to a recording stand-in.
class BoardStandIn : public BoardBackend {
protected:
    // A new backend after ConnectAll against the stand-in in bin\<variant>,
    // which answers TVN_Connect with connect_answer; the backend then holds
    // the only reference on it. ConnectAll's result goes to bound_, the calls
    // it made to bind_calls_; the recorded calls are cleared.
    void BindStandIn(const char* variant, int32_t connect_answer)
    {
        const std::string path = ProgramDir() + variant + "\\" + TalvernBrdMng::LIBRARY_NAME;
        const std::string real = ProgramDir() + TalvernBrdMng::LIBRARY_NAME;
        HMODULE own = LoadLibraryA(path.c_str());
        ASSERT_NE(own, nullptr) << path << ": error " << GetLastError();
        g_calls.clear();
        g_answers["TVN_Connect"] = connect_answer;
        backend_.reset(new TalvernBrdMng);
        bound_ = backend_->ConnectAll(LOOPBACK, STAND_IN_PORT);
        FreeLibrary(own);
        ASSERT_EQ(GetModuleHandleA(path.c_str()), own) << "the backend holds no stand-in";
        ASSERT_EQ(GetModuleHandleA(real.c_str()), nullptr) << "the backend loaded the real library";
        bind_calls_ = g_calls;
        g_calls.clear();
        g_answers.clear();
    }

    int32_t bound_ = -1;
    std::vector<std::string> bind_calls_;
};

// The backend over the real library. Its tests run in a process of their
// own, in which no stand-in was ever loaded (see BoardBackend.cmake).
using BoardReal = BoardBackend;

// One guarded operation with what it passes to the library.
struct Guarded {
    const char* function;  // the library function it calls
    int checks;            // 2: index, loaded; 3: and connected; 4: and an open memory
    const char* text;      // the text passed on, or null
    bool passes_handle;    // passes the slot's handle, else `number`
    int32_t number;
    bool hands_on_result;  // returns the library's result (SmemOpen returns 0)
    TvnResult (*run)(TalvernBrdMng&, BoardIndex);
};

// SmemOpen comes last: once it passes, the slot's memory state changes.
const Guarded GUARDED[] = {
    {"TVN_Connect", 2, LOOPBACK, false, STAND_IN_PORT, true,
     [](TalvernBrdMng& m, BoardIndex b) { return m.Connect(b, LOOPBACK, STAND_IN_PORT); }},
    {"TVN_DisConnect", 2, nullptr, false, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { return m.DisConnect(b); }},
    {"TVN_SmemClose", 3, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { return m.SmemClose(b); }},
    {"TVN_SmemIsMemSize", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { return m.SmemIsMemSize(b); }},
    {"TVN_SmemReadByte", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { uint8_t v = 0; return m.SmemReadByte(b, 1, &v); }},
    {"TVN_SmemReadWord", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { uint16_t v = 0; return m.SmemReadWord(b, 2, &v); }},
    {"TVN_SmemReadDWord", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { uint32_t v = 0; return m.SmemReadDWord(b, 4, &v); }},
    {"TVN_SmemReadLWord", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { uint64_t v = 0; return m.SmemReadLWord(b, 8, &v); }},
    {"TVN_SmemReadBytes", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { char v[2]; return m.SmemReadBytes(b, 16, v, 2); }},
    {"TVN_SmemWriteByte", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { return m.SmemWriteByte(b, 1, 0x5A); }},
    {"TVN_SmemWriteWord", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { return m.SmemWriteWord(b, 2, 0x1234); }},
    {"TVN_SmemWriteDWord", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { return m.SmemWriteDWord(b, 4, 0x12345678u); }},
    {"TVN_SmemWriteLWord", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { return m.SmemWriteLWord(b, 8, 0x1122334455667788ull); }},
    {"TVN_SmemWriteBytes", 4, nullptr, true, 0, true,
     [](TalvernBrdMng& m, BoardIndex b) { return m.SmemWriteBytes(b, 16, "ab", 2); }},
    {"TVN_SmemOpen", 3, MEMORY_NAME, false, 0, false,
     [](TalvernBrdMng& m, BoardIndex b) { return m.SmemOpen(b, MEMORY_NAME); }},
};

constexpr BoardIndex BAD_INDEXES[] = {1, 2, 3, -1};
constexpr int NO_CHECK_FAILS = 5;

// A state of slot 0, reached by ConnectAll against a stand-in and, for
// some, one SmemOpen.
struct SlotState {
    const char* what;
    const char* variant;     // the stand-in's folder under bin
    int32_t connect_answer;  // its answer to TVN_Connect
    bool opened;             // SmemOpen was called, answered with open_answer
    int32_t open_answer;
    int failing_check;       // the first check that fails, 2 to 4, or NO_CHECK_FAILS
    int32_t refusal;         // that check's code
    SmemHandle handle;       // what the library gets as the handle
};

const SlotState SLOT_STATES[] = {
    {"lacking only TVN_ShutdownNotify", "RecordingLinkPartial", 0, false, 0, 2,
     BRD_ERR_NOT_LOADED, -1},
    {"board not answering", "RecordingLink", TVN_ERR_COMM, false, 0, 3, BRD_ERR_NOT_CONNECTED, -1},
    {"connected, nothing opened", "RecordingLink", 0, false, 0, 4, BRD_ERR_SMEM_NOT_OPEN, -1},
    {"open refused", "RecordingLink", 0, true, TVN_ERR_COMM, 4, BRD_ERR_SMEM_NOT_OPEN,
     TVN_ERR_COMM},
    {"open with handle 0", "RecordingLink", 0, true, 0, NO_CHECK_FAILS, 0, 0},
    {"lacking the clock, reset and info names", "RecordingLinkBoardOnly", 0, true, 7,
     NO_CHECK_FAILS, 0, 7},
};

// Every guarded operation in every state of the slot: a board index other
// than 0 is refused first, then the first failed check answers, and nothing
// reaches the library; once its checks pass, each makes exactly its one call
// with board 0 and the slot's handle, and hands on the library's result.
TEST_F(BoardStandIn, GuardedOperationsCheckInOrderThenCallOnce)
{
    for (const SlotState& state : SLOT_STATES) {
        SCOPED_TRACE(state.what);
        ASSERT_NO_FATAL_FAILURE(BindStandIn(state.variant, state.connect_answer));
        const bool bound = state.failing_check > 2;
        EXPECT_EQ(bound_, bound ? 1 : 0);
        EXPECT_EQ(bind_calls_, bound ? std::vector<std::string>{CallText(
                                           "TVN_Connect", 0, LOOPBACK, STAND_IN_PORT)}
                                     : std::vector<std::string>{});
        EXPECT_EQ(backend_->IsConnected(0), state.failing_check > 3 ? 1 : 0);
        g_answers["TVN_SmemOpen"] = state.open_answer;
        if (state.opened) {
            EXPECT_EQ(backend_->SmemOpen(0, MEMORY_NAME), 0);  // whatever the library said
        }

        for (const Guarded& op : GUARDED) {
            for (BoardIndex board : BAD_INDEXES) {
                g_calls.clear();
                SCOPED_TRACE(std::string(op.function) + " on board " + std::to_string(board));
                EXPECT_EQ(op.run(*backend_, board), BRD_ERR_BAD_INDEX);
                EXPECT_TRUE(g_calls.empty());
            }
            g_calls.clear();
            const TvnResult result = op.run(*backend_, 0);
            if (op.checks >= state.failing_check) {
                EXPECT_EQ(result, state.refusal) << op.function;
                EXPECT_TRUE(g_calls.empty()) << op.function;
            } else {
                EXPECT_EQ(result, op.hands_on_result ? PLAIN_ANSWER : 0) << op.function;
                const int32_t number = op.passes_handle ? state.handle : op.number;
                EXPECT_EQ(g_calls, std::vector<std::string>{
                                       CallText(op.function, 0, op.text, number)});
            }
        }
        backend_.reset();
        EXPECT_EQ(GetModuleHandleA(TalvernBrdMng::LIBRARY_NAME), nullptr);
    }
}

// How the backend is closed after an open with handle 7: the calls of
// SmemClose and of DisConnectAll, and none when the object is deleted.
struct CloseRoad {
    const char* what;
    const char* variant;
    int32_t close_answer;  // the stand-in's answer to TVN_SmemClose
    TvnResult close_result;
    std::vector<std::string> close_calls;
    std::vector<std::string> release_calls;  // those of DisConnectAll
};

TEST_F(BoardStandIn, ClosingReleasesTheLibraryAndDisconnectsOnlyAfterAFailedClose)
{
    const std::string close_call = CallText("TVN_SmemClose", 0, nullptr, 7);
    const CloseRoad roads[] = {
        {"memory closed", "RecordingLink", 0, 0, {close_call}, {"detach"}},
        {"memory close failed", "RecordingLink", TVN_ERR_COMM, TVN_ERR_COMM, {close_call},
         {CallText("TVN_DisConnect", 0, nullptr, 0), "detach"}},
        // Bound but lacking a name: never loaded, still released.
        {"library lacking a name", "RecordingLinkPartial", 0, BRD_ERR_NOT_LOADED, {}, {"detach"}},
    };
    for (const CloseRoad& road : roads) {
        SCOPED_TRACE(road.what);
        ASSERT_NO_FATAL_FAILURE(BindStandIn(road.variant, 0));
        g_answers["TVN_SmemOpen"] = 7;
        g_answers["TVN_SmemClose"] = road.close_answer;
        backend_->SmemOpen(0, MEMORY_NAME);
        g_calls.clear();
        EXPECT_EQ(backend_->SmemClose(0), road.close_result);
        EXPECT_EQ(g_calls, road.close_calls);

        g_calls.clear();
        backend_->DisConnectAll();
        EXPECT_EQ(g_calls, road.release_calls);
        EXPECT_EQ(GetModuleHandleA(TalvernBrdMng::LIBRARY_NAME), nullptr);

        g_calls.clear();
        backend_.reset();
        EXPECT_TRUE(g_calls.empty());
    }
}

// The real library against BoardSim.exe: every forwarder reaches the
// board's memory with exactly one request, the values land little-endian at
// their offsets, and close and release send nothing more.
TEST_F(BoardReal, ForwardersReachTheBoardMemory)
{
    testsupport::ScopedTempDir dir("brdmng");  // TalvernLink writes its log here
    testsupport::BoardSimProcess simulator;
    const int port = simulator.WaitForPort(BOARD_START_MS);
    ASSERT_NE(port, 0) << "BoardSim.exe did not start: " << testsupport::BoardSimPath();

    backend_.reset(new TalvernBrdMng);
    TalvernBrdMng& link = *backend_;
    ASSERT_EQ(link.ConnectAll(LOOPBACK, port), 1);
    ASSERT_EQ(link.IsConnected(0), 1);
    EXPECT_EQ(link.SmemOpen(0, MEMORY_NAME), 0);
    EXPECT_EQ(link.SmemIsMemSize(0), static_cast<TvnResult>(BoardSimulator::DEFAULT_MEMORY_SIZE));

    const uint64_t lword = 0x0123456789ABCDEFull;
    const uint8_t block[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(link.SmemWriteByte(0, 1, 0xA5), 0);
    EXPECT_EQ(link.SmemWriteWord(0, 2, 0xBEEF), 0);
    EXPECT_EQ(link.SmemWriteDWord(0, 4, 0xDEADBEEFu), 0);
    EXPECT_EQ(link.SmemWriteLWord(0, 8, lword), 0);
    EXPECT_EQ(link.SmemWriteBytes(0, 16, block, sizeof(block)), 0);

    uint8_t b = 0;
    uint16_t w = 0;
    uint32_t d = 0;
    uint64_t l = 0;
    uint8_t raw[21] = {};
    EXPECT_EQ(link.SmemReadByte(0, 1, &b), 0);
    EXPECT_EQ(link.SmemReadWord(0, 2, &w), 0);
    EXPECT_EQ(link.SmemReadDWord(0, 4, &d), 0);
    EXPECT_EQ(link.SmemReadLWord(0, 8, &l), 0);
    EXPECT_EQ(link.SmemReadBytes(0, 0, raw, sizeof(raw)), 0);
    EXPECT_EQ(b, 0xA5);
    EXPECT_EQ(w, 0xBEEF);
    EXPECT_EQ(d, 0xDEADBEEFu);
    EXPECT_EQ(l, lword);
    const uint8_t expected[21] = {0,    0xA5, 0xEF, 0xBE, 0xEF, 0xBE, 0xAD, 0xDE, 0xEF, 0xCD, 0xAB,
                                  0x89, 0x67, 0x45, 0x23, 0x01, 1,    2,    3,    4,    5};
    EXPECT_EQ(0, std::memcmp(raw, expected, sizeof(raw)));

    EXPECT_EQ(link.SmemClose(0), 0);
    EXPECT_EQ(link.SmemReadByte(0, 1, &b), BRD_ERR_SMEM_NOT_OPEN);  // sends nothing
    link.DisConnectAll();
    EXPECT_EQ(GetModuleHandleA(TalvernBrdMng::LIBRARY_NAME), nullptr);

    using namespace board;
    const std::vector<int> served = {
        CMD_SMEM_OPEN,  CMD_SMEM_IS_MEM_SIZE, CMD_SMEM_WRITE, CMD_SMEM_WRITE, CMD_SMEM_WRITE,
        CMD_SMEM_WRITE, CMD_SMEM_WRITE,       CMD_SMEM_READ,  CMD_SMEM_READ,  CMD_SMEM_READ,
        CMD_SMEM_READ,  CMD_SMEM_READ,        CMD_SMEM_CLOSE};
    EXPECT_EQ(simulator.WaitForRequests(served.size(), BOARD_WAIT_MS), served);
}

// The ordinary close of the real library: no disconnect call, yet the
// board's connection ends, without a byte sent, once the library is released.
TEST_F(BoardReal, ReleaseEndsTheBoardConnection)
{
    testsupport::ScopedTempDir dir("brdrel");  // TalvernLink writes its log here
    LoopbackListener board;
    ASSERT_NE(board.Port(), 0);
    backend_.reset(new TalvernBrdMng);
    ASSERT_EQ(backend_->ConnectAll(LOOPBACK, board.Port()), 1);
    ASSERT_EQ(backend_->IsConnected(0), 1);
    ASSERT_TRUE(board.Accept(BOARD_WAIT_MS));
    EXPECT_FALSE(board.ClosedByPeer(CONNECTION_KEPT_MS));

    backend_->DisConnectAll();
    EXPECT_EQ(GetModuleHandleA(TalvernBrdMng::LIBRARY_NAME), nullptr);
    EXPECT_TRUE(board.ClosedByPeer(BOARD_WAIT_MS));
}

}  // namespace
