#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <thread>
#endif

#include "TestSupport.h"
#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/OrderedBufferQueue.h"
#include "win32/SocketServer.h"
#include "win32/Thread.h"
#include "win32/UsesWinsock.h"

using namespace Tarnwick::Win32;
using PelmoraTest::CCounter;
using PelmoraTest::CLog;
using PelmoraTest::kPromptly;

namespace {

constexpr unsigned long kLoopback = 0x7F000001;  // 127.0.0.1, host order
constexpr DWORD kBufferSize = 1024;

///////////////////////////////////////////////////////////////////////////////////////////////
// Loopback clients: plain blocking sockets.

class CClient {
public:
    explicit CClient(unsigned short port)
        : m_socket(WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(kLoopback);
        m_connected =
            m_socket != INVALID_SOCKET &&
            connect(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    }
    ~CClient() { Close(); }

    CClient(const CClient &) = delete;
    CClient &operator=(const CClient &) = delete;

    bool Connected() const { return m_connected; }

    bool Send(const std::string &data)
    {
        return send(m_socket, data.data(), static_cast<int>(data.size()), 0) ==
               static_cast<int>(data.size());
    }

    // Exactly `count` bytes, or fewer when the connection ends first.
    std::string Receive(size_t count)
    {
        std::string data;
        char chunk[4096];
        while (data.size() < count) {
            const size_t wanted = std::min(sizeof(chunk), count - data.size());
            const int got = recv(m_socket, chunk, static_cast<int>(wanted), 0);
            if (got <= 0)
                break;
            data.append(chunk, static_cast<size_t>(got));
        }
        return data;
    }

    // Everything up to the end of the stream; `ended` tells whether it ended cleanly.
    std::string ReceiveToEnd(bool &endedCleanly)
    {
        std::string data;
        char chunk[4096];
        for (;;) {
            const int got = recv(m_socket, chunk, sizeof(chunk), 0);
            if (got <= 0) {
                endedCleanly = got == 0;
                return data;
            }
            data.append(chunk, static_cast<size_t>(got));
        }
    }

    void Close()
    {
        if (m_socket != INVALID_SOCKET) {
            closesocket(m_socket);
            m_socket = INVALID_SOCKET;
        }
    }

private:
    SOCKET m_socket;
    bool m_connected = false;
};

///////////////////////////////////////////////////////////////////////////////////////////////
// The test server: an echo with sequencing. Each connection keeps several reads outstanding
// and puts their completions back in issue order before echoing them.

struct Connection {
    explicit Connection(int id) : number(id) {}
    const int number;
    CCriticalSection lock;
    COrderedBufferQueue readQueue{lock};
    CLog events;
    std::string received;  // guarded by the read queue's ordering
};

struct ShutdownRecord {
    int how;
    int writesCompleted;
};

class CEchoServer : public CSocketServer {
public:
    CEchoServer(DWORD maxPooledSockets = 0, DWORD workerThreadCount = 2, bool useSequencing = true,
                bool zeroByteReads = false)
        : CSocketServer(kLoopback, 0, maxPooledSockets, 0, kBufferSize, workerThreadCount,
                        useSequencing, zeroByteReads)
    {
    }
    ~CEchoServer() override
    {
        if (!m_shutDown)
            AwaitShutdown();
    }

    void Shutdown()
    {
        m_shutDown = true;
        AwaitShutdown();
    }

    unsigned short Port() const { return m_boundPort.load(); }

    Connection &ConnectionOf(Socket *pSocket)
    {
        return *static_cast<Connection *>(pSocket->GetUserData());
    }
    // The connection numbered `n` (in order of establishment), once it exists.
    Connection *Numbered(int n)
    {
        CCriticalSectionGuard guard(m_connectionsLock);
        return n < static_cast<int>(m_connections.size()) ? m_connections[n].get() : nullptr;
    }

    // What the hooks below default to.
    int readsPerConnection = 2;
    bool echo = true;
    std::function<void(Socket *, Connection &)> onEstablished;
    std::function<bool(Socket *, Connection &)> onClosing;
    std::function<bool(Socket *, CIOBuffer *)> previewWriteRequest;
    // Hand every completion with data over to the re-queue operations.
    bool requeueCompletions = false;
    CCounter requeued;
    std::function<void()> threadEndProcessing;

    CCounter created, destroyed, established, clientCloses, resets, closings, closed,
        connectionErrors, writesCompleted, activity, threadsCreated, threadsDestroyed, errorCount;
    // Read requests whose packets the workers corrupt before handling them: the first loses
    // its buffer, the next gets an operation code that does not exist.
    std::atomic<int> corruptedReadRequests{0};
    CLog errors;
    CLog lifecycle;
    std::vector<ShutdownRecord> shutdowns;  // guarded by shutdownLock
    CCriticalSection shutdownLock;

private:
    class CCorruptingWorker : public WorkerThread {
    public:
        CCorruptingWorker(CEchoServer &server, CIOCompletionPort &iocp)
            : WorkerThread(server, iocp), m_server(server)
        {
        }

    private:
        void ProcessCompletion(Socket *pSocket, CIOBuffer *pBuffer, DWORD dwIoSize,
                               bool error) override
        {
            if (pBuffer && pBuffer->GetOperation() == IO_Read_Request) {
                const int left = m_server.corruptedReadRequests--;
                if (left == 2) {
                    WorkerThread::ProcessCompletion(pSocket, nullptr, dwIoSize, error);
                    return;
                }
                if (left == 1)
                    pBuffer->SetOperation(42);
            }
            WorkerThread::ProcessCompletion(pSocket, pBuffer, dwIoSize, error);
        }

        CEchoServer &m_server;
    };

    WorkerThread *MakeWorkerThread(CIOCompletionPort &iocp) override
    {
        return new CCorruptingWorker(*this, iocp);
    }

    SOCKET CreateListeningSocket(unsigned long address, unsigned short port) override
    {
        const SOCKET listening = CSocketServer::CreateListeningSocket(address, port);
        sockaddr_in bound{};
        int length = sizeof(bound);
        getsockname(listening, reinterpret_cast<sockaddr *>(&bound), &length);
        m_boundPort = ntohs(bound.sin_port);
        return listening;
    }

    void OnStartAcceptingConnections() override { lifecycle.Add("OnStartAcceptingConnections"); }
    void OnStopAcceptingConnections() override { lifecycle.Add("OnStopAcceptingConnections"); }
    void OnShutdownInitiated() override { lifecycle.Add("OnShutdownInitiated"); }
    void OnShutdownComplete() override { lifecycle.Add("OnShutdownComplete"); }
    void OnThreadCreated() override { threadsCreated.Increment(); }
    void OnThreadDestroyed() override
    {
        lifecycle.Add("OnThreadDestroyed");
        threadsDestroyed.Increment();
    }
    void OnThreadEndProcessing() override
    {
        if (threadEndProcessing)
            threadEndProcessing();
    }

    void OnConnectionCreated() override { created.Increment(); }
    void OnConnectionDestroyed() override
    {
        destroyed.Increment();
        activity.Increment();
    }

    void OnConnectionEstablished(Socket *pSocket, CIOBuffer *pAddress) override
    {
        // The peer's address sits at the start of the buffer.
        EXPECT_GE(pAddress->GetUsedBytes(), sizeof(sockaddr_in));
        const sockaddr_in *pPeer = reinterpret_cast<const sockaddr_in *>(pAddress->GetPayload());
        EXPECT_EQ(AF_INET, pPeer->sin_family);
        EXPECT_EQ(htonl(kLoopback), pPeer->sin_addr.s_addr);

        EXPECT_EQ(nullptr, pSocket->GetUserData());  // emptied on every attach
        Connection *pConnection;
        {
            CCriticalSectionGuard guard(m_connectionsLock);
            m_connections.push_back(
                std::make_unique<Connection>(static_cast<int>(m_connections.size())));
            pConnection = m_connections.back().get();
        }
        pSocket->SetUserData(pConnection);
        pConnection->events.Add("OnConnectionEstablished");
        established.Increment();

        if (onEstablished) {
            onEstablished(pSocket, *pConnection);
            return;
        }
        for (int i = 0; i < readsPerConnection; ++i)
            pSocket->Read();
    }

    void ReadCompleted(Socket *pSocket, CIOBuffer *pBuffer) override
    {
        Connection &connection = ConnectionOf(pSocket);
        connection.events.Add("ReadCompleted");
        pSocket->Read();  // keep the reads outstanding

        pBuffer->AddRef();
        for (CIOBuffer *p = connection.readQueue.OfferBuffer(pBuffer); p;
             p = connection.readQueue.AdvanceAndTake()) {
            const char *pData = reinterpret_cast<const char *>(p->GetPayload());
            connection.received.append(pData, p->GetUsedBytes());
            if (echo)
                pSocket->Write(pData, p->GetUsedBytes());
            p->Release();
        }
    }

    void OnConnectionClientClose(Socket *pSocket) override
    {
        ConnectionOf(pSocket).events.Add("OnConnectionClientClose");
        clientCloses.Increment();
    }
    void OnConnectionReset(Socket *pSocket) override
    {
        ConnectionOf(pSocket).events.Add("OnConnectionReset");
        resets.Increment();
    }
    bool OnConnectionClosing(Socket *pSocket) override
    {
        Connection &connection = ConnectionOf(pSocket);
        connection.events.Add("OnConnectionClosing");
        closings.Increment();
        return onClosing ? onClosing(pSocket, connection) : false;
    }
    void OnConnectionClosed(Socket *pSocket) override
    {
        ConnectionOf(pSocket).events.Add("OnConnectionClosed");
        closed.Increment();
        activity.Increment();
    }
    void OnConnectionError(ConnectionErrorSource source, Socket *pSocket, CIOBuffer *,
                           DWORD lastError) override
    {
        ConnectionOf(pSocket).events.Add("OnConnectionError " + std::to_string(source) + " " +
                                         std::to_string(lastError));
        connectionErrors.Increment();
    }
    void OnError(const std::string &message) override
    {
        errors.Add(message);
        errorCount.Increment();
    }

    bool PreviewWriteRequest(Socket *pSocket, CIOBuffer *&pBuffer) override
    {
        return previewWriteRequest ? previewWriteRequest(pSocket, pBuffer) : true;
    }
    bool PreviewReadCompleted(Socket *pSocket, CIOBuffer *&pBuffer) override
    {
        if (!requeueCompletions || pBuffer->GetUsedBytes() == 0)
            return true;
        RequeueReadCompleted(pSocket, pBuffer);
        requeued.Increment();
        return false;
    }
    bool PreviewWriteCompleted(Socket *pSocket, CIOBuffer *&pBuffer) override
    {
        if (!requeueCompletions)
            return true;
        RequeueWriteCompleted(pSocket, pBuffer);
        requeued.Increment();
        return false;
    }
    bool PreviewSocketShutdown(Socket *, int how) override
    {
        CCriticalSectionGuard guard(shutdownLock);
        shutdowns.push_back({how, writesCompleted.Value()});
        return true;
    }
    void WriteCompleted(Socket *pSocket, CIOBuffer *pBuffer) override
    {
        CSocketServer::WriteCompleted(pSocket, pBuffer);
        writesCompleted.Increment();
    }

    void OnBufferReleased() override { activity.Increment(); }

    std::atomic<unsigned short> m_boundPort{0};
    bool m_shutDown = false;
    CCriticalSection m_connectionsLock;
    std::vector<std::unique_ptr<Connection>> m_connections;
};

class SocketServerTest : public ::testing::Test {
protected:
    void StartServer(CEchoServer &server)
    {
        server.Start();
        server.StartAcceptingConnections();
        ASSERT_NE(0, server.Port());
    }

    // Stops accepting (the accept loop holds a buffer while it waits), then waits until every
    // connection object is back on the free list (or destroyed) and no buffer is in use.
    static bool AllReleased(CEchoServer &server)
    {
        server.StopAcceptingConnections();
        const bool released = server.activity.WaitUntil([&] {
            return server.GetActiveSocketCount() == 0 && server.GetInUseBufferCount() == 0;
        });
        if (!released)
            ADD_FAILURE() << server.GetActiveSocketCount() << " sockets and "
                          << server.GetInUseBufferCount() << " buffers still in use";
        return released;
    }

    CUsesWinsock winsock;
};

std::vector<std::string> Events(Connection *pConnection)
{
    return pConnection ? pConnection->events.Entries() : std::vector<std::string>{};
}

}  // namespace

TEST_F(SocketServerTest, echoes_and_notifies_a_connection_in_order)
{
    CEchoServer server;
    StartServer(server);
    {
        CClient client(server.Port());
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(client.Send("hello, server"));
        EXPECT_EQ("hello, server", client.Receive(13));
    }
    ASSERT_TRUE(server.closed.WaitFor(1));
    ASSERT_TRUE(AllReleased(server));

    EXPECT_EQ((std::vector<std::string>{"OnConnectionEstablished", "ReadCompleted",
                                        "OnConnectionClientClose", "OnConnectionClosing",
                                        "OnConnectionClosed"}),
              Events(server.Numbered(0)));
    EXPECT_EQ(1, server.created.Value());
    EXPECT_EQ(0, server.destroyed.Value());
    EXPECT_EQ(1u, server.GetFreeSocketCount());

    server.Shutdown();
    EXPECT_EQ(1, server.destroyed.Value());
    EXPECT_EQ(std::vector<std::string>{}, server.errors.Entries());
}

TEST_F(SocketServerTest, a_client_close_is_reported_once_and_completes_no_read)
{
    CEchoServer server;
    server.readsPerConnection = 3;  // all three reads complete with 0 bytes
    StartServer(server);
    {
        CClient client(server.Port());
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(server.established.WaitFor(1));
    }
    ASSERT_TRUE(server.closed.WaitFor(1));
    ASSERT_TRUE(AllReleased(server));

    EXPECT_EQ((std::vector<std::string>{"OnConnectionEstablished", "OnConnectionClientClose",
                                        "OnConnectionClosing", "OnConnectionClosed"}),
              Events(server.Numbered(0)));
    EXPECT_EQ(1, server.clientCloses.Value());
    server.Shutdown();
    EXPECT_EQ(std::vector<std::string>{}, server.errors.Entries());
}

TEST_F(SocketServerTest, a_connection_nobody_holds_is_closed_at_once_and_pooled)
{
    CEchoServer server;
    server.onEstablished = [](CSocketServer::Socket *, Connection &) {};
    StartServer(server);

    CClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(server.closed.WaitFor(1));
    ASSERT_TRUE(AllReleased(server));
    EXPECT_EQ((std::vector<std::string>{"OnConnectionEstablished", "OnConnectionClosing",
                                        "OnConnectionClosed"}),
              Events(server.Numbered(0)));
    EXPECT_EQ(1u, server.GetFreeSocketCount());

    bool endedCleanly = true;
    EXPECT_EQ("", client.ReceiveToEnd(endedCleanly));
    if (PelmoraTest::AbortiveCloseResets()) {
        EXPECT_FALSE(endedCleanly);  // closed abortively: a reset, not an orderly end
    }
    server.Shutdown();
}

TEST_F(SocketServerTest, shutdown_of_both_sides_waits_for_two_outstanding_writes)
{
    CEchoServer server;
    CManualResetEvent shutdownRequested(false);
    // Written on the accept thread, read here after bytes that only a socket carried.
    std::atomic<CSocketServer::Socket *> pHeld{nullptr};
    std::atomic<bool> readOpenAfter{true}, writeOpenAfter{true};

    server.onEstablished = [&](CSocketServer::Socket *pSocket, Connection &) {
        pSocket->AddRef();  // held until the client has seen the end
        pHeld = pSocket;
        pSocket->Write("first ", 6);
        pSocket->Write("second", 6);
        pSocket->Shutdown(SD_BOTH);
        readOpenAfter = pSocket->IsConnected(SD_RECEIVE);
        writeOpenAfter = pSocket->IsConnected(SD_SEND);
        shutdownRequested.Set();
    };
    // Both writes stay outstanding until the shutdown has been requested.
    server.previewWriteRequest = [&](CSocketServer::Socket *, CIOBuffer *) {
        EXPECT_TRUE(shutdownRequested.Wait(kPromptly));
        return true;
    };
    StartServer(server);

    CClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    bool endedCleanly = false;
    EXPECT_EQ("first second", client.ReceiveToEnd(endedCleanly));
    EXPECT_TRUE(endedCleanly);
    EXPECT_FALSE(readOpenAfter);
    EXPECT_FALSE(writeOpenAfter);

    {
        CCriticalSectionGuard guard(server.shutdownLock);
        ASSERT_EQ(2u, server.shutdowns.size());
        EXPECT_EQ(SD_BOTH, server.shutdowns[0].how);
        EXPECT_EQ(0, server.shutdowns[0].writesCompleted);
        EXPECT_EQ(SD_SEND, server.shutdowns[1].how);  // by the second write's completion
        EXPECT_EQ(2, server.shutdowns[1].writesCompleted);
    }
    pHeld.load()->Release();
    ASSERT_TRUE(server.closed.WaitFor(1));
    server.Shutdown();
    EXPECT_EQ(std::vector<std::string>{}, server.errors.Entries());
}

namespace {

// Writes "A" then "B" and lets the request of "B" be processed first: the request of "A" waits
// until the worker that handled "B" has finished with it.
std::string SendTwoWritesInReverseProcessingOrder(bool useSequencing)
{
    CEchoServer server(0, 2, useSequencing);
    CManualResetEvent secondHandled(false);
    CLog processingOrder;
    thread_local bool handlingSecond = false;

    server.onEstablished = [](CSocketServer::Socket *pSocket, Connection &) {
        pSocket->Write("A", 1);
        pSocket->Write("B", 1);
    };
    server.previewWriteRequest = [&](CSocketServer::Socket *, CIOBuffer *pBuffer) {
        const char *pData = reinterpret_cast<const char *>(pBuffer->GetPayload());
        if (pData[0] == 'A') {
            EXPECT_TRUE(secondHandled.Wait(kPromptly));
        } else {
            handlingSecond = true;
        }
        processingOrder.Add(std::string(1, pData[0]) +
                            std::to_string(pBuffer->GetSequenceNumber()));
        return true;
    };
    server.threadEndProcessing = [&] {
        if (handlingSecond) {
            handlingSecond = false;
            secondHandled.Set();
        }
    };
    server.Start();
    server.StartAcceptingConnections();

    CClient client(server.Port());
    std::string received = client.Receive(2);
    const std::string expected = useSequencing ? "B1,A0" : "B0,A0";
    std::string order;
    for (const std::string &entry : processingOrder.Entries())
        order += (order.empty() ? "" : ",") + entry;
    EXPECT_EQ(expected, order);
    server.Shutdown();
    return received;
}

}  // namespace

TEST_F(SocketServerTest, writes_requested_zero_then_one_but_processed_one_first_are_sent_in_order)
{
    EXPECT_EQ("AB", SendTwoWritesInReverseProcessingOrder(true));
}

TEST_F(SocketServerTest, without_sequencing_writes_go_out_in_processing_order)
{
    // The control for the test above: the same staging does reorder the bytes.
    EXPECT_EQ("BA", SendTwoWritesInReverseProcessingOrder(false));
}

TEST_F(SocketServerTest, a_closing_connection_kept_by_the_application_stays_open)
{
    CEchoServer server;
    CManualResetEvent closingNotified(false);
    CSocketServer::Socket *pKept = nullptr;
    server.onEstablished = [](CSocketServer::Socket *, Connection &) {};  // no read, no reference
    server.onClosing = [&](CSocketServer::Socket *pSocket, Connection &) {
        pSocket->AddRef();
        pKept = pSocket;
        closingNotified.Set();
        return true;
    };
    StartServer(server);

    CClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(closingNotified.Wait(kPromptly));
    EXPECT_EQ(0, server.closed.Value());

    ASSERT_TRUE(pKept->Write("still here", 10));
    EXPECT_EQ("still here", client.Receive(10));
    pKept->Release();

    ASSERT_TRUE(server.closed.WaitFor(1));
    ASSERT_TRUE(AllReleased(server));
    EXPECT_EQ(1, server.closings.Value());
    EXPECT_EQ((std::vector<std::string>{"OnConnectionEstablished", "OnConnectionClosing",
                                        "OnConnectionClosed"}),
              Events(server.Numbered(0)));
    bool endedCleanly = true;
    client.ReceiveToEnd(endedCleanly);
    if (PelmoraTest::AbortiveCloseResets()) {
        EXPECT_FALSE(endedCleanly);  // the engine closed it abortively
    }
    server.Shutdown();
}

TEST_F(SocketServerTest, the_application_may_close_a_kept_connection_gracefully)
{
    CEchoServer server;
    CManualResetEvent closingNotified(false);
    std::atomic<CSocketServer::Socket *> pKept{nullptr};
    server.onEstablished = [](CSocketServer::Socket *, Connection &) {};
    server.onClosing = [&](CSocketServer::Socket *pSocket, Connection &) {
        pSocket->AddRef();
        pKept = pSocket;
        closingNotified.Set();
        return true;
    };
    StartServer(server);

    CClient client(server.Port());
    ASSERT_TRUE(closingNotified.Wait(kPromptly));
    pKept.load()->Close();
    EXPECT_EQ(1, server.closed.Value());
    bool endedCleanly = false;
    EXPECT_EQ("", client.ReceiveToEnd(endedCleanly));
    EXPECT_TRUE(endedCleanly);  // an orderly close, not a reset

    pKept.load()->Release();
    ASSERT_TRUE(AllReleased(server));
    EXPECT_EQ(1u, server.GetFreeSocketCount());
    EXPECT_EQ((std::vector<std::string>{"OnConnectionEstablished", "OnConnectionClosing",
                                        "OnConnectionClosed"}),
              Events(server.Numbered(0)));
    server.Shutdown();
}

TEST_F(SocketServerTest, completions_handed_to_the_requeue_operations_still_arrive)
{
    CEchoServer server;
    server.readsPerConnection = 1;  // re-queued completions are numbered in re-queue order
    server.requeueCompletions = true;
    StartServer(server);
    {
        CClient client(server.Port());
        const std::string data(5000, 'q');
        ASSERT_TRUE(client.Send(data));
        EXPECT_EQ(data, client.Receive(data.size()));
    }
    ASSERT_TRUE(server.closed.WaitFor(1));
    ASSERT_TRUE(AllReleased(server));
    EXPECT_GE(server.requeued.Value(), 2);  // at least one read and one write
    EXPECT_EQ(1, server.clientCloses.Value());
    server.Shutdown();
    EXPECT_EQ(std::vector<std::string>{}, server.errors.Entries());
}

TEST_F(SocketServerTest, a_socket_pool_of_one_keeps_the_first_release_and_destroys_the_second)
{
    CEchoServer server(1);
    StartServer(server);

    auto first = std::make_unique<CClient>(server.Port());
    auto second = std::make_unique<CClient>(server.Port());
    ASSERT_TRUE(first->Connected() && second->Connected());
    ASSERT_TRUE(server.established.WaitFor(2));
    EXPECT_EQ(2, server.created.Value());

    first.reset();
    ASSERT_TRUE(server.activity.WaitUntil([&] { return server.GetFreeSocketCount() == 1; }));
    EXPECT_EQ(0, server.destroyed.Value());

    second.reset();
    ASSERT_TRUE(server.destroyed.WaitFor(1));
    ASSERT_TRUE(AllReleased(server));
    EXPECT_EQ(1u, server.GetFreeSocketCount());

    server.StartAcceptingConnections();
    CClient third(server.Port());  // served by the pooled object
    ASSERT_TRUE(third.Send("again"));
    EXPECT_EQ("again", third.Receive(5));
    EXPECT_EQ(2, server.created.Value());
    server.Shutdown();
}

TEST_F(SocketServerTest, stopping_accepting_releases_the_blocked_accept_silently)
{
    CEchoServer server;
    StartServer(server);
    {
        CClient client(server.Port());
        ASSERT_TRUE(client.Send("x"));
        EXPECT_EQ("x", client.Receive(1));
    }
    // Once the connection is gone, the only buffer in use is the one the accept loop took for
    // its next accept: the accept thread is in, or on its way into, the blocking accept.
    ASSERT_TRUE(server.activity.WaitUntil(
        [&] { return server.GetActiveSocketCount() == 0 && server.GetInUseBufferCount() == 1; }));
    const unsigned short port = server.Port();
    server.StopAcceptingConnections();
    EXPECT_FALSE(server.IsAccepting());
    EXPECT_FALSE(CClient(port).Connected());  // nobody listens any more

    server.StartAcceptingConnections();  // the accept thread is free to accept again
    CClient client(server.Port());
    ASSERT_TRUE(client.Send("y"));
    EXPECT_EQ("y", client.Receive(1));

    server.Shutdown();
    EXPECT_EQ(std::vector<std::string>{}, server.errors.Entries());
    EXPECT_EQ((std::vector<std::string>{"OnStartAcceptingConnections", "OnStopAcceptingConnections",
                                        "OnStartAcceptingConnections", "OnStopAcceptingConnections",
                                        "OnShutdownInitiated", "OnThreadDestroyed",
                                        "OnThreadDestroyed", "OnShutdownComplete"}),
              server.lifecycle.Entries());
}

TEST_F(SocketServerTest, shutdown_with_live_connections_leaves_nothing_behind)
{
    CEchoServer server;
    CSocketServer::Socket *pHeldByApplication = nullptr;
    server.onEstablished = [&](CSocketServer::Socket *pSocket, Connection &) {
        if (!pHeldByApplication) {
            pSocket->AddRef();  // never released: shutdown reclaims it regardless
            pHeldByApplication = pSocket;
        }
        pSocket->Read();
        pSocket->Read();
    };
    StartServer(server);

    std::vector<std::unique_ptr<CClient>> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(std::make_unique<CClient>(server.Port()));
        ASSERT_TRUE(clients.back()->Send("ping"));
        EXPECT_EQ("ping", clients.back()->Receive(4));
    }
    ASSERT_TRUE(server.established.WaitFor(5));

    server.Shutdown();
    EXPECT_EQ(5, server.closed.Value());
    EXPECT_EQ(0u, server.GetActiveSocketCount());
    EXPECT_EQ(0u, server.GetFreeSocketCount());
    EXPECT_EQ(server.created.Value(), server.destroyed.Value());
    EXPECT_EQ(0u, server.GetInUseBufferCount());
    EXPECT_EQ(0u, server.GetFreeBufferCount());
    for (const std::string &error : server.errors.Entries())
        EXPECT_EQ(std::string::npos, error.find("Leaked sockets")) << error;
    for (auto &client : clients) {
        bool endedCleanly = true;
        client->ReceiveToEnd(endedCleanly);
        if (PelmoraTest::AbortiveCloseResets()) {
            EXPECT_FALSE(endedCleanly);
        }
    }
}

TEST_F(SocketServerTest, an_exception_that_ends_accepting_still_stops_the_workers_first)
{
    CEchoServer server;
    server.onEstablished = [&](CSocketServer::Socket *pSocket, Connection &connection) {
        if (connection.number == 1)
            throw CException("CEchoServer::OnConnectionEstablished()", "refused");
        pSocket->Read();
    };
    StartServer(server);

    CClient first(server.Port());
    ASSERT_TRUE(first.Send("one"));
    EXPECT_EQ("one", first.Receive(3));
    CClient second(server.Port());
    ASSERT_TRUE(server.established.WaitFor(2));

    // Accepting is over, but the first connection is still served.
    ASSERT_TRUE(first.Send("two"));
    EXPECT_EQ("two", first.Receive(3));

    server.Shutdown();
    const std::vector<std::string> errors = server.errors.Entries();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ("CSocketServer::Run() - Exception: CEchoServer::OnConnectionEstablished() - refused",
              errors[0]);
    const std::vector<std::string> lifecycle = server.lifecycle.Entries();
    ASSERT_GE(lifecycle.size(), 3u);
    EXPECT_EQ("OnShutdownComplete", lifecycle.back());
    EXPECT_EQ("OnThreadDestroyed", lifecycle[lifecycle.size() - 2]);
    EXPECT_EQ("OnThreadDestroyed", lifecycle[lifecycle.size() - 3]);
    EXPECT_EQ(0u, server.GetInUseBufferCount());
}

TEST_F(SocketServerTest, reads_and_writes_refuse_closed_and_shut_down_sockets)
{
    CEchoServer server;
    std::vector<std::string> results;
    server.onEstablished = [&](CSocketServer::Socket *pSocket, Connection &) {
        auto attempt = [&](const std::function<bool()> &call) {
            try {
                results.push_back(call() ? "true" : "false");
            } catch (const CException &e) {
                results.push_back(e.GetWhere() + " | " + e.GetMessage());
            }
        };
        const std::string tooLong(kBufferSize + 1, 'x');
        attempt([&] { return pSocket->Write(tooLong.data(), kBufferSize + 1, false); });
        pSocket->Shutdown(SD_SEND);
        attempt([&] { return pSocket->Write("x", 1, false); });
        attempt([&] { return pSocket->Write("x", 1, true); });
        // The buffer form is refused the same way, without asking for a second shut-down.
        CIOBuffer *pBuffer = server.Allocate();
        attempt([&] { return pSocket->Write(pBuffer, false); });
        attempt([&] { return pSocket->Write(pBuffer, true); });
        pBuffer->Release();
        {
            CCriticalSectionGuard guard(server.shutdownLock);
            results.push_back(std::to_string(server.shutdowns.size()) + " shut-down");
        }
        attempt([&] { return pSocket->Read(nullptr, false); });
        pSocket->AbortiveClose();
        attempt([&] { return pSocket->Read(nullptr, false); });
        attempt([&] { return pSocket->Read(nullptr, true); });
        attempt([&] { return pSocket->Write("x", 1, true); });
        results.push_back(pSocket->IsConnected(SD_BOTH) ? "connected" : "not connected");
    };
    StartServer(server);
    CClient client(server.Port());
    ASSERT_TRUE(server.closed.WaitFor(1));
    ASSERT_TRUE(AllReleased(server));

    EXPECT_EQ((std::vector<std::string>{
                  "CIOBuffer::AddData | Not enough space in buffer",
                  "false",
                  "CSocketServer::Socket::Write() | Socket is shutdown",
                  "false",
                  "CSocketServer::Socket::Write() | Socket is shutdown",
                  "1 shut-down",
                  "true",  // the receiving side is still open
                  "false",
                  "CSocketServer::Socket::Read() | Socket is closed",
                  "CSocketServer::Socket::Write() | Socket is closed",
                  "not connected",
              }),
              results);
    // The read queued before the close fails on a closed socket: no notification for that.
    EXPECT_EQ(0, server.connectionErrors.Value());
    server.Shutdown();
    EXPECT_EQ(std::vector<std::string>{}, server.errors.Entries());
}

TEST_F(SocketServerTest, a_packet_without_buffer_or_with_an_unknown_code_is_reported_and_kept)
{
    CEchoServer server;
    server.corruptedReadRequests = 2;
    StartServer(server);
    CClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(server.errorCount.WaitFor(2));

    std::vector<std::string> errors = server.errors.Entries();
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ(
        (std::vector<std::string>{"CSocketServer::WorkerThread::Run() - Unexpected - pBuffer is 0",
                                  "CSocketServer::WorkerThread::Run() - Unexpected operation"}),
        errors);

    // Both packets keep their socket reference: the connection is neither closed nor pooled.
    client.Close();
    EXPECT_EQ(1u, server.GetActiveSocketCount());
    EXPECT_FALSE(server.closed.WaitFor(1, 300));

    server.Shutdown();  // reclaims what the packets kept
    EXPECT_EQ(1, server.closed.Value());
    EXPECT_EQ(server.created.Value(), server.destroyed.Value());
    EXPECT_EQ(0u, server.GetInUseBufferCount());
    EXPECT_EQ(2u, server.errors.Entries().size());
}

TEST_F(SocketServerTest, zero_byte_reads_precede_the_real_reads)
{
    CEchoServer server(0, 2, true, true);
    StartServer(server);
    CClient client(server.Port());
    const std::string data(3000, 'z');
    ASSERT_TRUE(client.Send(data));
    EXPECT_EQ(data, client.Receive(data.size()));
    server.Shutdown();
    EXPECT_EQ(std::vector<std::string>{}, server.errors.Entries());
}

TEST_F(SocketServerTest, zero_worker_threads_means_twice_the_processors)
{
#ifdef _WIN32
    SYSTEM_INFO systemInfo;
    GetSystemInfo(&systemInfo);
    const DWORD processors = systemInfo.dwNumberOfProcessors;
#else
    const DWORD processors = std::thread::hardware_concurrency();
#endif
    CEchoServer server(0, 0);
    EXPECT_EQ(2 * processors, server.GetWorkerThreadCount());
    server.Start();
    ASSERT_TRUE(server.threadsCreated.WaitFor(static_cast<int>(2 * processors)));
    server.Shutdown();
    EXPECT_EQ(server.threadsCreated.Value(), server.threadsDestroyed.Value());
}

namespace {

// Opens, uses and closes its share of the connections one after another.
class CLoadClient : public CThread {
public:
    CLoadClient(unsigned short port, int connections, int seed)
        : m_port(port), m_connections(connections), m_seed(seed)
    {
    }
    std::atomic<int> failures{0};
    std::atomic<long long> bytesEchoed{0};

private:
    int Run() override
    {
        unsigned state = static_cast<unsigned>(m_seed) * 2654435761u + 1;
        auto next = [&] {
            state = state * 1103515245u + 12345u;
            return (state >> 8) & 0xFFFF;
        };
        for (int i = 0; i < m_connections; ++i) {
            CClient client(m_port);
            if (!client.Connected()) {
                ++failures;
                continue;
            }
            const size_t size = 1 + next() % 6000;
            std::string data(size, '\0');
            for (char &c : data)
                c = static_cast<char>(next());
            // Sent in pieces and read back whole: the echo must keep every byte in order.
            size_t sent = 0;
            while (sent < size) {
                const size_t piece = std::min<size_t>(size - sent, 1 + next() % 2500);
                if (!client.Send(data.substr(sent, piece)))
                    break;
                sent += piece;
            }
            if (client.Receive(size) != data)
                ++failures;
            else
                bytesEchoed += static_cast<long long>(size);
        }
        return 0;
    }

    unsigned short m_port;
    int m_connections;
    int m_seed;
};

}  // namespace

TEST_F(SocketServerTest, a_thousand_connections_echo_every_byte_and_leak_nothing)
{
    constexpr int kClients = 4;
    constexpr int kConnectionsEach = 250;
    CEchoServer server(0, 4);
    StartServer(server);

    std::vector<std::unique_ptr<CLoadClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<CLoadClient>(server.Port(), kConnectionsEach, i));
        clients.back()->Start();
    }
    for (auto &client : clients)
        client->Wait();

    for (auto &client : clients)
        EXPECT_EQ(0, client->failures);
    ASSERT_TRUE(server.closed.WaitFor(kClients * kConnectionsEach));
    ASSERT_TRUE(AllReleased(server));
    EXPECT_EQ(kClients * kConnectionsEach, server.established.Value());
    EXPECT_EQ(kClients * kConnectionsEach, server.clientCloses.Value());
    EXPECT_EQ(0, server.connectionErrors.Value());
    EXPECT_EQ(static_cast<size_t>(server.created.Value()), server.GetFreeSocketCount());

    server.Shutdown();
    EXPECT_EQ(server.created.Value(), server.destroyed.Value());
    EXPECT_EQ(0u, server.GetInUseBufferCount());
    EXPECT_EQ(std::vector<std::string>{}, server.errors.Entries());
}
