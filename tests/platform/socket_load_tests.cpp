#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "socket_test_support.h"

namespace {

// One server end of the echo: a read, then a write of what was read, then the next read.
struct EchoConnection {
    SOCKET socket = INVALID_SOCKET;
    OVERLAPPED overlapped{};
    bool writing = false;
    char buffer[512];
};

// An echo server whose workers do nothing but take completions from one port.
class EchoServer {
public:
    EchoServer(SOCKET listener, int expectedConnections, int workers)
        : listener_(listener), expected_(expectedConnections)
    {
        port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        for (int i = 0; i < workers; ++i)
            workers_.emplace_back([this] { Work(); });
        acceptor_ = std::thread([this] { Accept(); });
    }

    ~EchoServer() { JoinAll(); }

    void JoinAll()
    {
        if (!acceptor_.joinable())
            return;
        acceptor_.join();
        for (size_t i = 0; i < workers_.size(); ++i)
            PostQueuedCompletionStatus(port_, 0, 0, nullptr);
        for (auto &worker : workers_)
            worker.join();
        CloseHandle(port_);
    }

    // Waits until every expected connection was closed by the server.
    bool WaitAllClosed(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> guard(lock_);
        return allClosed_.wait_for(guard, limit, [this] { return closed_ == expected_; });
    }

    int Errors() const { return errors_; }

private:
    void Accept()
    {
        for (int i = 0; i < expected_; ++i) {
            SOCKET s = WSAAccept(listener_, nullptr, nullptr, nullptr, 0);
            if (s == INVALID_SOCKET) {
                ++errors_;
                return;
            }
            auto *connection = new EchoConnection;
            connection->socket = s;
            if (CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), port_,
                                       reinterpret_cast<ULONG_PTR>(connection), 0) != port_) {
                ++errors_;
                Finish(connection);
                continue;
            }
            StartRead(connection);
        }
    }

    void StartRead(EchoConnection *connection)
    {
        connection->writing = false;
        WSABUF wsabuf{sizeof(connection->buffer), connection->buffer};
        DWORD received = 0;
        DWORD flags = 0;
        if (WSARecv(connection->socket, &wsabuf, 1, &received, &flags, &connection->overlapped,
                    nullptr) != 0 &&
            WSAGetLastError() != WSA_IO_PENDING) {
            ++errors_;
            Finish(connection);
        }
    }

    void StartWrite(EchoConnection *connection, DWORD length)
    {
        connection->writing = true;
        WSABUF wsabuf{length, connection->buffer};
        DWORD sent = 0;
        if (WSASend(connection->socket, &wsabuf, 1, &sent, 0, &connection->overlapped, nullptr) !=
                0 &&
            WSAGetLastError() != WSA_IO_PENDING) {
            ++errors_;
            Finish(connection);
        }
    }

    // Only ever one operation is in flight per connection, so nothing else can complete for it.
    void Finish(EchoConnection *connection)
    {
        if (closesocket(connection->socket) != 0)
            ++errors_;
        delete connection;
        std::lock_guard<std::mutex> guard(lock_);
        if (++closed_ == expected_)
            allClosed_.notify_all();
    }

    void Work()
    {
        for (;;) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED overlapped = nullptr;
            BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, INFINITE);
            if (ok && key == 0)
                return;
            auto *connection = reinterpret_cast<EchoConnection *>(key);
            if (!overlapped || overlapped != &connection->overlapped) {
                ++errors_;
                continue;
            }
            if (!ok) {
                ++errors_;
                Finish(connection);
            } else if (connection->writing) {
                StartRead(connection);
            } else if (bytes == 0) {
                Finish(connection);  // the client closed its side
            } else {
                StartWrite(connection, bytes);
            }
        }
    }

    SOCKET listener_;
    int expected_;
    HANDLE port_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
    std::atomic<int> errors_{0};
    std::mutex lock_;
    std::condition_variable allClosed_;
    int closed_ = 0;
};

class SocketLoad : public sockettest::WinsockTest {};

}  // namespace

TEST_F(SocketLoad, a_thousand_connections_echo_every_byte_and_leave_no_descriptor_behind)
{
    // The reactor's own descriptor exists from the first association on; make it now.
    {
        SOCKET s = sockettest::NewSocket();
        HANDLE port = CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), nullptr, 1, 0);
        ASSERT_NE(nullptr, port);
        closesocket(s);
        CloseHandle(port);
    }
    const int descriptorsBefore = sockettest::OpenDescriptorCount();

    constexpr int kClientThreads = 4;
    constexpr int kRounds = 25;
    constexpr int kOpenAtOnce = 10;
    constexpr int kConnections = kClientThreads * kRounds * kOpenAtOnce;
    static_assert(kConnections == 1000, "the test is about a thousand connections");

    USHORT port = 0;
    SOCKET listener = sockettest::Listen(port);
    ASSERT_NE(INVALID_SOCKET, listener);
    std::atomic<int> clientFailures{0};
    std::atomic<int> echoed{0};
    int serverErrors = 0;
    {
        EchoServer server(listener, kConnections, 4);
        std::vector<std::thread> clients;
        for (int t = 0; t < kClientThreads; ++t) {
            clients.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round) {
                    SOCKET open[kOpenAtOnce];
                    std::string messages[kOpenAtOnce];
                    for (int i = 0; i < kOpenAtOnce; ++i) {
                        open[i] = sockettest::Connect(port);
                        messages[i] = "client " + std::to_string(t) + " round " +
                                      std::to_string(round) + " connection " + std::to_string(i) +
                                      std::string(static_cast<size_t>(i * 37), '*');
                    }
                    for (int i = 0; i < kOpenAtOnce; ++i) {
                        const std::string &m = messages[i];
                        if (send(open[i], m.data(), m.size(), 0) != static_cast<int>(m.size()))
                            ++clientFailures;
                    }
                    for (int i = 0; i < kOpenAtOnce; ++i) {
                        const std::string &m = messages[i];
                        std::string back(m.size(), '\0');
                        if (sockettest::ReceiveAll(open[i], &back[0],
                                                   static_cast<int>(back.size())) &&
                            back == m)
                            ++echoed;
                        else
                            ++clientFailures;
                        closesocket(open[i]);
                    }
                }
            });
        }
        for (auto &client : clients)
            client.join();
        EXPECT_TRUE(server.WaitAllClosed(std::chrono::seconds(60)));
        // Also releases the acceptor should a connection never have arrived.
        closesocket(listener);
        server.JoinAll();
        serverErrors = server.Errors();
    }

    EXPECT_EQ(0, clientFailures.load());
    EXPECT_EQ(0, serverErrors);
    EXPECT_EQ(kConnections, echoed.load());
    EXPECT_EQ(descriptorsBefore, sockettest::OpenDescriptorCount());
}
