// A byte link to a weather console: a serial device or a TCP connection to a serial-to-network
// adapter. Every call is bounded by its time-out. A link is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace console {

class CConsoleLink {
public:
    virtual ~CConsoleLink() = default;

    // Sends every byte; false when the link failed or the bytes did not leave in time.
    virtual bool Send(const void *pBytes, size_t nLength, uint32_t nTimeoutMs) = 0;
    // Waits up to nTimeoutMs for bytes and reads what has arrived, at most nLength: the count,
    // 0 when none came in time, -1 when the link failed (closed, reset, unplugged).
    virtual int Receive(uint8_t *pBytes, size_t nLength, uint32_t nTimeoutMs) = 0;
    // Drops whatever has arrived and was not read yet.
    virtual void Discard() = 0;
};

// Opens `device`: "tcp:HOST:PORT" (HOST may be an IPv6 address in brackets) or a serial device
// (a path, or COMn on Windows), the latter at nSpeed, 8 data bits, no parity, 1 stop bit, no
// flow control, raw. Null with a reason in `error` when it cannot be opened within nTimeoutMs.
std::unique_ptr<CConsoleLink> OpenConsoleLink(const std::string &device, int32_t nSpeed,
                                              uint32_t nTimeoutMs, std::string &error);

// The two kinds, one implementation per system; `host` and `port` as ParseTcpDevice gives them.
std::unique_ptr<CConsoleLink> OpenSerialLink(const std::string &device, int32_t nSpeed,
                                             std::string &error);
std::unique_ptr<CConsoleLink> OpenTcpLink(const std::string &device, const std::string &host,
                                          const std::string &port, uint32_t nTimeoutMs,
                                          std::string &error);

// Splits "tcp:HOST:PORT"; false when `device` does not name a TCP link or its port is not a
// number from 1 to 65535.
bool ParseTcpDevice(const std::string &device, std::string &host, std::string &port);

}  // namespace console
