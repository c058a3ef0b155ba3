// The console protocol on a scripted link: the CRC, the LOOP packet's fields and dash values,
// the rain collector, junk skipped, and a bad packet asked for once more; and a session over a
// real TCP link with the system's sockets (Winsock under Wine).
#include "platform/win32.h"
#include "console/ConsoleProtocol.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <thread>
#include <vector>

using namespace console;

namespace {

// A LOOP packet as a console sends it, CRC (0xA8CA) included; the CRC was computed with
// Python's binascii.crc_hqx(bytes, 0). Barometer 29.921 inHg, 72.5 deg F, 12 mph from 270
// degrees, 65 %, 450 W/m2, 23 clicks of storm rain.
const std::vector<uint8_t> kPacket = {
    0x4C, 0x4F, 0x4F, 0x50, 0x00, 0xFF, 0x7F, 0xE1, 0x74, 0xC8, 0x02, 0x28, 0xD5, 0x02, 0x0C,
    0x09, 0x0E, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC2,
    0x01, 0x17, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x0D, 0xA8, 0xCA};

// Answers each Send with the next of its answers; a read with nothing left fails the link,
// so a call that waits for more than the script holds ends at once.
class ScriptedLink : public CConsoleLink {
public:
    explicit ScriptedLink(std::vector<std::vector<uint8_t>> answers) : m_answers(std::move(answers))
    {
    }

    bool Send(const void *p, size_t n, uint32_t) override
    {
        m_sent.append(static_cast<const char *>(p), n);
        if (m_nSends < m_answers.size())
            m_pending.insert(m_pending.end(), m_answers[m_nSends].begin(),
                             m_answers[m_nSends].end());
        ++m_nSends;
        return true;
    }
    int Receive(uint8_t *p, size_t n, uint32_t) override
    {
        if (m_pending.empty())
            return -1;
        size_t i = 0;
        for (; i < n && !m_pending.empty(); ++i) {
            p[i] = m_pending.front();
            m_pending.pop_front();
        }
        return static_cast<int>(i);
    }
    void Discard() override {}

    const std::string &Sent() const { return m_sent; }

private:
    std::vector<std::vector<uint8_t>> m_answers;
    size_t m_nSends = 0;
    std::deque<uint8_t> m_pending;
    std::string m_sent;
};

std::vector<uint8_t> Ack(std::vector<uint8_t> bytes, std::vector<uint8_t> junk = {})
{
    junk.push_back(kAck);
    junk.insert(junk.end(), bytes.begin(), bytes.end());
    return junk;
}

const std::vector<uint8_t> kAwake = {0x0A, 0x0D};

}  // namespace

TEST(ConsoleCrc, is_xmodem_and_a_sealed_answer_sums_to_zero)
{
    const std::string check = "123456789";
    EXPECT_EQ(0x31C3, Crc16(reinterpret_cast<const uint8_t *>(check.data()), check.size()));
    EXPECT_EQ(0xA8CA, Crc16(kPacket.data(), 97));
    EXPECT_EQ(0, Crc16(kPacket.data(), kPacket.size()));
    EXPECT_EQ(0, Crc16(kPacket.data() + 50, 49, Crc16(kPacket.data(), 50)));
}

TEST(ConsoleLoop, the_written_packet_decodes_and_a_damaged_one_is_refused)
{
    LoopPacket p;
    ASSERT_EQ(PacketResult::Ok, ParseLoop(kPacket.data(), p));
    EXPECT_EQ(29921, p.nBarometer);
    EXPECT_EQ(725, p.nOutsideTemp);
    EXPECT_EQ(12, p.nWindSpeed);
    EXPECT_EQ(270, p.nWindDir);
    EXPECT_EQ(65, p.nHumidity);
    EXPECT_EQ(450, p.nSolar);
    EXPECT_EQ(23, p.nStormRain);

    for (size_t i : {0u, 13u, 96u, 98u}) {
        std::vector<uint8_t> bad = kPacket;
        bad[i] ^= 0x01;
        EXPECT_EQ(PacketResult::BadCrc, ParseLoop(bad.data(), p)) << "byte " << i;
    }
    // A sound CRC over bytes that are no LOOP packet.
    std::vector<uint8_t> other = kPacket;
    other[4] = 1;
    const uint16_t crc = Crc16(other.data(), 97);
    other[97] = static_cast<uint8_t>(crc >> 8);
    other[98] = static_cast<uint8_t>(crc & 0xFF);
    EXPECT_EQ(PacketResult::NotLoop, ParseLoop(other.data(), p));
}

TEST(ConsoleLoop, values_come_in_the_consoles_units_with_dash_values_for_what_is_missing)
{
    LoopPacket p;
    ASSERT_EQ(PacketResult::Ok, ParseLoop(kPacket.data(), p));
    ConsoleValues v = ValuesOf(p, 0x00);
    EXPECT_EQ(270, v.nWindDir);
    EXPECT_FLOAT_EQ(72.5f, v.fOutsideTemp);
    EXPECT_EQ(65, v.nHumidity);
    EXPECT_FLOAT_EQ(0.23f, v.fStormRain);
    EXPECT_FLOAT_EQ(29.921f, v.fBarometer);
    EXPECT_FLOAT_EQ(12.0f, v.fWindSpeed);
    EXPECT_EQ(450, v.nSolar);
    EXPECT_EQ(0, v.units.TempUnit);
    EXPECT_EQ(0, v.units.RainUnit);
    EXPECT_EQ(0, v.units.BaromUnit);
    EXPECT_EQ(0, v.units.WindUnit);

    // The collector's size in bits 4 and 5; the other bits do not count.
    const struct {
        uint8_t nByte;
        float fRain;
        int8_t nRainUnit;
    } kCollectors[] = {{0x00, 0.23f, 0},
                       {0xCF, 0.23f, 0},
                       {0x10, 4.6f, 1},
                       {0x20, 2.3f, 1},
                       {0x30, VANTAGE_DASH_FLOAT, 1}};
    for (const auto &c : kCollectors) {
        v = ValuesOf(p, c.nByte);
        EXPECT_FLOAT_EQ(c.fRain, v.fStormRain) << int(c.nByte);
        EXPECT_EQ(c.nRainUnit, v.units.RainUnit) << int(c.nByte);
    }

    LoopPacket none = p;
    none.nBarometer = 0;
    none.nOutsideTemp = 32767;
    none.nWindSpeed = 255;
    none.nWindDir = 32767;
    none.nHumidity = 255;
    none.nSolar = 32767;
    v = ValuesOf(none, 0);
    EXPECT_EQ(VANTAGE_DASH_WINDDIR, v.nWindDir);
    EXPECT_EQ(VANTAGE_DASH_FLOAT, v.fOutsideTemp);
    EXPECT_EQ(VANTAGE_DASH_SHORT, v.nHumidity);
    EXPECT_EQ(VANTAGE_DASH_FLOAT, v.fBarometer);
    EXPECT_EQ(VANTAGE_DASH_FLOAT, v.fWindSpeed);
    EXPECT_EQ(VANTAGE_DASH_SHORT, v.nSolar);
    for (uint16_t nDir : {0, 361, 65535}) {
        none.nWindDir = nDir;
        EXPECT_EQ(VANTAGE_DASH_WINDDIR, ValuesOf(none, 0).nWindDir) << nDir;
    }
    none.nOutsideTemp = -123;  // below zero Fahrenheit
    EXPECT_FLOAT_EQ(-12.3f, ValuesOf(none, 0).fOutsideTemp);
}

TEST(ConsoleSession, wakes_skips_junk_and_reads_a_packet)
{
    // Junk before the wake-up answer and before the acknowledgement.
    ScriptedLink link({{'?', 0x0D, 0x0A, 0x0A, 0x0D}, Ack(kPacket, {0x15, 0xFF, 0x0A})});
    LoopPacket p;
    ASSERT_TRUE(CConsoleSession(link).ReadLoop(p));
    EXPECT_EQ(725, p.nOutsideTemp);
    EXPECT_EQ(std::string("\nLOOP 1\n"), link.Sent());
}

TEST(ConsoleSession, a_bad_packet_is_asked_for_once_more)
{
    std::vector<uint8_t> bad = kPacket;
    bad[20] ^= 0x80;
    LoopPacket p;
    ScriptedLink once({kAwake, Ack(bad), Ack(kPacket)});
    ASSERT_TRUE(CConsoleSession(once).ReadLoop(p));
    EXPECT_EQ(std::string("\nLOOP 1\nLOOP 1\n"), once.Sent());

    ScriptedLink twice({kAwake, Ack(bad), Ack(bad), Ack(kPacket)});
    EXPECT_FALSE(CConsoleSession(twice).ReadLoop(p));
    EXPECT_EQ(std::string("\nLOOP 1\nLOOP 1\n"), twice.Sent());

    // A cut packet, a missing acknowledgement or no wake-up answer fail the call.
    ScriptedLink cut({kAwake, Ack({kPacket.begin(), kPacket.begin() + 60})});
    EXPECT_FALSE(CConsoleSession(cut).ReadLoop(p));
    ScriptedLink noAck({kAwake, {0x21, 0x21}});
    EXPECT_FALSE(CConsoleSession(noAck).ReadLoop(p));
    ScriptedLink asleep({{0x0D, 0x0A}});
    EXPECT_FALSE(CConsoleSession(asleep).ReadLoop(p));
}

TEST(ConsoleSession, reads_the_collector_byte_under_its_crc)
{
    uint8_t nCollector = 0xEE;
    ScriptedLink good({kAwake, Ack({0x10, 0x12, 0x31})});
    ASSERT_TRUE(CConsoleSession(good).ReadCollector(nCollector));
    EXPECT_EQ(0x10, nCollector);
    EXPECT_EQ(std::string("\nEEBRD 2B 01\n"), good.Sent());

    ScriptedLink bad({kAwake, Ack({0x10, 0x12, 0x30}), Ack({0x20, 0x00, 0x00})});
    EXPECT_FALSE(CConsoleSession(bad).ReadCollector(nCollector));
}

TEST(ConsoleDevice, tcp_devices_name_a_host_and_a_port)
{
    const struct {
        const char *szDevice;
        bool bTcp;
        const char *szHost;
        const char *szPort;
    } kCases[] = {
        {"tcp:192.0.2.7:4001", true, "192.0.2.7", "4001"},
        {"tcp:logger.local:22222", true, "logger.local", "22222"},
        {"tcp:[::1]:4001", true, "::1", "4001"},
        {"tcp:host:0", false, "", ""},
        {"tcp:host:65536", false, "", ""},
        {"tcp:host:", false, "", ""},
        {"tcp::4001", false, "", ""},
        {"tcp:host:40x1", false, "", ""},
        {"/dev/ttyUSB0", false, "", ""},
        {"COM3", false, "", ""},
    };
    for (const auto &c : kCases) {
        std::string host, port;
        ASSERT_EQ(c.bTcp, ParseTcpDevice(c.szDevice, host, port)) << c.szDevice;
        if (c.bTcp) {
            EXPECT_EQ(c.szHost, host);
            EXPECT_EQ(c.szPort, port);
        }
    }
}

namespace {

// A console behind a loopback TCP port that answers one connection's wake-ups, collector read
// and LOOP requests, then closes.
class TcpConsole {
public:
    TcpConsole()
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        m_listen = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof(a);
        bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        listen(m_listen, 1);
        getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &len);
        m_nPort = ntohs(a.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~TcpConsole()
    {
        m_thread.join();
        closesocket(m_listen);
        WSACleanup();
    }
    TcpConsole(const TcpConsole &) = delete;
    TcpConsole &operator=(const TcpConsole &) = delete;

    std::string Device() const { return "tcp:127.0.0.1:" + std::to_string(m_nPort); }

private:
    void Serve()
    {
        const SOCKET s = accept(m_listen, nullptr, nullptr);
        std::string line;
        char c = 0;
        int nAnswers = 0;
        while (nAnswers < 4 && recv(s, &c, 1, 0) == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            std::vector<uint8_t> answer = kAwake;
            if (line == "EEBRD 2B 01")
                answer = Ack({0x10, 0x12, 0x31});
            else if (line == "LOOP 1")
                answer = Ack(kPacket);
            send(s, reinterpret_cast<const char *>(answer.data()), static_cast<int>(answer.size()),
                 0);
            line.clear();
            ++nAnswers;
        }
        closesocket(s);
    }

    SOCKET m_listen = INVALID_SOCKET;
    unsigned short m_nPort = 0;
    std::thread m_thread;
};

}  // namespace

TEST(ConsoleTcpLink, reads_a_console_and_reports_its_going_away)
{
    std::string error;
    std::unique_ptr<CConsoleLink> link;
    {
        TcpConsole console;
        link = OpenConsoleLink(console.Device(), 19200, 5000, error);
        ASSERT_TRUE(link) << error;
        CConsoleSession session(*link);
        uint8_t nCollector = 0;
        ASSERT_TRUE(session.ReadCollector(nCollector));
        EXPECT_EQ(0x10, nCollector);
        LoopPacket p;
        ASSERT_TRUE(session.ReadLoop(p));
        EXPECT_EQ(29921, p.nBarometer);
    }
    // The console closed its side: the link fails instead of waiting.
    uint8_t byte = 0;
    EXPECT_EQ(-1, link->Receive(&byte, 1, 5000));

    // Nobody listens on the port any more.
    const std::string device = "tcp:127.0.0.1:1";
    EXPECT_FALSE(OpenConsoleLink(device, 19200, 5000, error));
    EXPECT_EQ(0u, error.find(device)) << error;
}
