#include "console/ConsoleProtocol.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

namespace console {

uint16_t Crc16(const uint8_t *pBytes, size_t nLength, uint16_t crc)
{
    for (size_t i = 0; i < nLength; ++i) {
        crc = static_cast<uint16_t>(crc ^ (pBytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000u) ? (crc << 1) ^ 0x1021u : crc << 1);
    }
    return crc;
}

namespace {

uint16_t Word(const uint8_t *p, size_t offset)
{
    return static_cast<uint16_t>(p[offset] | (p[offset + 1] << 8));
}

}  // namespace

PacketResult ParseLoop(const uint8_t *p, LoopPacket &packet)
{
    if (Crc16(p, kLoopSize) != 0)
        return PacketResult::BadCrc;
    if (std::memcmp(p, "LOO", 3) != 0 || p[4] != 0 || p[95] != 0x0A || p[96] != 0x0D)
        return PacketResult::NotLoop;
    packet.nBarometer = Word(p, 7);
    packet.nOutsideTemp = static_cast<int16_t>(Word(p, 12));
    packet.nWindSpeed = p[14];
    packet.nWindDir = Word(p, 16);
    packet.nHumidity = p[33];
    packet.nSolar = Word(p, 44);
    packet.nStormRain = Word(p, 46);
    return PacketResult::Ok;
}

ConsoleValues ValuesOf(const LoopPacket &packet, uint8_t nCollectorByte)
{
    ConsoleValues v;
    // Direction 0 is the console's "no direction" (calm): no reading, like its dash value.
    if (packet.nWindDir >= 1 && packet.nWindDir <= 360)
        v.nWindDir = static_cast<int16_t>(packet.nWindDir);
    if (packet.nOutsideTemp != 32767)
        v.fOutsideTemp = static_cast<float>(packet.nOutsideTemp / 10.0);
    if (packet.nHumidity != 255)
        v.nHumidity = packet.nHumidity;
    if (packet.nBarometer != 0)
        v.fBarometer = static_cast<float>(packet.nBarometer / 1000.0);
    if (packet.nWindSpeed != 255)
        v.fWindSpeed = packet.nWindSpeed;
    if (packet.nSolar < 32767)
        v.nSolar = static_cast<int16_t>(packet.nSolar);
    // The collector's size: 0.01 in a click (rain code 0, inches), 0.2 mm or 0.1 mm (code 1).
    switch ((nCollectorByte >> 4) & 3) {
    case 0:
        v.units.RainUnit = 0;
        v.fStormRain = static_cast<float>(packet.nStormRain * 0.01);
        break;
    case 1:
        v.units.RainUnit = 1;
        v.fStormRain = static_cast<float>(packet.nStormRain * 0.2);
        break;
    case 2:
        v.units.RainUnit = 1;
        v.fStormRain = static_cast<float>(packet.nStormRain * 0.1);
        break;
    default: v.units.RainUnit = 1; break;  // a size the console does not define: no rain
    }
    return v;
}

class CConsoleSession::Deadline {
public:
    explicit Deadline(uint32_t nMs) : m_end(Clock::now() + std::chrono::milliseconds(nMs)) {}

    bool Passed() const { return Clock::now() >= m_end; }
    // Milliseconds left, at most nAtMost.
    uint32_t Left(uint32_t nAtMost = kCallBudgetMs) const
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_end - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<uint32_t>(std::min<long long>(left, nAtMost));
    }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point m_end;
};

bool CConsoleSession::WakeUp(const Deadline &deadline)
{
    static const uint8_t kLf = 0x0A;
    for (uint32_t nTry = 0; nTry < kWakeTries && !deadline.Passed(); ++nTry) {
        m_link.Discard();
        if (!m_link.Send(&kLf, 1, deadline.Left()))
            return false;
        // An awake console answers LF CR; anything before it is skipped.
        const Deadline wait(deadline.Left(kWakeWaitMs));
        uint8_t previous = 0;
        while (!wait.Passed()) {
            uint8_t byte = 0;
            const int n = m_link.Receive(&byte, 1, wait.Left());
            if (n < 0)
                return false;
            if (n == 0)
                continue;
            if (previous == 0x0A && byte == 0x0D)
                return true;
            previous = byte;
        }
    }
    return false;
}

bool CConsoleSession::Command(const char *szCommand, const Deadline &deadline)
{
    m_link.Discard();
    const std::string line = std::string(szCommand) + "\n";
    if (!m_link.Send(line.data(), line.size(), deadline.Left()))
        return false;
    // Junk before the acknowledgement is skipped.
    while (!deadline.Passed()) {
        uint8_t byte = 0;
        const int n = m_link.Receive(&byte, 1, deadline.Left());
        if (n < 0)
            return false;
        if (n == 1 && byte == kAck)
            return true;
    }
    return false;
}

bool CConsoleSession::ReadExactly(uint8_t *pBytes, size_t nLength, const Deadline &deadline)
{
    size_t nGot = 0;
    while (nGot < nLength && !deadline.Passed()) {
        const int n = m_link.Receive(pBytes + nGot, nLength - nGot, deadline.Left());
        if (n < 0)
            return false;
        nGot += static_cast<size_t>(n);
    }
    return nGot == nLength;
}

bool CConsoleSession::ReadCollector(uint8_t &nCollectorByte)
{
    const Deadline deadline(kCallBudgetMs);
    if (!WakeUp(deadline))
        return false;
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        uint8_t answer[3];
        if (!Command("EEBRD 2B 01", deadline) || !ReadExactly(answer, sizeof(answer), deadline))
            return false;
        if (Crc16(answer, sizeof(answer)) == 0) {
            nCollectorByte = answer[0];
            return true;
        }
    }
    return false;
}

bool CConsoleSession::ReadLoop(LoopPacket &packet)
{
    const Deadline deadline(kCallBudgetMs);
    if (!WakeUp(deadline))
        return false;
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        uint8_t bytes[kLoopSize];
        if (!Command("LOOP 1", deadline) || !ReadExactly(bytes, sizeof(bytes), deadline))
            return false;
        if (ParseLoop(bytes, packet) == PacketResult::Ok)
            return true;
    }
    return false;
}

bool ParseTcpDevice(const std::string &device, std::string &host, std::string &port)
{
    if (device.compare(0, 4, "tcp:") != 0)
        return false;
    const std::string rest = device.substr(4);
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long nPort = std::stol(port);
    return nPort >= 1 && nPort <= 65535 && !host.empty();
}

std::unique_ptr<CConsoleLink> OpenConsoleLink(const std::string &device, int32_t nSpeed,
                                              uint32_t nTimeoutMs, std::string &error)
{
    if (device.compare(0, 4, "tcp:") != 0)
        return OpenSerialLink(device, nSpeed, error);
    std::string host, port;
    if (!ParseTcpDevice(device, host, port)) {
        error = device + ": not tcp:HOST:PORT";
        return nullptr;
    }
    return OpenTcpLink(device, host, port, nTimeoutMs, error);
}

}  // namespace console
