// Loopback helpers shared by the socket and completion-port tests.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include "platform/win32.h"

namespace sockettest {

// Winsock started for the lifetime of a test.
class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    }
    void TearDown() override { EXPECT_EQ(0, WSACleanup()); }
};

inline sockaddr_in Loopback(USHORT port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline SOCKET NewSocket()
{
    return WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

// A socket listening on 127.0.0.1 at a port the system chose; `port` receives it.
inline SOCKET Listen(USHORT &port)
{
    SOCKET s = NewSocket();
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in address = Loopback(0);
    int length = sizeof(address);
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(s, 64) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    port = ntohs(address.sin_port);
    return s;
}

inline SOCKET Connect(USHORT port)
{
    SOCKET s = NewSocket();
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in address = Loopback(port);
    if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Both ends of one loopback connection.
struct Connection {
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;
};

inline Connection Connect(SOCKET listener, USHORT port)
{
    Connection c;
    c.client = Connect(port);
    if (c.client != INVALID_SOCKET)
        c.server = WSAAccept(listener, nullptr, nullptr, nullptr, 0);
    return c;
}

// Makes closing `s` reset the connection.
inline bool SetResetOnClose(SOCKET s)
{
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    return setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&option),
                      sizeof(option)) == 0;
}

// Small socket buffers, so that a send of a few megabytes has to wait for the reader (the
// kernel would otherwise grow them far enough to take it all at once).
inline bool LimitBuffers(SOCKET sender, SOCKET receiver)
{
    int size = 64 * 1024;
    return setsockopt(sender, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&size),
                      sizeof(size)) == 0 &&
           setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size),
                      sizeof(size)) == 0;
}

// Receives exactly `length` bytes with plain blocking receives; false when the stream ends first.
inline bool ReceiveAll(SOCKET s, char *buffer, int length)
{
    int received = 0;
    while (received < length) {
        int n = recv(s, buffer + received, length - received, 0);
        if (n <= 0)
            return false;
        received += n;
    }
    return true;
}

inline int OpenDescriptorCount()
{
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        closedir(dir);
    }
    return count - 1;  // the directory stream itself
}

}  // namespace sockettest
