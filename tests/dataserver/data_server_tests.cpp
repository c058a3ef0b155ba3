// The data server in this process: the service's data-server block (thread pool and socket
// server) on a loopback port, with the station table empty, and the dispatch rules of the pool.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "acquisition/StationTable.h"
#include "dataserver/SocketServer.h"
#include "dataserver/ThreadPool.h"
#include "service/DataServerBlock.h"
#include "service/Globals.h"
#include "service/Log.h"
#include "tests/system/dataserver_client.h"
#include "win32/Event.h"
#include "win32/Exception.h"

namespace {

constexpr size_t kResponse = METEO_RESPONSE_SIZE;

class DataServerBlock : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA")); }
    static void TearDownTestSuite() { Delete(&MeteoDataGuard); }

    void SetUp() override
    {
        StationCount = 1;
        TraceLevel = 1;
        DataServerSettings settings{};
        settings.listenPort = FreePort();
        settings.maxPooledSockets = 10;
        settings.maxPooledBuffers = 10;
        settings.minThreads = 5;
        settings.maxThreads = 10;
        port_ = settings.listenPort;
        ASSERT_NE(0, port_);
        server_ = StartDataServer(settings);
    }
    void TearDown() override
    {
        if (server_) {
            server_->Shutdown();
            server_.reset();
        }
        TraceLevel = 0;
        StationCount = 0;
    }

    std::unique_ptr<DataClient> Greeted()
    {
        auto client = std::make_unique<DataClient>(port_);
        std::string greeting;
        if (!client->Connected() || !client->Receive(greeting, kResponse))
            return nullptr;
        return client;
    }

    // The log of the run so far, complete once the server is shut down.
    std::string StopAndReadLog()
    {
        server_->Shutdown();
        server_.reset();
        TraceLevel = 0;  // closes the file
        return ReadFile(PathBesideExecutable("Pelmora.log"));
    }

    unsigned short port_ = 0;
    std::unique_ptr<CDataServer> server_;
};

::testing::AssertionResult NextStation(DataClient &client, LONG expected)
{
    std::string sealed;
    if (!client.Receive(sealed, kResponse))
        return ::testing::AssertionFailure() << "no response";
    pelmora::MeteoReading reading{};
    if (!OpenResponse(sealed, reading))
        return ::testing::AssertionFailure() << "digest does not match";
    if (reading.nStation != expected)
        return ::testing::AssertionFailure() << "nStation " << reading.nStation;
    return ::testing::AssertionSuccess();
}

TEST_F(DataServerBlock, lone_prefix_byte_waits_for_the_rest_of_its_message)
{
    auto client = Greeted();
    ASSERT_TRUE(client);
    const std::string request = Request(0, 1, 12);
    ASSERT_TRUE(client->Send(request.substr(0, 1)));
    EXPECT_TRUE(client->Quiet(300));
    ASSERT_TRUE(client->Send(request.substr(1)));
    EXPECT_TRUE(NextStation(*client, SLOT_OUT_OF_RANGE));
}

TEST_F(DataServerBlock, messages_split_across_reads_are_answered_in_arrival_order)
{
    auto client = Greeted();
    ASSERT_TRUE(client);
    const std::string all = Request(0, 1, 12) + Request(0, 1, 0) + Request(0, 5, 0);
    // Each write ends inside a message: 1.5 messages, then the other 1.5.
    ASSERT_TRUE(client->Send(all.substr(0, 192)));
    ASSERT_TRUE(NextStation(*client, SLOT_OUT_OF_RANGE));
    ASSERT_TRUE(client->Send(all.substr(192)));
    EXPECT_TRUE(NextStation(*client, WINDOW_EMPTY));
    EXPECT_TRUE(NextStation(*client, STATION_NOT_CONFIGURED));
}

TEST_F(DataServerBlock, notifications_and_framing_are_logged_by_name)
{
    {
        auto client = Greeted();
        ASSERT_TRUE(client);
        ASSERT_TRUE(client->Send(Request(0, 1, 12)));
        ASSERT_TRUE(NextStation(*client, SLOT_OUT_OF_RANGE));
    }
    {
        auto refused = Greeted();
        ASSERT_TRUE(refused);
        ASSERT_TRUE(refused->Send(std::string("\x81\x00", 2)));
        std::string rest;
        ASSERT_TRUE(refused->ReceiveToEnd(rest));
        EXPECT_EQ("Invalid connection! Go away!\r\n", rest);
    }
    const std::string log = StopAndReadLog();
    for (const char *name : {"OnStartAcceptingConnections",
                             "OnConnectionCreated",
                             "OnConnectionEstablished",
                             "OnConnectionClientClose",
                             "OnConnectionClosing",
                             "OnConnectionClosed",
                             "OnShutdownInitiated",
                             "OnShutdownComplete",
                             "OnThreadCreated",
                             "OnThreadBeginProcessing",
                             "OnThreadEndProcessing",
                             "OnThreadDestroyed",
                             "OnBufferCreated",
                             "OnBufferAllocated",
                             "OnBufferReleased",
                             "OnBufferDestroyed",
                             "OnConnectionDestroyed",
                             "Message size = 128",
                             "Invalid message size",
                             "ProcessMessage",
                             "CThreadPoolWorkerThread::Initialise",
                             "CThreadPoolWorkerThread::Shutdown",
                             "OnThreadStarted",
                             "OnThreadInitialised",
                             "OnReceivedMessage",
                             "OnProcessingStarted",
                             "OnProcessingStopped",
                             "OnThreadStopped"}) {
        EXPECT_NE(std::string::npos, log.find(": " + std::string(name) + "\r\n")) << name;
    }
}

TEST_F(DataServerBlock, paused_server_refuses_connections_until_resumed)
{
    auto before = Greeted();
    ASSERT_TRUE(before);

    server_->StopAcceptingConnections();
    DataClient refused(port_, 0);
    EXPECT_FALSE(refused.Connected());
    // A connection made before the pause is still served.
    ASSERT_TRUE(before->Send(Request(0, 1, 12)));
    EXPECT_TRUE(NextStation(*before, SLOT_OUT_OF_RANGE));

    server_->StartAcceptingConnections();
    auto after = Greeted();
    ASSERT_TRUE(after);
    ASSERT_TRUE(after->Send(Request(0, 2, 0)));
    EXPECT_TRUE(NextStation(*after, STATION_NOT_CONFIGURED));
}

TEST(DataServerDispatch, connect_and_read_events_need_a_buffer)
{
    CThreadPool pool(1, 1, 1, 1, 5000, 100, 10000, 20, true, true);
    for (DWORD event :
         {DWORD(CThreadPool::ConnectionEstablished), DWORD(CThreadPool::ReadCompleted)}) {
        try {
            pool.DoDispatch(nullptr, nullptr, event);
            ADD_FAILURE() << "no exception for event " << event;
        } catch (const Tarnwick::Win32::CException &e) {
            EXPECT_EQ("CThreadPool::DoDispatch()", e.GetWhere());
            EXPECT_EQ(
                "Unexpected: Only the ConnectionClosed and ConnectionClosing events can "
                "have a null pBuffer",
                e.GetMessage());
        }
    }
}

// Set once the pool's worker thread has ended completely; outlives every pool.
Tarnwick::Win32::CManualResetEvent &WorkerEnded()
{
    static auto *pEvent = new Tarnwick::Win32::CManualResetEvent(false);
    return *pEvent;
}

struct CThreadEndSignal {
    ~CThreadEndSignal() { WorkerEnded().Set(); }
};

// One worker, which tells when its second item (the first request) begins and when its thread
// has ended.
class CWatchedPool : public CThreadPool {
public:
    CWatchedPool() : CThreadPool(1, 1, 1, 1, 5000, 100, 10000, 20, true, true) {}
    Tarnwick::Win32::CManualResetEvent requestStarted{false};

private:
    void OnThreadStarted() override
    {
        static thread_local CThreadEndSignal signal;
        (void)signal;
    }
    void OnProcessingStarted() override
    {
        if (++m_items == 2)
            requestStarted.Set();
    }
    std::atomic<int> m_items{0};
};

// The sanitizer builds watch the worker for any use of the server, its sockets and buffers after
// they were destroyed.
TEST(DataServerShutdown, a_worker_abandoned_while_it_waits_for_the_table_touches_nothing_after)
{
    ASSERT_TRUE(Initialize(&MeteoDataGuard, "METEODATA"));
    StationCount = 1;
    const unsigned short port = FreePort();
    auto pPool = std::make_unique<CWatchedPool>();
    pPool->Start();
    auto pServer = std::make_unique<CSocketServer>(0x7F000001, port, 10, 10, 1024, *pPool, 65536,
                                                   true, true, true, 0);
    pServer->Start();
    pServer->StartAcceptingConnections();

    DataClient client(port);
    std::string greeting;
    ASSERT_TRUE(client.Receive(greeting, kResponse));
    // A writer holds the table, so the request's worker waits for it past the forced shutdown.
    ASSERT_EQ(0u, WaitToWrite(&MeteoDataGuard, INFINITE));
    ASSERT_TRUE(client.Send(Request(1, 1, 0)));
    ASSERT_TRUE(pPool->requestStarted.Wait(20000));

    pPool->AwaitShutdown(200, true);
    pPool->ReleaseConnections();
    pServer->AwaitShutdown();
    pServer.reset();
    pPool.reset();

    DoneWriting(&MeteoDataGuard);
    EXPECT_TRUE(WorkerEnded().Wait(20000));
    StationCount = 0;
    Delete(&MeteoDataGuard);
}

}  // namespace
