// The SDK library in serial mode against emulated consoles on a pseudo-terminal and over TCP:
// readings in the console's units, each fault ending in a failed call within the bound and a
// good reading after it, an unplugged console, and threads that each keep their own console.
#include "consoleemu/ConsoleEmulator.h"
#include "tests/driver/SdkCalls.h"

#include <chrono>
#include <thread>

using namespace drivertest;
using emulator::CConsoleEmulator;
using emulator::ConsoleState;
using emulator::Fault;

namespace {

using Clock = std::chrono::steady_clock;

// A failed call takes at most about 5 s; the bound leaves room for a loaded machine.
constexpr double kBoundSeconds = 8.0;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class ConsoleSdk : public SdkSuite {
protected:
    static void SetUpTestSuite() { LoadSdk("sdk"); }

    void SetUp() override
    {
        m_pty = CConsoleEmulator::OnPseudoTerminal();
        m_tcp = CConsoleEmulator::OnTcp();
        ConsoleState other;
        other.nOutsideTemp = 410;
        other.nStormRain = 7;
        other.nCollector = 0x10;  // 0.2 mm a click
        m_tcp->Set(other);
        const fs::path ini = s_folder / "VantageSim.ini";
        WriteText(ini, "[Simulator]\r\nMode=serial\r\n[Ports]\r\n1=" + m_pty->Device() +
                           "\r\n2=" + m_tcp->Device() + "\r\n");
        SetEnv("PELMORA_VANTAGESIM_INI", ini.string().c_str());
    }
    void TearDown() override
    {
        s_sdk.CloseCommPort();
        SetEnv("PELMORA_VANTAGESIM_INI", "");
    }

    std::unique_ptr<CConsoleEmulator> m_pty;
    std::unique_ptr<CConsoleEmulator> m_tcp;
};

TEST_F(ConsoleSdk, reads_each_consoles_values_in_its_own_units)
{
    for (int16_t nPort : {1, 2}) {
        ASSERT_EQ(0, s_sdk.OpenCommPort(nPort, 19200)) << nPort;
        ASSERT_EQ(0, s_sdk.LoadCurrentData()) << nPort;
        UnitCodes units{9, 9, 9, 9, 9};
        s_sdk.GetUnits(&units);
        EXPECT_EQ(0, units.TempUnit);
        EXPECT_EQ(nPort == 1 ? 0 : 1, units.RainUnit);
        EXPECT_EQ(0, units.BaromUnit);
        EXPECT_EQ(0, units.WindUnit);
        EXPECT_EQ(270, s_sdk.GetWindDir());
        EXPECT_FLOAT_EQ(nPort == 1 ? 72.5f : 41.0f, s_sdk.GetOutsideTemp());
        EXPECT_EQ(65, s_sdk.GetOutsideHumidity());
        EXPECT_FLOAT_EQ(nPort == 1 ? 0.23f : 1.4f, s_sdk.GetStormRain());
        EXPECT_FLOAT_EQ(29.921f, s_sdk.GetBarometer());
        EXPECT_FLOAT_EQ(12.0f, s_sdk.GetWindSpeed());
        EXPECT_EQ(450, s_sdk.GetSolarRad());
        s_sdk.CloseCommPort();
        // Closed: the getters have no reading.
        EXPECT_EQ(VANTAGE_DASH_FLOAT, s_sdk.GetOutsideTemp());
    }
    EXPECT_EQ(1, m_pty->PacketsSent());
    EXPECT_EQ(1, m_tcp->PacketsSent());
}

TEST_F(ConsoleSdk, each_fault_fails_one_call_in_bounds_and_the_next_reads_again)
{
    const struct {
        Fault fault;
        bool bFirstCallReads;
    } kFaults[] = {
        {Fault::Silent, false}, {Fault::BadCrcAlways, false}, {Fault::CutPacket, false},
        {Fault::Slow, false},   {Fault::BadCrcOnce, true},    {Fault::JunkBeforeAck, true},
    };
    for (CConsoleEmulator *console : {m_pty.get(), m_tcp.get()}) {
        const int16_t nPort = console == m_pty.get() ? 1 : 2;
        for (const auto &f : kFaults) {
            SCOPED_TRACE(console->Device() + " fault " + std::to_string(int(f.fault)));
            ASSERT_EQ(0, s_sdk.OpenCommPort(nPort, 19200));
            console->SetFault(f.fault);
            const auto start = Clock::now();
            EXPECT_EQ(f.bFirstCallReads ? 0 : -1, s_sdk.LoadCurrentData());
            EXPECT_LT(SecondsSince(start), kBoundSeconds);
            console->SetFault(Fault::None);
            EXPECT_EQ(0, s_sdk.LoadCurrentData());
            EXPECT_EQ(270, s_sdk.GetWindDir());
            s_sdk.CloseCommPort();
        }
    }
}

TEST_F(ConsoleSdk, a_console_that_does_not_answer_leaves_the_port_closed)
{
    m_pty->SetFault(Fault::Silent);
    const auto start = Clock::now();
    EXPECT_NE(0, s_sdk.OpenCommPort(1, 19200));
    EXPECT_LT(SecondsSince(start), kBoundSeconds);
    EXPECT_NE(0, s_sdk.LoadCurrentData());
    m_pty->SetFault(Fault::None);
    EXPECT_EQ(0, s_sdk.OpenCommPort(1, 19200));
    EXPECT_EQ(0, s_sdk.LoadCurrentData());

    // No device for the port, a device that is not there, a speed a serial line has not.
    s_sdk.CloseCommPort();
    EXPECT_NE(0, s_sdk.OpenCommPort(0, 19200));
    EXPECT_NE(0, s_sdk.OpenCommPort(250, 19200));  // /dev/ttyS249
    EXPECT_NE(0, s_sdk.OpenCommPort(1, 12345));
}

TEST_F(ConsoleSdk, an_unplugged_console_fails_the_call_and_the_port_no_longer_opens)
{
    for (CConsoleEmulator *console : {m_pty.get(), m_tcp.get()}) {
        const int16_t nPort = console == m_pty.get() ? 1 : 2;
        SCOPED_TRACE(console->Device());
        ASSERT_EQ(0, s_sdk.OpenCommPort(nPort, 19200));
        console->Unplug();
        const auto start = Clock::now();
        EXPECT_EQ(-1, s_sdk.LoadCurrentData());
        EXPECT_LT(SecondsSince(start), kBoundSeconds);
        s_sdk.CloseCommPort();
        EXPECT_NE(0, s_sdk.OpenCommPort(nPort, 19200));
    }
}

TEST_F(ConsoleSdk, threads_keep_their_own_consoles)
{
    // Two stations' sequences at once, on their own threads: neither sees the other's values.
    auto station = [](int16_t nPort, float fTemp, int &nGood) {
        for (int i = 0; i < 20; ++i) {
            if (s_sdk.OpenCommPort(nPort, 19200) != 0)
                continue;
            if (s_sdk.LoadCurrentData() == 0 && s_sdk.GetOutsideTemp() == fTemp)
                ++nGood;
            s_sdk.CloseCommPort();
        }
    };
    int nGood1 = 0;
    int nGood2 = 0;
    std::thread one(station, 1, 72.5f, std::ref(nGood1));
    std::thread two(station, 2, 41.0f, std::ref(nGood2));
    one.join();
    two.join();
    EXPECT_EQ(20, nGood1);
    EXPECT_EQ(20, nGood2);

    // A console open on one thread is refused to another, and free again once closed.
    ASSERT_EQ(0, s_sdk.OpenCommPort(1, 19200));
    int16_t nOther = 0;
    std::thread([&] { nOther = s_sdk.OpenCommPort(1, 19200); }).join();
    EXPECT_NE(0, nOther);
    s_sdk.CloseCommPort();
    std::thread([&] {
        nOther = s_sdk.OpenCommPort(1, 19200);
        s_sdk.CloseCommPort();
    }).join();
    EXPECT_EQ(0, nOther);
}

}  // namespace
