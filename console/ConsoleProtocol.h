// The console's serial protocol: the wake-up, the LOOP packet of current readings, the read of
// the rain collector's size from the console's EEPROM, and the CRC that seals both answers.
// The console's values are kept in its own units; ConsoleValues hands them out as the SDK's
// getters return them.
#pragma once

#include "console/ConsoleLink.h"
#include "console/VantagePro.h"

#include <cstddef>
#include <cstdint>

namespace console {

constexpr size_t kLoopSize = 99;
constexpr uint8_t kAck = 0x06;
// A whole call (wake-up and answer) gives up after this long.
constexpr uint32_t kCallBudgetMs = 5000;
constexpr uint32_t kWakeTries = 3;
constexpr uint32_t kWakeWaitMs = 1200;

// CRC-16-CCITT as XMODEM uses it (polynomial 0x1021, start 0, no reflection, no final XOR),
// continued from `crc`. An answer with its CRC appended, high byte first, sums to 0.
uint16_t Crc16(const uint8_t *pBytes, size_t nLength, uint16_t crc = 0);

// The fields of a LOOP packet that the SDK's getters report, in the packet's units.
struct LoopPacket {
    uint16_t nBarometer = 0;   // inHg x 1000; 0: none
    int16_t nOutsideTemp = 0;  // deg F x 10; 32767: none
    uint8_t nWindSpeed = 0;    // mph; 255: none
    uint16_t nWindDir = 0;     // degrees 1 to 360; 0: no direction; 32767: none
    uint8_t nHumidity = 0;     // %; 255: none
    uint16_t nSolar = 0;       // W/m2; 32767: none
    uint16_t nStormRain = 0;   // rain collector clicks
};

enum class PacketResult { Ok, BadCrc, NotLoop };

// Checks and decodes the 99 bytes of a LOOP answer: its CRC first, then "LOO", packet type 0
// and the LF CR before the CRC.
PacketResult ParseLoop(const uint8_t *pPacket, LoopPacket &packet);

// The getters' values of one packet, given the EEPROM byte that holds the collector size.
struct ConsoleValues {
    int16_t nWindDir = VANTAGE_DASH_WINDDIR;
    float fOutsideTemp = VANTAGE_DASH_FLOAT;
    int16_t nHumidity = VANTAGE_DASH_SHORT;
    float fStormRain = VANTAGE_DASH_FLOAT;
    float fBarometer = VANTAGE_DASH_FLOAT;
    float fWindSpeed = VANTAGE_DASH_FLOAT;
    int16_t nSolar = VANTAGE_DASH_SHORT;
    UnitCodes units{0, 0, 0, 0, 0};
};
ConsoleValues ValuesOf(const LoopPacket &packet, uint8_t nCollectorByte);

// One conversation with a console over a link: each call is bounded by kCallBudgetMs and
// fails at once when the link fails.
class CConsoleSession {
public:
    explicit CConsoleSession(CConsoleLink &link) : m_link(link) {}

    // Wakes the console and reads the EEPROM byte that holds the rain collector's size.
    bool ReadCollector(uint8_t &nCollectorByte);
    // Wakes the console and reads one LOOP packet (asked once more after a bad CRC).
    bool ReadLoop(LoopPacket &packet);

private:
    class Deadline;
    bool WakeUp(const Deadline &deadline);
    bool Command(const char *szCommand, const Deadline &deadline);
    bool ReadExactly(uint8_t *pBytes, size_t nLength, const Deadline &deadline);

    CConsoleLink &m_link;
};

}  // namespace console
