// Loopback socket helpers shared by the system tests' clients: a free port, the request
// bytes of a query, and sends and receives on a plain descriptor that give up after a time.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>

#include "platform/win32.h"

// 127.0.0.1 and `port`.
sockaddr_in LoopbackAddress(unsigned short port);

// A free loopback port at the time of asking.
unsigned short FreePort();

// The 128 request bytes of a query.
std::string Request(LONG nOperation, DWORD nStationNumber, DWORD nSlot);

// Sends every byte; false when the connection fails first.
bool SendAll(int fd, const void *data, size_t length);
// Exactly `length` bytes, or false when the connection ends or the time runs out first.
bool ReceiveExactly(int fd, std::string &bytes, size_t length, int timeoutMs);
// Everything up to the end of the connection (a reset counts as an end); false when it does
// not end in time.
bool ReceiveUntilEnd(int fd, std::string &bytes, int timeoutMs);
