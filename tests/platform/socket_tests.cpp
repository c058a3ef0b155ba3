#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "socket_test_support.h"

using sockettest::Connection;
using sockettest::Listen;
using sockettest::NewSocket;
using sockettest::ReceiveAll;
using sockettest::SetResetOnClose;

namespace {

constexpr DWORD kWaitMs = 10000;

struct Completion {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = nullptr;
};

Completion Wait(HANDLE port, DWORD ms = kWaitMs)
{
    Completion c;
    c.ok = GetQueuedCompletionStatus(port, &c.bytes, &c.key, &c.overlapped, ms);
    c.error = c.ok ? 0 : GetLastError();
    return c;
}

int StartRecv(SOCKET s, char *buffer, ULONG length, OVERLAPPED *overlapped)
{
    WSABUF wsabuf{length, buffer};
    DWORD received = 0;
    DWORD flags = 0;
    if (WSARecv(s, &wsabuf, 1, &received, &flags, overlapped, nullptr) == 0)
        return 0;
    return WSAGetLastError();
}

int StartSend(SOCKET s, char *buffer, ULONG length, OVERLAPPED *overlapped)
{
    WSABUF wsabuf{length, buffer};
    DWORD sent = 0;
    if (WSASend(s, &wsabuf, 1, &sent, 0, overlapped, nullptr) == 0)
        return 0;
    return WSAGetLastError();
}

// A listener, one accepted connection, and a port the server end is associated with (key 7).
class PortConnection : public sockettest::WinsockTest {
protected:
    void SetUp() override
    {
        WinsockTest::SetUp();
        listener = Listen(port);
        ASSERT_NE(INVALID_SOCKET, listener);
        connection = sockettest::Connect(listener, port);
        ASSERT_NE(INVALID_SOCKET, connection.client);
        ASSERT_NE(INVALID_SOCKET, connection.server);
        ASSERT_TRUE(sockettest::LimitBuffers(connection.server, connection.client));
        completionPort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        ASSERT_NE(nullptr, completionPort);
        ASSERT_EQ(completionPort,
                  CreateIoCompletionPort(reinterpret_cast<HANDLE>(connection.server),
                                         completionPort, 7, 0));
    }

    void TearDown() override
    {
        closesocket(connection.client);
        closesocket(connection.server);
        closesocket(listener);
        CloseHandle(completionPort);
        WinsockTest::TearDown();
    }

    USHORT port = 0;
    SOCKET listener = INVALID_SOCKET;
    Connection connection;
    HANDLE completionPort = nullptr;
};

}  // namespace

TEST(Winsock, start_up_is_counted_and_sockets_need_it)
{
    WSADATA data{};
    EXPECT_EQ(WSAEFAULT, WSAStartup(MAKEWORD(2, 2), nullptr));
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(0, WSACleanup());
    SOCKET s = NewSocket();
    EXPECT_NE(INVALID_SOCKET, s);
    EXPECT_EQ(0, closesocket(s));
    EXPECT_EQ(0, WSACleanup());

    EXPECT_EQ(INVALID_SOCKET, NewSocket());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

class Sockets : public sockettest::WinsockTest {};

TEST_F(Sockets, a_second_bind_on_a_used_port_fails_with_address_in_use)
{
    USHORT port = 0;
    SOCKET first = Listen(port);
    ASSERT_NE(INVALID_SOCKET, first);
    SOCKET second = NewSocket();
    ASSERT_NE(INVALID_SOCKET, second);
    sockaddr_in address = sockettest::Loopback(port);
    EXPECT_EQ(SOCKET_ERROR, bind(second, reinterpret_cast<sockaddr *>(&address), 16));
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
    closesocket(second);
    closesocket(first);
}

TEST_F(Sockets, calls_on_a_closed_socket_fail_with_not_a_socket)
{
    SOCKET s = NewSocket();
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_EQ(0, closesocket(s));
    EXPECT_EQ(SOCKET_ERROR, closesocket(s));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, listen(s, 5));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, shutdown(s, SD_BOTH));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    linger option{1, 0};
    EXPECT_EQ(SOCKET_ERROR, setsockopt(s, SOL_SOCKET, SO_LINGER,
                                       reinterpret_cast<const char *>(&option), sizeof(option)));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, closesocket(INVALID_SOCKET));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

TEST_F(Sockets, accept_reports_the_peer_address_and_both_ends_see_each_other)
{
    USHORT port = 0;
    SOCKET listener = Listen(port);
    ASSERT_NE(INVALID_SOCKET, listener);
    SOCKET client = sockettest::Connect(port);
    ASSERT_NE(INVALID_SOCKET, client);
    char addressBuffer[64];
    std::memset(addressBuffer, 0xcc, sizeof(addressBuffer));
    int length = sizeof(addressBuffer);
    SOCKET server =
        WSAAccept(listener, reinterpret_cast<sockaddr *>(addressBuffer), &length, nullptr, 0);
    ASSERT_NE(INVALID_SOCKET, server);
    EXPECT_EQ(16, length);
    sockaddr_in peer;
    std::memcpy(&peer, addressBuffer, sizeof(peer));
    EXPECT_EQ(AF_INET, peer.sin_family);
    EXPECT_STREQ("127.0.0.1", inet_ntoa(peer.sin_addr));

    sockaddr_in clientName{};
    int clientLength = sizeof(clientName);
    ASSERT_EQ(0, getsockname(client, reinterpret_cast<sockaddr *>(&clientName), &clientLength));
    EXPECT_EQ(clientName.sin_port, peer.sin_port);
    sockaddr_in serverPeer{};
    int serverPeerLength = sizeof(serverPeer);
    ASSERT_EQ(0, getpeername(client, reinterpret_cast<sockaddr *>(&serverPeer), &serverPeerLength));
    EXPECT_EQ(htons(port), serverPeer.sin_port);

    // Plain blocking calls in both directions.
    char hello[] = "hello";
    EXPECT_EQ(5, send(client, hello, 5, 0));
    char received[5];
    ASSERT_TRUE(ReceiveAll(server, received, 5));
    EXPECT_EQ(0, std::memcmp(hello, received, 5));

    closesocket(server);
    closesocket(client);
    closesocket(listener);
}

TEST_F(Sockets, options_are_set_and_read_back)
{
    SOCKET s = NewSocket();
    ASSERT_NE(INVALID_SOCKET, s);
    int on = 1;
    ASSERT_EQ(0, setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
                            sizeof(on)));
    ASSERT_EQ(0, setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on),
                            sizeof(on)));
    ASSERT_TRUE(SetResetOnClose(s));
    linger option{};
    int length = sizeof(option);
    ASSERT_EQ(0, getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char *>(&option), &length));
    EXPECT_NE(0, option.l_onoff);
    EXPECT_EQ(0, option.l_linger);
    int value = 0;
    length = sizeof(value);
    ASSERT_EQ(0,
              getsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&value), &length));
    EXPECT_NE(0, value);
    closesocket(s);
}

TEST_F(Sockets, overlapped_calls_on_a_socket_without_a_port_are_refused)
{
    USHORT port = 0;
    SOCKET listener = Listen(port);
    ASSERT_NE(INVALID_SOCKET, listener);
    Connection c = sockettest::Connect(listener, port);
    ASSERT_NE(INVALID_SOCKET, c.server);
    char buffer[8];
    OVERLAPPED overlapped{};
    EXPECT_EQ(WSAEINVAL, StartRecv(c.server, buffer, sizeof(buffer), &overlapped));
    closesocket(c.client);
    closesocket(c.server);
    closesocket(listener);
}

TEST_F(Sockets, a_socket_is_associated_with_one_port_only)
{
    SOCKET s = NewSocket();
    ASSERT_NE(INVALID_SOCKET, s);
    HANDLE first = CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), nullptr, 1, 0);
    ASSERT_NE(nullptr, first);
    HANDLE second = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(nullptr, CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), second, 2, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    closesocket(s);
    CloseHandle(first);
    CloseHandle(second);
}

TEST_F(PortConnection, a_pending_read_completes_on_the_port_when_data_arrives)
{
    char buffer[64];
    OVERLAPPED overlapped{};
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, buffer, sizeof(buffer), &overlapped));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Wait(completionPort, 0).error);

    char hello[] = "hello, port";
    ASSERT_EQ(11, send(connection.client, hello, 11, 0));
    Completion c = Wait(completionPort);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(7u, c.key);
    EXPECT_EQ(&overlapped, c.overlapped);
    EXPECT_EQ(11u, c.bytes);
    EXPECT_EQ(0, std::memcmp(hello, buffer, 11));
}

TEST_F(PortConnection, a_read_with_data_already_there_completes_at_once_and_still_queues_a_packet)
{
    char hello[] = "early";
    ASSERT_EQ(5, send(connection.client, hello, 5, 0));
    // Wait until the bytes have arrived, through a zero-length read that takes none of them.
    OVERLAPPED probe{};
    char unused = 0;
    int started = StartRecv(connection.server, &unused, 0, &probe);
    ASSERT_TRUE(started == 0 || started == WSA_IO_PENDING) << started;
    Completion ready = Wait(completionPort);
    ASSERT_TRUE(ready.ok);
    EXPECT_EQ(&probe, ready.overlapped);
    EXPECT_EQ(0u, ready.bytes);

    char buffer[16];
    OVERLAPPED overlapped{};
    WSABUF wsabuf{sizeof(buffer), buffer};
    DWORD received = 0;
    DWORD flags = 0;
    ASSERT_EQ(0, WSARecv(connection.server, &wsabuf, 1, &received, &flags, &overlapped, nullptr));
    EXPECT_EQ(5u, received);
    Completion c = Wait(completionPort);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(&overlapped, c.overlapped);
    EXPECT_EQ(5u, c.bytes);
    EXPECT_EQ(0, std::memcmp(hello, buffer, 5));
}

TEST_F(PortConnection, reads_complete_in_the_order_they_were_started)
{
    char first[4], second[4], third[4];
    OVERLAPPED o1{}, o2{}, o3{};
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, first, 4, &o1));
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, second, 4, &o2));
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, third, 4, &o3));
    char data[] = "aaaabbbbcccc";
    ASSERT_EQ(12, send(connection.client, data, 12, 0));
    std::string got;
    for (OVERLAPPED *expected : {&o1, &o2, &o3}) {
        Completion c = Wait(completionPort);
        ASSERT_TRUE(c.ok);
        ASSERT_EQ(expected, c.overlapped);
        char *buffer = c.overlapped == &o1 ? first : c.overlapped == &o2 ? second : third;
        got.append(buffer, c.bytes);
    }
    // Each read takes what is there, up to its length; together they hold the stream in order.
    EXPECT_EQ(std::string("aaaabbbbcccc"), got);
}

TEST_F(PortConnection, a_large_send_completes_once_with_every_byte_sent)
{
    // Far more than the socket buffers hold, so the send must wait for the reader.
    std::vector<char> data(8 * 1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + (i >> 13));
    OVERLAPPED overlapped{};
    int started =
        StartSend(connection.server, data.data(), static_cast<ULONG>(data.size()), &overlapped);
    ASSERT_EQ(WSA_IO_PENDING, started);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Wait(completionPort, 0).error);

    std::vector<char> received(data.size());
    ASSERT_TRUE(ReceiveAll(connection.client, received.data(), static_cast<int>(received.size())));
    Completion c = Wait(completionPort);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(&overlapped, c.overlapped);
    EXPECT_EQ(static_cast<DWORD>(data.size()), c.bytes);
    EXPECT_TRUE(data == received);
}

TEST_F(PortConnection, writes_queued_behind_a_waiting_write_go_out_in_order)
{
    std::vector<char> big(4 * 1024 * 1024, 'x');
    char tail[] = "tail";
    OVERLAPPED o1{}, o2{};
    ASSERT_EQ(WSA_IO_PENDING,
              StartSend(connection.server, big.data(), static_cast<ULONG>(big.size()), &o1));
    ASSERT_EQ(WSA_IO_PENDING, StartSend(connection.server, tail, 4, &o2));
    std::vector<char> received(big.size() + 4);
    ASSERT_TRUE(ReceiveAll(connection.client, received.data(), static_cast<int>(received.size())));
    EXPECT_EQ(0, std::memcmp(received.data() + big.size(), "tail", 4));
    Completion c1 = Wait(completionPort);
    Completion c2 = Wait(completionPort);
    EXPECT_EQ(&o1, c1.overlapped);
    EXPECT_EQ(static_cast<DWORD>(big.size()), c1.bytes);
    EXPECT_EQ(&o2, c2.overlapped);
    EXPECT_EQ(4u, c2.bytes);
}

TEST_F(PortConnection, a_zero_length_read_waits_for_data_and_takes_none)
{
    char unused = 0;
    OVERLAPPED probe{};
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, &unused, 0, &probe));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Wait(completionPort, 0).error);
    char data[] = "xyz";
    ASSERT_EQ(3, send(connection.client, data, 3, 0));
    Completion ready = Wait(completionPort);
    ASSERT_TRUE(ready.ok);
    EXPECT_EQ(&probe, ready.overlapped);
    EXPECT_EQ(0u, ready.bytes);
    char buffer[3];
    ASSERT_TRUE(ReceiveAll(connection.server, buffer, 3));
    EXPECT_EQ(0, std::memcmp(data, buffer, 3));
}

TEST_F(PortConnection, the_peer_closing_completes_a_pending_read_with_zero_bytes)
{
    char buffer[16];
    OVERLAPPED overlapped{};
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, buffer, sizeof(buffer), &overlapped));
    ASSERT_EQ(0, closesocket(connection.client));
    connection.client = INVALID_SOCKET;
    Completion c = Wait(completionPort);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(&overlapped, c.overlapped);
    EXPECT_EQ(0u, c.bytes);
}

TEST_F(PortConnection, closing_the_socket_aborts_its_pending_operations)
{
    char first[16], second[16];
    OVERLAPPED o1{}, o2{};
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, first, sizeof(first), &o1));
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, second, sizeof(second), &o2));
    ASSERT_EQ(0, closesocket(connection.server));
    connection.server = INVALID_SOCKET;
    for (OVERLAPPED *expected : {&o1, &o2}) {
        Completion c = Wait(completionPort);
        EXPECT_FALSE(c.ok);
        EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), c.error);
        EXPECT_EQ(expected, c.overlapped);
        EXPECT_EQ(7u, c.key);
        EXPECT_EQ(0u, c.bytes);
    }
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Wait(completionPort, 0).error);
}

TEST_F(PortConnection, a_reset_by_the_peer_fails_the_pending_read_and_every_later_call)
{
    char buffer[16];
    OVERLAPPED overlapped{};
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, buffer, sizeof(buffer), &overlapped));
    ASSERT_TRUE(SetResetOnClose(connection.client));
    ASSERT_EQ(0, closesocket(connection.client));
    connection.client = INVALID_SOCKET;

    // The completion carries the packet and the error a failed connection completes with.
    Completion c = Wait(completionPort);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NETNAME_DELETED), c.error);
    EXPECT_EQ(&overlapped, c.overlapped);
    EXPECT_EQ(7u, c.key);
    EXPECT_EQ(0u, c.bytes);

    // Later calls fail at once with the reset and queue nothing.
    OVERLAPPED again{};
    EXPECT_EQ(WSAECONNRESET, StartRecv(connection.server, buffer, sizeof(buffer), &again));
    char data[] = "late";
    EXPECT_EQ(WSAECONNRESET, StartSend(connection.server, data, 4, &again));
    EXPECT_EQ(SOCKET_ERROR, recv(connection.server, buffer, sizeof(buffer), 0));
    EXPECT_EQ(WSAECONNRESET, WSAGetLastError());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Wait(completionPort, 0).error);
}

TEST_F(PortConnection, a_read_started_after_the_reset_arrived_fails_at_once_with_the_reset)
{
    ASSERT_TRUE(SetResetOnClose(connection.client));
    ASSERT_EQ(0, closesocket(connection.client));
    connection.client = INVALID_SOCKET;
    // Until the reset has arrived a read may still be pending; it then fails on the port.
    char buffer[16];
    OVERLAPPED overlapped{};
    int started = StartRecv(connection.server, buffer, sizeof(buffer), &overlapped);
    if (started == WSA_IO_PENDING) {
        Completion c = Wait(completionPort);
        EXPECT_EQ(static_cast<DWORD>(ERROR_NETNAME_DELETED), c.error);
        started = StartRecv(connection.server, buffer, sizeof(buffer), &overlapped);
    }
    EXPECT_EQ(WSAECONNRESET, started);
}

TEST_F(PortConnection, sending_to_a_vanished_peer_fails_without_killing_the_process)
{
    ASSERT_EQ(0, closesocket(connection.client));
    connection.client = INVALID_SOCKET;
    char data[1024] = {};
    int error = 0;
    // The first sends may still succeed; the peer's reset then breaks the connection.
    for (int i = 0; i < 1000 && error == 0; ++i) {
        OVERLAPPED overlapped{};
        int started = StartSend(connection.server, data, sizeof(data), &overlapped);
        if (started == 0 || started == WSA_IO_PENDING) {
            Completion c = Wait(completionPort);
            if (!c.ok)
                error = static_cast<int>(c.error);
        } else {
            error = started;
        }
    }
    EXPECT_TRUE(error == WSAECONNRESET || error == WSAESHUTDOWN ||
                error == static_cast<int>(ERROR_NETNAME_DELETED))
        << error;
}

TEST_F(PortConnection, a_read_pending_at_our_receive_shutdown_waits_for_the_peer_or_closesocket)
{
    char buffer[8];
    OVERLAPPED overlapped{};
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, buffer, sizeof(buffer), &overlapped));
    ASSERT_EQ(0, shutdown(connection.server, SD_RECEIVE));
    // Neither the shut-down nor the peer's data completes it.
    char data[] = "late";
    ASSERT_EQ(4, send(connection.client, data, 4, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Wait(completionPort, 50).error);

    ASSERT_EQ(0, closesocket(connection.server));
    connection.server = INVALID_SOCKET;
    Completion c = Wait(completionPort);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), c.error);
    EXPECT_EQ(&overlapped, c.overlapped);
}

TEST_F(PortConnection, reads_pending_at_our_shutdown_end_with_zero_bytes_when_the_peer_closes)
{
    char first[8];
    char second[8];
    OVERLAPPED o1{};
    OVERLAPPED o2{};
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, first, sizeof(first), &o1));
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, second, sizeof(second), &o2));
    ASSERT_EQ(0, shutdown(connection.server, SD_BOTH));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Wait(completionPort, 50).error);

    char end[8];
    EXPECT_EQ(0, recv(connection.client, end, sizeof(end), 0));  // our end of stream
    ASSERT_EQ(0, closesocket(connection.client));
    connection.client = INVALID_SOCKET;
    for (OVERLAPPED *expected : {&o1, &o2}) {
        Completion c = Wait(completionPort);
        EXPECT_TRUE(c.ok) << c.error;
        EXPECT_EQ(0u, c.bytes);
        EXPECT_EQ(expected, c.overlapped);
    }
    // The connection is over; shutting it down again is still taken, as Winsock does.
    EXPECT_EQ(0, shutdown(connection.server, SD_RECEIVE));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Wait(completionPort, 0).error);
}

TEST_F(PortConnection, a_read_pending_at_our_shutdown_fails_when_the_peer_resets)
{
    char buffer[8];
    OVERLAPPED overlapped{};
    ASSERT_EQ(WSA_IO_PENDING, StartRecv(connection.server, buffer, sizeof(buffer), &overlapped));
    ASSERT_EQ(0, shutdown(connection.server, SD_BOTH));
    ASSERT_TRUE(SetResetOnClose(connection.client));
    ASSERT_EQ(0, closesocket(connection.client));
    connection.client = INVALID_SOCKET;

    Completion c = Wait(completionPort);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NETNAME_DELETED), c.error);
    EXPECT_EQ(&overlapped, c.overlapped);
}

TEST_F(PortConnection, shutting_down_each_direction)
{
    ASSERT_EQ(0, shutdown(connection.server, SD_SEND));
    char buffer[8];
    EXPECT_EQ(0, recv(connection.client, buffer, sizeof(buffer), 0));  // end of stream
    OVERLAPPED overlapped{};
    char data[] = "no";
    EXPECT_EQ(WSAESHUTDOWN, StartSend(connection.server, data, 2, &overlapped));

    ASSERT_EQ(0, shutdown(connection.server, SD_RECEIVE));
    EXPECT_EQ(WSAESHUTDOWN, StartRecv(connection.server, buffer, sizeof(buffer), &overlapped));
    EXPECT_EQ(SOCKET_ERROR, shutdown(connection.server, 3));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), Wait(completionPort, 0).error);
}

namespace {

// True once thread `tid` of this process is inside system call `number`.
bool WaitUntilInSystemCall(pid_t tid, long number)
{
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/self/task/%d/syscall", static_cast<int>(tid));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream file(path);
        long current = -1;
        if (file >> current && current == number)
            return true;
        std::this_thread::yield();
    }
    return false;
}

}  // namespace

TEST_F(Sockets, closing_a_listening_socket_releases_a_blocked_accept)
{
    USHORT port = 0;
    SOCKET listener = Listen(port);
    ASSERT_NE(INVALID_SOCKET, listener);
    std::atomic<pid_t> acceptingThread{0};
    SOCKET accepted = 0;
    int error = 0;
    std::thread acceptor([&] {
        acceptingThread = static_cast<pid_t>(syscall(SYS_gettid));
        accepted = WSAAccept(listener, nullptr, nullptr, nullptr, 0);
        error = WSAGetLastError();
    });
    while (acceptingThread == 0)
        std::this_thread::yield();
    // Closed while the thread is really blocked, not before it got there.
    EXPECT_TRUE(WaitUntilInSystemCall(acceptingThread, SYS_accept4));
    ASSERT_EQ(0, closesocket(listener));
    // The port is free as soon as closesocket returns, so accepting can start again at once.
    SOCKET again = NewSocket();
    sockaddr_in address = sockettest::Loopback(port);
    EXPECT_EQ(0, bind(again, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
    closesocket(again);
    acceptor.join();
    EXPECT_EQ(INVALID_SOCKET, accepted);
    EXPECT_EQ(WSAEINTR, error);
}

TEST_F(Sockets, closing_a_socket_releases_a_blocked_receive)
{
    USHORT port = 0;
    SOCKET listener = Listen(port);
    ASSERT_NE(INVALID_SOCKET, listener);
    Connection c = sockettest::Connect(listener, port);
    ASSERT_NE(INVALID_SOCKET, c.server);
    std::atomic<pid_t> receivingThread{0};
    int result = 0;
    int error = 0;
    std::thread receiver([&] {
        receivingThread = static_cast<pid_t>(syscall(SYS_gettid));
        char buffer[8];
        result = recv(c.client, buffer, sizeof(buffer), 0);
        error = WSAGetLastError();
    });
    while (receivingThread == 0)
        std::this_thread::yield();
    EXPECT_TRUE(WaitUntilInSystemCall(receivingThread, SYS_recvfrom));
    ASSERT_EQ(0, closesocket(c.client));
    receiver.join();
    EXPECT_EQ(SOCKET_ERROR, result);
    EXPECT_EQ(WSAEINTR, error);
    closesocket(c.server);
    closesocket(listener);
}

TEST(WinsockErrors, the_connection_errors_callers_test_for_have_their_winsock_numbers)
{
    using pelmora::platform::WinsockErrorFromErrno;
    EXPECT_EQ(10054u, WinsockErrorFromErrno(ECONNRESET));
    EXPECT_EQ(10053u, WinsockErrorFromErrno(ECONNABORTED));
    EXPECT_EQ(10058u, WinsockErrorFromErrno(EPIPE));
    EXPECT_EQ(10058u, WinsockErrorFromErrno(ESHUTDOWN));
    EXPECT_EQ(10038u, WinsockErrorFromErrno(EBADF));
    EXPECT_EQ(10038u, WinsockErrorFromErrno(ENOTSOCK));
    EXPECT_EQ(10048u, WinsockErrorFromErrno(EADDRINUSE));
}

TEST_F(Sockets, plain_sends_to_a_vanished_peer_fail_without_a_signal)
{
    USHORT port = 0;
    SOCKET listener = Listen(port);
    ASSERT_NE(INVALID_SOCKET, listener);
    Connection c = sockettest::Connect(listener, port);
    ASSERT_NE(INVALID_SOCKET, c.server);
    ASSERT_EQ(0, closesocket(c.client));
    char data[1024] = {};
    int result = 0;
    for (int i = 0; i < 1000 && result != SOCKET_ERROR; ++i)
        result = send(c.server, data, sizeof(data), 0);
    EXPECT_EQ(SOCKET_ERROR, result);
    int error = WSAGetLastError();
    EXPECT_TRUE(error == WSAECONNRESET || error == WSAESHUTDOWN) << error;
    closesocket(c.server);
    closesocket(listener);
}
