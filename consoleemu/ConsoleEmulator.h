// A weather console played on a pseudo-terminal or a TCP port on loopback, for trying the
// serial mode without a console and for tests: it answers the wake-up, "LOOP 1" and
// "EEBRD 2B 01" with answers built from the values it is given, and on request misbehaves.
// It serves one peer at a time on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace emulator {

// The values of a LOOP packet in the console's units, and the EEPROM byte of the rain
// collector's size (bits 4 and 5: 0 = 0.01 in, 1 = 0.2 mm, 2 = 0.1 mm).
struct ConsoleState {
    uint16_t nBarometer = 29921;  // inHg x 1000
    int16_t nOutsideTemp = 725;   // deg F x 10
    uint8_t nWindSpeed = 12;      // mph
    uint16_t nWindDir = 270;
    uint8_t nHumidity = 65;
    uint16_t nSolar = 450;
    uint16_t nStormRain = 23;  // clicks
    uint8_t nCollector = 0x00;
};

enum class Fault {
    None,
    Silent,         // answers nothing at all
    BadCrcOnce,     // the next LOOP packet has a wrong CRC, the ones after it are good
    BadCrcAlways,   // every LOOP packet has a wrong CRC
    CutPacket,      // LOOP packets stop after half their bytes
    JunkBeforeAck,  // junk bytes come before each acknowledgement
    Slow,           // each byte of an answer 50 ms after the one before
};

// A LOOP packet with its CRC, as the console sends it.
std::vector<uint8_t> LoopPacketOf(const ConsoleState &state);

class CConsoleEmulator {
public:
    // A console on a new pseudo-terminal; Device() is its terminal's path.
    static std::unique_ptr<CConsoleEmulator> OnPseudoTerminal();
    // A console behind a TCP port on 127.0.0.1 (0: any free one); Device() is
    // "tcp:127.0.0.1:PORT".
    static std::unique_ptr<CConsoleEmulator> OnTcp(uint16_t nPort = 0);
    ~CConsoleEmulator();
    CConsoleEmulator(const CConsoleEmulator &) = delete;
    CConsoleEmulator &operator=(const CConsoleEmulator &) = delete;

    const std::string &Device() const { return m_device; }
    void Set(const ConsoleState &state);
    void SetFault(Fault fault);
    // LOOP packets answered whole (bad CRC or slow included).
    int PacketsSent() const { return m_nPackets; }
    // Pulls the plug: the terminal goes away (its path with it) or the TCP peer is reset,
    // and the console stays gone.
    void Unplug();

private:
    CConsoleEmulator() = default;
    void Run();
    void Stop();
    bool Stopping() const;
    void Serve(int fd);
    // Sends an answer as the fault says; false when the peer went away.
    bool Answer(int fd, const std::vector<uint8_t> &bytes, bool bLoop);

    std::string m_device;
    int m_nMaster = -1;  // the pseudo-terminal's master, or -1
    int m_nSlave = -1;   // its terminal, held open by the emulator
    int m_nListen = -1;  // the TCP listening socket, or -1
    int m_nStopPipe[2] = {-1, -1};
    std::atomic<int> m_nPackets{0};
    std::atomic<bool> m_bUnplugged{false};
    std::mutex m_mutex;
    ConsoleState m_state;
    Fault m_fault = Fault::None;
    std::thread m_thread;
};

}  // namespace emulator
